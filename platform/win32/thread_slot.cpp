#include "platform/win32/thread_slot.h"

#include <mutex>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/win32/win32_util.h"

namespace axg::win32 {
namespace {

// Both are constant-initialized and need no destructor, so they are usable from a
// TLS callback before this module's constructors have run and after its
// destructors.
std::mutex g_mutex;
ThreadSlot* g_slots = nullptr;

void NTAPI OnThreadEvent(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_DETACH) ThreadSlot::ThreadEnding();
}

}  // namespace

// The loader calls every pointer in the .CRT$XL* sections of an image (mingw-w64's
// runtime supplies the TLS directory that spans them) on each thread's start and end.
extern "C" __attribute__((section(".CRT$XLY"), used)) const PIMAGE_TLS_CALLBACK axg_thread_slot_callback =
    &OnThreadEvent;

ThreadSlot::ThreadSlot(FreeFunction free_value) : index_(TlsAlloc()), free_(free_value) {
  if (index_ == TLS_OUT_OF_INDEXES)
    throw Error(u"Cannot allocate a thread-local slot: " + SystemErrorText(GetLastError()));
  std::lock_guard<std::mutex> lock(g_mutex);
  next_ = g_slots;
  g_slots = this;
}

ThreadSlot::~ThreadSlot() {
  std::unordered_map<DWORD, void*> left;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (ThreadSlot** p = &g_slots; *p; p = &(*p)->next_) {
      if (*p == this) {
        *p = next_;
        break;
      }
    }
    left.swap(values_);
  }
  TlsSetValue(index_, nullptr);
  TlsFree(index_);
  for (auto& [thread, value] : left) free_(value);
}

void* ThreadSlot::Get() const { return TlsGetValue(index_); }

void ThreadSlot::Set(void* value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!TlsSetValue(index_, value))
    throw Error(u"Cannot set a thread-local value: " + SystemErrorText(GetLastError()));
  if (value) values_[GetCurrentThreadId()] = value;
  else values_.erase(GetCurrentThreadId());
}

void* ThreadSlot::TakeThisThreadsValue() {
  void* value = TlsGetValue(index_);
  if (!value) return nullptr;
  TlsSetValue(index_, nullptr);
  values_.erase(GetCurrentThreadId());
  return value;
}

void ThreadSlot::ThreadEnding() noexcept {
  std::vector<std::pair<FreeFunction, void*>> ending;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (ThreadSlot* s = g_slots; s; s = s->next_)
      if (void* value = s->TakeThisThreadsValue()) ending.emplace_back(s->free_, value);
  }
  for (auto& [free_value, value] : ending) free_value(value);
}

}  // namespace axg::win32
