#pragma once
#include <functional>
#include <memory>

#include "platform/export.h"

namespace axg {

// The process asked to end as a user or a service manager asks it: Ctrl+C, and
// on Linux SIGTERM and SIGHUP, on Windows Ctrl+Break and the console window
// closed. on_stop runs on the calling thread's message loop, in a turn of its
// own, the first time; a second request while the first is being served ends
// the process as it would have without this. Destroying it restores what was
// there before. One per process.
class AXG_PLATFORM_API StopRequest {
 public:
  explicit StopRequest(std::function<void()> on_stop);
  ~StopRequest();
  StopRequest(const StopRequest&) = delete;
  StopRequest& operator=(const StopRequest&) = delete;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace axg
