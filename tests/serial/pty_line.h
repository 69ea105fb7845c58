#pragma once
// A pseudo-terminal pair as the serial cable: the test writes on the controlling
// side what a device would send; the port under test opens the other side by
// name.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <string_view>

namespace axg::test {

class PtyLine {
 public:
  PtyLine() {
    termios t{};
    cfmakeraw(&t);  // what the device sends arrives unchanged, even before the port opens
    t.c_cflag |= CREAD | CLOCAL;
    char name[128];
    if (openpty(&master_, &slave_, name, &t, nullptr) != 0) throw std::runtime_error("openpty failed");
    name_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
  }
  ~PtyLine() { Hangup(); }
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  // The device name a port opens.
  const std::string& Name() const { return name_; }
  // Our own descriptor of the port's side: keeps it alive and lets a test read
  // its settings.
  int PortSide() const { return slave_; }

  // What the device sends.
  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(master_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("write to the pseudo-terminal failed");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Everything the port side has written so far.
  std::string Received() {
    std::string all;
    char buf[256];
    for (;;) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      all.append(buf, static_cast<std::size_t>(n));
    }
    return all;
  }

  // The cable is pulled: both of our sides close.
  void Hangup() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string name_;
};

}  // namespace axg::test
