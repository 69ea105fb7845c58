#pragma once
#include <cstdint>
#include <optional>

#include "platform/export.h"

namespace axg {

// Two clocks behind one interface: the local time of day as the fraction of a day
// that the controller's time fields hold, the local date and time (days since
// 1899-12-30, as an OLE date), and a monotonic clock in milliseconds that neither
// restarts at midnight nor follows changes of the wall clock.
class AXG_PLATFORM_API Clock {
 public:
  virtual ~Clock() = default;
  virtual double TimeOfDay() = 0;
  virtual double Now() = 0;
  virtual std::int64_t MonotonicMs() = 0;
  // Milliseconds since 1970-01-01 UTC, and the monotonic clock in microseconds,
  // for time stamps of records that are read back later (the trace).
  virtual std::int64_t WallMs();
  virtual std::int64_t MonotonicUs() { return MonotonicMs() * 1000; }
};

// A local calendar date and time of day.
struct CivilTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0, ms = 0;
  // Every field in its range, the years 1970 to 9999 (the day up to 31 in any month).
  bool InRange() const {
    return year >= 1970 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour >= 0 &&
           hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59 && ms >= 0 && ms <= 999;
  }
};

// The local date and time at an instant (milliseconds since 1970-01-01 UTC) by the
// system's time-zone rules, and the instant of a local date and time. Both count
// in 64 bits on every build, the i686 one included, so the years after 2038 and
// after 2100 convert as any other; empty outside the years 1970 to 9999 or for a
// date that does not exist.
AXG_PLATFORM_API std::optional<CivilTime> LocalTimeAt(std::int64_t utc_ms);
AXG_PLATFORM_API std::optional<std::int64_t> UtcMsOfLocalTime(const CivilTime& local);
// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
AXG_PLATFORM_API std::int64_t DaysFromCivil(int year, int month, int day);

// The clock the system reads. Tests inject their own; nullptr restores the system
// clock. The clock is not owned.
AXG_PLATFORM_API Clock& CurrentClock();
AXG_PLATFORM_API void SetClock(Clock* clock);
AXG_PLATFORM_API Clock& SystemClock();

// A clock that moves only when told to. Advancing moves all three readings;
// the time of day wraps at midnight like the real one.
class AXG_PLATFORM_API FakeClock : public Clock {
 public:
  explicit FakeClock(double time_of_day = 0.5, double date = 46000.0)
      : time_of_day_(time_of_day), date_(date) {}
  double TimeOfDay() override { return time_of_day_; }
  double Now() override { return date_ + time_of_day_; }
  std::int64_t MonotonicMs() override { return mono_ms_; }
  // The date and time of day read as if they were UTC.
  std::int64_t WallMs() override;
  std::int64_t MonotonicUs() override { return mono_ms_ * 1000; }
  void AdvanceMs(std::int64_t ms);
  void SetTimeOfDay(double fraction) { time_of_day_ = fraction; }

 private:
  double time_of_day_;
  double date_;
  std::int64_t mono_ms_ = 1000000;
};

// Installs a clock for the lifetime of a scope (tests).
class ScopedClock {
 public:
  explicit ScopedClock(Clock& c) { SetClock(&c); }
  ~ScopedClock() { SetClock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace axg
