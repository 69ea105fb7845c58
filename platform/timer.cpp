#include "platform/message_loop.h"

namespace axg {

Timer::Timer(std::function<void()> on_tick, unsigned interval_ms)
    : on_tick_(std::move(on_tick)), interval_ms_(interval_ms), loop_(MessageLoop::Current()) {}

Timer::~Timer() {
  if (id_ != 0) loop_.StopTimer(id_);
}

void Timer::SetInterval(unsigned ms) {
  if (ms == interval_ms_) return;
  interval_ms_ = ms;
  if (enabled_) Restart();
}

void Timer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  Restart();
}

void Timer::Restart() {
  if (id_ != 0) {
    loop_.StopTimer(id_);
    id_ = 0;
  }
  if (enabled_ && interval_ms_ > 0) {
    id_ = loop_.StartTimer(interval_ms_, [this] {
      // A tick handler may destroy the timer or replace its handler; the copy
      // keeps the running handler alive until it returns.
      std::function<void()> tick = on_tick_;
      if (tick) tick();
    });
  }
}

}  // namespace axg
