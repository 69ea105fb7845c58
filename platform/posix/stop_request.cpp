// SIGINT, SIGTERM and SIGHUP on Linux: the handler only writes a byte to a pipe
// whose other end the thread's loop watches, so that the work is done in a turn
// of the loop and not inside the signal.
#include "platform/stop_request.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/message_loop.h"

namespace axg {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t g_wake = -1;  // the pipe's writing end, for the handler

void OnSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (g_wake >= 0 && ::write(g_wake, &byte, 1) < 0) {
    // A full pipe already holds a request.
  }
  errno = saved;
}

}  // namespace

struct StopRequest::Impl {
  std::function<void()> on_stop;
  int pipe[2] = {-1, -1};
  struct sigaction before[3] = {};
  bool installed = false;

  void Restore() {
    if (!installed) return;
    installed = false;
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &before[i], nullptr);
  }
};

StopRequest::StopRequest(std::function<void()> on_stop) : impl_(std::make_unique<Impl>()) {
  impl_->on_stop = std::move(on_stop);
  if (::pipe2(impl_->pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;  // then the signals end the process as before
  Impl* impl = impl_.get();
  MessageLoop::Current().WatchSocket(impl->pipe[0], kSockRead, [impl](unsigned, int) {
    char buf[64];
    while (::read(impl->pipe[0], buf, sizeof buf) > 0) {
    }
    // The next request ends the process, should serving this one hang.
    impl->Restore();
    if (impl->on_stop) {
      auto fn = std::move(impl->on_stop);
      impl->on_stop = nullptr;
      fn();
    }
  });
  g_wake = impl->pipe[1];
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &impl->before[i]);
  impl->installed = true;
}

StopRequest::~StopRequest() {
  impl_->Restore();
  g_wake = -1;
  if (impl_->pipe[0] >= 0) {
    MessageLoop::Current().UnwatchSocket(impl_->pipe[0]);
    ::close(impl_->pipe[0]);
    ::close(impl_->pipe[1]);
  }
}

}  // namespace axg
