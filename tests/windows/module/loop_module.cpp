// A module of its own with the platform's message loop linked in, as ax_gate.dll
// has it: the tests load it into a process whose own loop pumps its window, and
// unload it while its timer runs.
#include <windows.h>

#include "platform/message_loop.h"
#include "platform/worker.h"

namespace {
int g_ticks = 0;
int g_posted = 0;
}  // namespace

extern "C" __declspec(dllexport) void StartLoopWork() {
  axg::MessageLoop& loop = axg::MessageLoop::Current();
  loop.StartTimer(10, [] { ++g_ticks; });  // left running: the unload must stop it
  loop.Post([] { ++g_posted; });
}

extern "C" __declspec(dllexport) int LoopTicks() { return g_ticks; }
extern "C" __declspec(dllexport) int LoopPosted() { return g_posted; }

// A thread of the module's own that waits for the event, then runs on in the
// module's code: the module must stay mapped until it has left it.
extern "C" __declspec(dllexport) void StartHeldWorker(HANDLE go) {
  axg::StartWorker([go] {
    WaitForSingleObject(go, INFINITE);
    Sleep(20);  // still in the module's code after the host has let go of it
    ++g_posted;
  });
}
