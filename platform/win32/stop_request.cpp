// Ctrl+C, Ctrl+Break and the console window closed, on Windows: the console's
// handler thread posts the request to the loop. For a closed window Windows ends
// the process once the handler returns (within 5 s), so the handler waits there
// for the request to have been served.
#include "platform/stop_request.h"

#include <windows.h>

#include <atomic>

#include "platform/message_loop.h"

namespace axg {
namespace {

std::atomic<MessageLoop*> g_loop{nullptr};
std::atomic<bool> g_requested{false};
std::atomic<bool> g_served{false};
StopRequest::Impl* g_impl = nullptr;

}  // namespace

struct StopRequest::Impl {
  std::function<void()> on_stop;
};

namespace {

BOOL WINAPI OnConsoleEvent(DWORD type) {
  MessageLoop* loop = g_loop.load();
  if (!loop || g_requested.exchange(true)) return FALSE;  // a second request: the default, which ends the process
  loop->Post([] {
    if (g_impl && g_impl->on_stop) {
      auto fn = std::move(g_impl->on_stop);
      g_impl->on_stop = nullptr;
      fn();
    }
  });
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    for (int i = 0; i < 45 && !g_served.load(); ++i) Sleep(100);
  }
  return TRUE;
}

}  // namespace

StopRequest::StopRequest(std::function<void()> on_stop) : impl_(std::make_unique<Impl>()) {
  impl_->on_stop = std::move(on_stop);
  g_impl = impl_.get();
  g_loop.store(&MessageLoop::Current());
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopRequest::~StopRequest() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_loop.store(nullptr);
  g_impl = nullptr;
  g_served.store(true);
}

}  // namespace axg
