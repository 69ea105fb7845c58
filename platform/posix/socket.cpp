// IPv4 TCP sockets on Linux. Every socket is non-blocking and closed on exec;
// sends never raise SIGPIPE. Errors are errno values, reported as SocketError.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/loop_internal.h"
#include "platform/text.h"

namespace axg {

const int kSockErrWouldBlock = EWOULDBLOCK;
const int kSockErrConnRefused = ECONNREFUSED;
const int kSockErrNotConnected = ENOTCONN;
const int kSockErrAddrInUse = EADDRINUSE;
const int kSockErrConnReset = ECONNRESET;

namespace {

// Only a dotted IPv4 literal: no host names, no short forms like "127.1".
bool ParseIPv4(const std::string& text, in_addr* out) {
  if (text.find('\0') != std::string::npos) return false;
  return ::inet_pton(AF_INET, text.c_str(), out) == 1;
}

sockaddr_in MakeAddress(in_addr addr, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = addr;
  sa.sin_port = htons(port);
  return sa;
}

SocketAddress ToSocketAddress(const sockaddr_in& sa) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof(text));
  return SocketAddress{text, ntohs(sa.sin_port)};
}

int NewSocket() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) throw SocketError(errno, "socket");
  return s;
}

// Closes a socket that is still being set up when a later step fails.
class SetupGuard {
 public:
  explicit SetupGuard(int s) : s_(s) {}
  ~SetupGuard() {
    if (s_ >= 0) ::close(s_);
  }
  SetupGuard(const SetupGuard&) = delete;
  SetupGuard& operator=(const SetupGuard&) = delete;
  int Get() const { return s_; }
  [[noreturn]] void Fail(int code, const char* api) { throw SocketError(code, api); }
  int Release() {
    int s = s_;
    s_ = -1;
    return s;
  }

 private:
  int s_;
};

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills buf).
[[maybe_unused]] const char* StrerrorResult(int rc, const char* buf) { return rc == 0 ? buf : nullptr; }
[[maybe_unused]] const char* StrerrorResult(const char* text, const char*) { return text; }

int Fd(SocketHandle s) { return static_cast<int>(s); }

}  // namespace

SocketHandle SocketListen(const std::string& addr, std::uint16_t port, int backlog) {
  in_addr ip{};
  ip.s_addr = htonl(INADDR_ANY);
  if (!addr.empty() && !ParseIPv4(addr, &ip)) throw SocketError(EINVAL, "bind");
  SetupGuard owner(NewSocket());
  int s = owner.Get();
  int on = 1;
  // Lets a restarted listener take its port while old connections sit in TIME_WAIT.
  if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) owner.Fail(errno, "setsockopt");
  sockaddr_in sa = MakeAddress(ip, port);
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) owner.Fail(errno, "bind");
  if (::listen(s, backlog) != 0) owner.Fail(errno, "listen");
  return owner.Release();
}

SocketHandle SocketAccept(SocketHandle listener, SocketAddress* peer) {
  for (;;) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    int s = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s >= 0) {
      if (peer) *peer = ToSocketAddress(sa);
      // Frames are small and must go out as written: without this a frame waits
      // for the peer's delayed acknowledgement of the one before it.
      int one = 1;
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      int idle = kKeepAliveIdleS, interval = kKeepAliveIntervalS, probes = kKeepAliveProbes;
      ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
      ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
      ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
      ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
      return s;
    }
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) return kInvalidSocket;
    // A connection that broke while it waited in the queue is gone; Linux reports
    // its error from accept. Take the next one instead.
    if (err == EINTR || err == ECONNABORTED || err == EPROTO || err == ENETDOWN || err == ENOPROTOOPT ||
        err == EHOSTDOWN || err == ENONET || err == EHOSTUNREACH || err == ENETUNREACH || err == EOPNOTSUPP)
      continue;
    throw SocketError(err, "accept");
  }
}

bool SocketErrorIsShortage(int code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

SocketHandle SocketConnect(const std::string& addr, std::uint16_t port, const std::string& bind_addr) {
  in_addr ip{};
  if (!ParseIPv4(addr, &ip)) throw SocketError(EINVAL, "connect");
  in_addr local{};
  if (!bind_addr.empty() && !ParseIPv4(bind_addr, &local)) throw SocketError(EINVAL, "bind");
  SetupGuard guard(NewSocket());
  int s = guard.Get();
  if (!bind_addr.empty()) {
    sockaddr_in sa = MakeAddress(local, 0);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) guard.Fail(errno, "bind");
  }
  sockaddr_in sa = MakeAddress(ip, port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    // In progress (or interrupted, which goes on in the background): the loop's
    // kSockConnect reports the outcome.
    if (errno != EINPROGRESS && errno != EINTR) guard.Fail(errno, "connect");
  }
  return guard.Release();
}

std::size_t SocketSend(SocketHandle s, const char* data, std::size_t len) {
  std::size_t sent = 0;
  while (sent < len) {
    ssize_t n = ::send(Fd(s), data + sent, len - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    throw SocketError(n < 0 ? errno : EIO, "send");
  }
  return sent;
}

std::ptrdiff_t SocketRecv(SocketHandle s, char* buf, std::size_t len) {
  // recv of 0 bytes returns 0, which would read as "the peer closed".
  if (len == 0) return -1;
  for (;;) {
    ssize_t n = ::recv(Fd(s), buf, len, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    throw SocketError(errno, "recv");
  }
}

void SocketClose(SocketHandle s) {
  if (s < 0) return;
  posix::DropSocketWatch(s);
  ::shutdown(Fd(s), SHUT_RDWR);  // fails harmlessly on listeners and unconnected sockets
  ::close(Fd(s));
}

void SocketAbort(SocketHandle s) {
  if (s < 0) return;
  posix::DropSocketWatch(s);
  // Linger on with a zero timeout: close discards unsent data and resets.
  linger lg{};
  lg.l_onoff = 1;
  lg.l_linger = 0;
  ::setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  ::close(Fd(s));
}

SocketAddress SocketLocalAddress(SocketHandle s) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
    return {};
  return ToSocketAddress(sa);
}

SocketAddress SocketPeerAddress(SocketHandle s) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (::getpeername(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
    return {};
  return ToSocketAddress(sa);
}

int SocketPendingError(SocketHandle s) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

std::u16string SocketErrorText(int code) {
  char buf[256] = {};
  const char* text = StrerrorResult(::strerror_r(code, buf, sizeof(buf)), buf);
  if (text == nullptr || *text == '\0') return u"Unknown error " + IntToStr(code);
  return FromUtf8(text);
}

}  // namespace axg
