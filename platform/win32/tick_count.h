#pragma once
// Deadlines on the system's millisecond tick count. GetTickCount is a 32-bit
// count that wraps around every 49.7 days (GetTickCount64 does not exist before
// Windows Vista); a difference of two counts taken in 32 bits is right across
// the wrap, so waits are measured from their start and never against a deadline.
#include <windows.h>

#include <cstdint>

namespace axg::win32 {

// The tick count in 64 bits, rising across the wrap-arounds of the 32-bit count;
// what the runtime gets when it asks for GetTickCount64 (see tick_count.cpp).
std::uint64_t TickCount64();
// The 64-bit count that follows `last` when the 32-bit count reads `now`.
std::uint64_t NextTickCount64(std::uint64_t last, DWORD now);

// Milliseconds left of a wait of `timeout` that began at tick count `start`,
// as seen at tick count `now`; 0 once it is over.
inline DWORD MillisecondsLeft(DWORD start, DWORD timeout, DWORD now) {
  const DWORD elapsed = now - start;  // modulo 2^32
  return elapsed >= timeout ? 0 : timeout - elapsed;
}

inline DWORD MillisecondsLeft(DWORD start, DWORD timeout) {
  return MillisecondsLeft(start, timeout, GetTickCount());
}

}  // namespace axg::win32
