#pragma once
// A pointer per thread whose value is handed to a free function when its thread
// ends, and for every thread's value that is left when the slot goes away (what
// fiber-local storage offers from Windows Vista on; Windows XP has only plain
// thread-local storage, so the ends of threads are caught here).
#include <windows.h>

#include <unordered_map>

namespace axg::win32 {

class ThreadSlot {
 public:
  using FreeFunction = void (*)(void* value);

  // Throws axg::Error when the system has no thread-local index left.
  explicit ThreadSlot(FreeFunction free_value);
  // Frees every value still set, on the calling thread.
  ~ThreadSlot();
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  void* Get() const;
  // The calling thread's value; the one it replaces is not freed.
  void Set(void* value);

  // The calling thread is ending: frees its value in every slot. Called by the
  // system through a TLS callback in executables, and in DLLs on Windows Vista
  // and later; in a DLL that LoadLibrary loaded on Windows XP the system calls no
  // TLS callbacks, so there a thread's value lives until its slot goes away.
  static void ThreadEnding() noexcept;

 private:
  void* TakeThisThreadsValue();

  DWORD index_;
  FreeFunction free_;
  std::unordered_map<DWORD, void*> values_;  // by thread id; under the slots' mutex
  ThreadSlot* next_ = nullptr;               // the list of live slots
};

}  // namespace axg::win32
