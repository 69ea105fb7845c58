// GetTickCount64 for the runtime. mingw-w64's winpthread, linked into every
// binary, imports GetTickCount64 for its timed waits, and Windows XP's kernel32
// has no such export: the binary would not load there. Defining the import's
// pointer here (the linker takes it from this object, which the message loop
// always pulls in, before it searches kernel32's import library) sends those
// calls to a count built on GetTickCount instead.
#include "platform/win32/tick_count.h"

#include <atomic>
#include <cstdint>

namespace axg::win32 {

std::uint64_t NextTickCount64(std::uint64_t last, DWORD now) {
  std::uint64_t next = (last & ~std::uint64_t{0xFFFFFFFF}) | now;
  if (next < last) next += std::uint64_t{1} << 32;  // the 32-bit count wrapped
  return next;
}

std::uint64_t TickCount64() {
  // The last count handed out: its upper half counts the wrap-arounds of the
  // 32-bit count seen so far (one call per 49.7 days keeps it exact).
  static std::atomic<std::uint64_t> last{0};
  std::uint64_t seen = last.load();
  for (;;) {
    const std::uint64_t next = NextTickCount64(seen, GetTickCount());
    if (next == seen || last.compare_exchange_weak(seen, next)) return next;
  }
}

namespace {

ULONGLONG WINAPI TickCount64ForTheRuntime() { return TickCount64(); }

}  // namespace
}  // namespace axg::win32

#if defined(_WIN64)
#define AXG_IMPORT_POINTER(name) "__imp_" #name
#else
#define AXG_IMPORT_POINTER(name) "__imp__" #name "@0"
#endif
extern "C" ULONGLONG(WINAPI* axg_get_tick_count64)(void) __asm__(AXG_IMPORT_POINTER(GetTickCount64));
ULONGLONG(WINAPI* axg_get_tick_count64)(void) = &axg::win32::TickCount64ForTheRuntime;
