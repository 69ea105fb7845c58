#include "platform/worker.h"

#include <windows.h>

#include <memory>

#include "platform/error.h"
#include "platform/win32/win32_util.h"

namespace axg {
namespace {

struct Work {
  std::function<void()> fn;
  HMODULE module = nullptr;  // the reference the thread holds
};

DWORD WINAPI WorkerMain(LPVOID param) {
  HMODULE module = nullptr;
  {
    std::unique_ptr<Work> work(static_cast<Work*>(param));
    module = work->module;
    try {
      work->fn();
    } catch (...) {
      // Nothing may leave the thread, which would end the host.
    }
  }
  // Does not return: the module may be unmapped by this call, and the thread
  // never comes back into its code. Its last reference going here runs the
  // module's detach on this thread (see the message loop's destructor).
  FreeLibraryAndExitThread(module, 0);
}

}  // namespace

void StartWorker(std::function<void()> fn) {
  auto work = std::make_unique<Work>();
  work->fn = std::move(fn);
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerMain),
                          &work->module))
    throw Error(u"Cannot hold the module for a thread: " + win32::SystemErrorText(GetLastError()));
  const HANDLE thread = CreateThread(nullptr, 0, &WorkerMain, work.get(), 0, nullptr);
  if (!thread) {
    const DWORD code = GetLastError();
    FreeLibrary(work->module);
    throw Error(u"Cannot start a thread: " + win32::SystemErrorText(code));
  }
  work.release();
  CloseHandle(thread);
}

}  // namespace axg
