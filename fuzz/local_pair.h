#pragma once
// A connected local stream socket pair for the fuzz targets: one end goes to the
// line server as an accepted client, the other plays the device. Both ends are
// non-blocking. The device end is closed with the object; the server end belongs
// to whoever took it.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace axg::fuzz {

class LocalPair {
 public:
  LocalPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    server_ = fds[0];
    device_ = fds[1];
  }
  ~LocalPair() { CloseDevice(); }
  LocalPair(const LocalPair&) = delete;
  LocalPair& operator=(const LocalPair&) = delete;

  SocketHandle ServerEnd() const { return server_; }

  // Writes every byte (the pair's buffer holds far more than one input).
  void Write(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(device_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) std::abort();
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  // Everything the server end has written so far.
  std::string Drain() {
    std::string out;
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(device_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  void CloseDevice() {
    if (device_ >= 0) ::close(device_);
    device_ = -1;
  }

 private:
  int server_ = -1;
  int device_ = -1;
};

}  // namespace axg::fuzz
