#pragma once
#include <cstdint>

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
