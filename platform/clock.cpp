#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>

namespace axg {
namespace {

class SystemClockImpl : public Clock {
 public:
  double TimeOfDay() override {
    double now = Now();
    return now - std::floor(now);
  }
  double Now() override {
    using namespace std::chrono;
    auto tp = system_clock::now();
    std::time_t secs = system_clock::to_time_t(tp);
    auto ms = duration_cast<milliseconds>(tp.time_since_epoch()).count() % 1000;
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &secs);
#else
    localtime_r(&secs, &local);
#endif
    // Days from 1899-12-30 to the local date, then the local time of day.
    // Civil-date day count (proleptic Gregorian), independent of time zones.
    int y = local.tm_year + 1900, m = local.tm_mon + 1, d = local.tm_mday;
    y -= m <= 2;
    int era = (y >= 0 ? y : y - 399) / 400;
    int yoe = y - era * 400;
    int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    long days_since_1970 = static_cast<long>(era) * 146097 + doe - 719468;
    double day = static_cast<double>(days_since_1970 + 25569);
    double secs_of_day = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + ms / 1000.0;
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
