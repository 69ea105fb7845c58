#pragma once
// A thread of the module's own that outlives the call that starts it (the
// trace's writer).
#include <functional>

#include "platform/export.h"

namespace axg {

// Runs fn on a new, detached thread; whatever fn throws ends the thread, and
// nothing more. On Windows the module this code is linked into stays mapped
// until the thread has left its code: the thread holds a reference on the
// module and gives it back as it exits (FreeLibraryAndExitThread), so neither
// the host's CoFreeUnusedLibraries nor CoUninitialize at its exit unmaps code a
// thread still runs. Throws Error when no thread can be started.
AXG_PLATFORM_API void StartWorker(std::function<void()> fn);

}  // namespace axg
