#pragma once
// The pause of a listener that cannot accept for lack of descriptors or buffers.
// The waiting peer stays in the listen queue, so the listener would report it
// again at once and the loop would spin; instead the listener is left alone for
// a while (100 ms at first, doubling up to 2 s while the shortage lasts) and
// then retried. The connections already open carry on meanwhile.
#include <algorithm>
#include <functional>
#include <utility>

#include "platform/message_loop.h"

namespace axg {

class AcceptBackoff {
 public:
  explicit AcceptBackoff(std::function<void()> retry)
      : timer_([this, retry = std::move(retry)] {
          timer_.SetEnabled(false);
          retry();
        }) {}

  // Starts or lengthens the pause; true for the first failure of a shortage.
  bool Pause() {
    const bool first = ms_ == 0;
    ms_ = first ? kFirstMs : std::min(ms_ * 2, kMaxMs);
    timer_.SetInterval(ms_);
    timer_.SetEnabled(true);
    return first;
  }
  // The listener took a connection or had none waiting: true when that ends a shortage.
  bool End() { return std::exchange(ms_, 0u) != 0; }
  // The listener is closed: no retry, no shortage.
  void Cancel() {
    timer_.SetEnabled(false);
    ms_ = 0;
  }
  bool Paused() const { return timer_.Enabled(); }

 private:
  static constexpr unsigned kFirstMs = 100;
  static constexpr unsigned kMaxMs = 2000;
  unsigned ms_ = 0;
  Timer timer_;
};

}  // namespace axg
