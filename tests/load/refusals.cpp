#include "load/refusals.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace axg::load {
namespace {

std::atomic<int> g_accepts{0}, g_accept_err{0}, g_adds{0}, g_add_err{0};

bool Take(std::atomic<int>& left) {
  int n = left.load();
  while (n > 0)
    if (left.compare_exchange_weak(n, n - 1)) return true;
  return false;
}

}  // namespace

void RefuseAccepts(int n, int err) {
  g_accept_err = err;
  g_accepts = n;
}

void RefuseEpollAdds(int n, int err) {
  g_add_err = err;
  g_adds = n;
}

int RefusalsLeft() { return g_accepts.load() + g_adds.load(); }

}  // namespace axg::load

extern "C" int accept4(int fd, sockaddr* addr, socklen_t* len, int flags) {
  if (axg::load::Take(axg::load::g_accepts)) {
    errno = axg::load::g_accept_err.load();
    return -1;
  }
  return static_cast<int>(::syscall(SYS_accept4, fd, addr, len, flags));
}

extern "C" int epoll_ctl(int epfd, int op, int fd, epoll_event* event) noexcept {
  if (op == EPOLL_CTL_ADD && axg::load::Take(axg::load::g_adds)) {
    errno = axg::load::g_add_err.load();
    return -1;
  }
  return static_cast<int>(::syscall(SYS_epoll_ctl, epfd, op, fd, event));
}
