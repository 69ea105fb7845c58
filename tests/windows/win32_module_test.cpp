// Two modules on one thread, as in the host: ax_gate.dll has a message loop (and
// window) of its own beside the host's. The host's loop pumps both; unloading the
// DLL takes its window and window class with it, and it can be loaded again.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/message_loop.h"

namespace axg {
namespace {

std::wstring ModuleNextToTest(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

template <class Function>
Function Entry(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The message-only windows of our loop class that belong to a module.
int LoopWindowsOf(HMODULE module) {
  int count = 0;
  HWND w = nullptr;
  while ((w = FindWindowExW(HWND_MESSAGE, w, L"axg.MessageLoop", nullptr)) != nullptr)
    if (reinterpret_cast<HMODULE>(GetWindowLongPtrW(w, GWLP_HINSTANCE)) == module) ++count;
  return count;
}

TEST(LoopInAnotherModule, IsPumpedByOursAndLeavesNothingBehindWhenUnloaded) {
  MessageLoop& ours = MessageLoop::Current();
  const std::wstring path = ModuleNextToTest(L"wine_loop_module.dll");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr) << "cannot load wine_loop_module.dll: " << GetLastError();
    auto start = Entry<void (*)()>(module, "StartLoopWork");
    auto ticks = Entry<int (*)()>(module, "LoopTicks");
    auto posted = Entry<int (*)()>(module, "LoopPosted");
    ASSERT_TRUE(start && ticks && posted);
    start();
    EXPECT_EQ(LoopWindowsOf(module), 1);
    EXPECT_TRUE(ours.RunUntil([&] { return ticks() >= 3 && posted() == 1; }, 5000))
        << "ticks " << ticks() << ", posted " << posted();
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr) << "the module is still loaded";
    EXPECT_EQ(LoopWindowsOf(module), 0) << "a window outlived its module";
    // Its timer was still running: nothing may reach the unloaded code now.
    ours.RunFor(50);
  }
}

// The host lets go of the module (CoFreeUnusedLibraries, CoUninitialize at its
// exit) while a thread of the module's own still runs: the module stays until the
// thread has left it, then goes from that thread, and the window it had here
// leads into none of its code and is closed by this thread's loop.
TEST(LoopInAnotherModule, StaysMappedWhileItsOwnThreadRunsAndGoesWithIt) {
  MessageLoop& ours = MessageLoop::Current();
  const std::wstring path = ModuleNextToTest(L"wine_loop_module.dll");
  HMODULE module = LoadLibraryW(path.c_str());
  ASSERT_NE(module, nullptr);
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Entry<void (*)()>(module, "StartLoopWork")();
  Entry<void (*)(HANDLE)>(module, "StartHeldWorker")(go);
  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandleW(path.c_str()), module) << "unmapped under its own thread";
  ours.RunFor(50);
  SetEvent(go);
  EXPECT_TRUE(ours.RunUntil([&] { return !GetModuleHandleW(path.c_str()) && LoopWindowsOf(module) == 0; }, 5000));
  CloseHandle(go);
}

}  // namespace
}  // namespace axg
