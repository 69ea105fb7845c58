// Local time through the C library's 64-bit time_t.
#include <ctime>

#include "platform/clock.h"

namespace axg {

std::optional<CivilTime> LocalTimeAt(std::int64_t utc_ms) {
  if (utc_ms < 0 || utc_ms >= 253402300800000) return std::nullopt;
  const std::time_t secs = static_cast<std::time_t>(utc_ms / 1000);
  std::tm local{};
  if (localtime_r(&secs, &local) == nullptr) return std::nullopt;
  return CivilTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                   local.tm_sec, static_cast<int>(utc_ms % 1000)};
}

std::optional<std::int64_t> UtcMsOfLocalTime(const CivilTime& t) {
  if (!t.InRange()) return std::nullopt;
  std::tm local{};
  local.tm_year = t.year - 1900;
  local.tm_mon = t.month - 1;
  local.tm_mday = t.day;
  local.tm_hour = t.hour;
  local.tm_min = t.minute;
  local.tm_sec = t.second;
  local.tm_isdst = -1;
  const std::time_t when = std::mktime(&local);
  if (when == static_cast<std::time_t>(-1) || local.tm_mday != t.day) return std::nullopt;
  return static_cast<std::int64_t>(when) * 1000 + t.ms;
}

}  // namespace axg
