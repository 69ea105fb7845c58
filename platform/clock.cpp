#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <cmath>

namespace axg {
namespace {

class SystemClockImpl : public Clock {
 public:
  double TimeOfDay() override {
    double now = Now();
    return now - std::floor(now);
  }
  double Now() override {
    // Days from 1899-12-30 to the local date, then the local time of day.
    const std::optional<CivilTime> local = LocalTimeAt(WallMs());
    if (!local) return 0;
    const double day = static_cast<double>(DaysFromCivil(local->year, local->month, local->day) + 25569);
    const double secs_of_day = local->hour * 3600.0 + local->minute * 60.0 + local->second + local->ms / 1000.0;
    return day + secs_of_day / 86400.0;
  }
  std::int64_t MonotonicMs() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  std::int64_t MonotonicUs() override {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
  }
};

std::atomic<Clock*> g_clock{nullptr};

}  // namespace

std::int64_t DaysFromCivil(int year, int month, int day) {
  const std::int64_t y = year - (month <= 2);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::int64_t Clock::WallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

Clock& SystemClock() {
  static SystemClockImpl clock;
  return clock;
}

Clock& CurrentClock() {
  Clock* c = g_clock.load(std::memory_order_acquire);
  return c ? *c : SystemClock();
}

void SetClock(Clock* clock) { g_clock.store(clock, std::memory_order_release); }

std::int64_t FakeClock::WallMs() {
  return std::llround((date_ - 25569.0 + time_of_day_) * 86400000.0);
}

void FakeClock::AdvanceMs(std::int64_t ms) {
  mono_ms_ += ms;
  double t = time_of_day_ + static_cast<double>(ms) / 86400000.0;
  double whole = std::floor(t);
  date_ += whole;
  time_of_day_ = t - whole;
}

}  // namespace axg
