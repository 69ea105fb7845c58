// Local time through the Win32 time functions, which count in 64 bits: the i686
// C runtime's localtime and mktime take a 32-bit time_t, which ends in 2038.
#include <windows.h>

#include "platform/clock.h"

namespace axg {
namespace {

// Milliseconds from 1601-01-01 (FILETIME's origin) to 1970-01-01.
constexpr std::int64_t kFileTimeEpochMs = 11644473600000;
// 10000-01-01 00:00 UTC, the end of what SYSTEMTIME holds.
constexpr std::int64_t kEndMs = 253402300800000;

}  // namespace

std::optional<CivilTime> LocalTimeAt(std::int64_t utc_ms) {
  if (utc_ms < 0 || utc_ms >= kEndMs) return std::nullopt;
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<ULONGLONG>(utc_ms + kFileTimeEpochMs) * 10000;
  FILETIME file_time{ticks.LowPart, ticks.HighPart};
  SYSTEMTIME utc, local;
  if (!FileTimeToSystemTime(&file_time, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return std::nullopt;
  return CivilTime{local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                   local.wMilliseconds};
}

std::optional<std::int64_t> UtcMsOfLocalTime(const CivilTime& t) {
  if (!t.InRange()) return std::nullopt;
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(t.year);
  local.wMonth = static_cast<WORD>(t.month);
  local.wDay = static_cast<WORD>(t.day);
  local.wHour = static_cast<WORD>(t.hour);
  local.wMinute = static_cast<WORD>(t.minute);
  local.wSecond = static_cast<WORD>(t.second);
  local.wMilliseconds = static_cast<WORD>(t.ms);
  SYSTEMTIME utc;
  FILETIME file_time;
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &file_time))
    return std::nullopt;
  ULARGE_INTEGER ticks;
  ticks.LowPart = file_time.dwLowDateTime;
  ticks.HighPart = file_time.dwHighDateTime;
  return static_cast<std::int64_t>(ticks.QuadPart / 10000) - kFileTimeEpochMs;
}

}  // namespace axg
