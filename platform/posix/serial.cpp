// Serial lines on Linux: termios in raw mode, non-blocking descriptors watched by
// the owning thread's message loop.
#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/message_loop.h"
#include "platform/text.h"

namespace axg {

namespace {

[[noreturn]] void Fail(const std::string& what, int code) {
  std::string text = what + ": " + std::strerror(code) + " (Error: " + std::to_string(code) + ")";
  throw Error(FromUtf8(text));
}

speed_t SpeedOf(unsigned baud) {
  switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    default: return B0;
  }
}

// Raw, 8-bit clean, no echo, no modem control lines watched: what a device that
// only talks to us needs. A read returns whatever has arrived.
void ApplySettings(const SerialSettings& s, termios& t) {
  const std::string& dev = s.device;
  const speed_t speed = SpeedOf(s.baud_rate);
  if (speed == B0) Fail("Unsupported speed " + std::to_string(s.baud_rate) + " for " + dev, EINVAL);
  if (s.data_bits < 5 || s.data_bits > 8)
    Fail("Unsupported data bits " + std::to_string(s.data_bits) + " for " + dev, EINVAL);
  if (s.stop_bits == SerialStopBits::OneAndHalf) Fail("1.5 stop bits are not supported for " + dev, EINVAL);

  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  t.c_cflag |= s.data_bits == 5 ? CS5 : s.data_bits == 6 ? CS6 : s.data_bits == 7 ? CS7 : CS8;
  if (s.stop_bits == SerialStopBits::Two) t.c_cflag |= CSTOPB;
  switch (s.parity) {
    case SerialParity::None: break;
    case SerialParity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case SerialParity::Even: t.c_cflag |= PARENB; break;
    case SerialParity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SerialParity::Space: t.c_cflag |= PARENB | CMSPAR; break;
  }
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (s.flow_control == SerialFlowControl::Hardware) t.c_cflag |= CRTSCTS;
  if (s.flow_control == SerialFlowControl::Software) t.c_iflag |= IXON | IXOFF;
  // With VMIN 0 a tty read returns 0 when nothing is there, which cannot be told
  // from a hang-up; VMIN 1 on a non-blocking descriptor gives EAGAIN instead.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
}

}  // namespace

struct SerialLine::Impl {
  int fd = -1;
  int peer_fd = -1;  // the other side of a pseudo-terminal of our own, kept open
  bool watched = false;
  bool exclusive = false;
  bool restore = false;
  termios saved{};
  std::string name;
  MessageLoop* loop = nullptr;
  DataCallback on_data;
  FailureCallback on_failure;
  // Shared with the loop's watch: a callback that closes or destroys the line
  // leaves it false, so the read loop stops touching the line.
  std::shared_ptr<bool> alive;

  void Watch() {
    if (!on_data) return;
    loop = &MessageLoop::Current();
    alive = std::make_shared<bool>(true);
    std::shared_ptr<bool> token = alive;
    // A tty reports a hang-up without being asked, so every notification is a
    // reason to read; the read tells what happened.
    loop->WatchSocket(fd, kSockRead | kSockClose, [this, token](unsigned, int) {
      std::shared_ptr<bool> keep = token;  // outlives a watch removed from within
      if (*keep) OnReadable(keep);
    });
    watched = true;
  }

  void OnReadable(const std::shared_ptr<bool>& token) {
    // Read what is there now, in chunks; the loop calls again for anything that
    // arrives later. The cap keeps a fast line from starving everything else.
    char buf[4096];
    for (std::size_t total = 0; total < 64 * 1024;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        total += static_cast<std::size_t>(n);
        DataCallback cb = on_data;  // the callback may replace or close everything
        cb(std::string_view(buf, static_cast<std::size_t>(n)));
        if (!*token) return;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      // 0: the line hung up; otherwise a read error (EIO when a USB adapter is
      // pulled or a pseudo-terminal's other side went away). Either way nothing
      // more will come: close, so the loop does not report it forever.
      const int code = n == 0 ? EIO : errno;
      std::string what = n == 0 ? "Serial line " + name + " hung up" : "Cannot read from serial line " + name;
      FailureCallback failed = on_failure;
      try {
        Shutdown();
      } catch (const Error&) {
      }
      try {
        Fail(what, code);
      } catch (const Error& e) {
        if (failed) failed(e);
      }
      return;
    }
  }

  // Stops receiving and closes the descriptors; throws on a failed close.
  void Shutdown() {
    if (fd < 0) return;
    if (alive) *alive = false;
    alive.reset();
    if (watched) loop->UnwatchSocket(fd);
    watched = false;
    if (restore) tcsetattr(fd, TCSANOW, &saved);
    if (exclusive) ioctl(fd, TIOCNXCL);
    const int f = fd;
    fd = -1;
    restore = exclusive = false;
    on_data = nullptr;
    on_failure = nullptr;
    if (peer_fd >= 0) {
      ::close(peer_fd);
      peer_fd = -1;
    }
    // The descriptor is gone after close whatever it reports (also on EINTR).
    if (::close(f) != 0) Fail("Cannot close serial line " + name, errno);
  }
};

SerialLine::SerialLine() : impl_(std::make_unique<Impl>()) {}

SerialLine::~SerialLine() {
  try {
    impl_->Shutdown();
  } catch (...) {
    // Nothing leaves a destructor.
  }
}

bool SerialLine::IsOpen() const { return impl_->fd >= 0; }

void SerialLine::Open(const SerialSettings& settings, DataCallback on_data, FailureCallback on_failure) {
  Impl& d = *impl_;
  if (d.fd >= 0) Fail("Serial line " + d.name + " is already open", EBUSY);
  const std::string& dev = settings.device;
  const int fd = ::open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) Fail("Cannot open serial port " + dev, errno);
  try {
    termios saved{};
    if (tcgetattr(fd, &saved) != 0) Fail("Cannot read the settings of serial port " + dev, errno);
    termios t = saved;
    ApplySettings(settings, t);
    // Another program reading the same line would steal chunks from us.
    if (ioctl(fd, TIOCEXCL) != 0) Fail("Cannot take serial port " + dev + " for exclusive use", errno);
    d.exclusive = true;
    if (tcsetattr(fd, TCSANOW, &t) != 0) Fail("Cannot apply the settings of serial port " + dev, errno);
    d.saved = saved;
    d.restore = true;
  } catch (...) {
    if (d.exclusive) ioctl(fd, TIOCNXCL);
    d.exclusive = false;
    ::close(fd);
    throw;
  }
  d.fd = fd;
  d.name = dev;
  d.on_data = std::move(on_data);
  d.on_failure = std::move(on_failure);
  d.Watch();
}

void SerialLine::Close() { impl_->Shutdown(); }

void SerialLine::Write(std::string_view data, unsigned timeout_ms) {
  Impl& d = *impl_;
  if (d.fd < 0) Fail("Serial line is not open", EBADF);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!data.empty()) {
    const ssize_t n = ::write(d.fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) Fail("Cannot write to serial line " + d.name, errno);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) Fail("Writing to serial line " + d.name + " timed out", ETIMEDOUT);
    pollfd p{d.fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
      Fail("Cannot wait for serial line " + d.name, errno);
  }
}

std::string SerialLine::OpenPseudoTerminal(DataCallback on_data, FailureCallback on_failure) {
  Impl& d = *impl_;
  if (d.fd >= 0) Fail("Serial line " + d.name + " is already open", EBUSY);
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) Fail("Cannot make a pseudo-terminal", errno);
  int peer = -1;
  try {
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) Fail("Cannot unlock the pseudo-terminal", errno);
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) Fail("Cannot name the pseudo-terminal", errno);
    // Keep the other side open ourselves: otherwise every port that opens and
    // closes it would leave this side hung up. Raw from the start, so that what
    // we write before a port opens it arrives unchanged (no CR to LF, no echo).
    peer = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (peer < 0) Fail(std::string("Cannot open ") + name, errno);
    termios t{};
    if (tcgetattr(peer, &t) != 0) Fail(std::string("Cannot read the settings of ") + name, errno);
    cfmakeraw(&t);
    if (tcsetattr(peer, TCSANOW, &t) != 0) Fail(std::string("Cannot set up ") + name, errno);
    const int flags = fcntl(master, F_GETFL);
    if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0)
      Fail("Cannot make the pseudo-terminal non-blocking", errno);
    d.fd = master;
    d.peer_fd = peer;
    d.name = name;
  } catch (...) {
    if (peer >= 0) ::close(peer);
    ::close(master);
    throw;
  }
  d.on_data = std::move(on_data);
  d.on_failure = std::move(on_failure);
  d.Watch();
  return d.name;
}

}  // namespace axg
