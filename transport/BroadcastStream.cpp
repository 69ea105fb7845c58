#include "transport/BroadcastStream.h"

#include <algorithm>

#include "platform/message_loop.h"

namespace axg {

namespace {
// A stream larger than this gives its memory back once it is empty.
constexpr std::size_t kKeptCapacity = 64 * 1024;
}  // namespace

BroadcastStream::BroadcastStream(std::function<void()> on_tick) : on_tick_(std::move(on_tick)) {}

BroadcastStream::~BroadcastStream() = default;

void BroadcastStream::Append(std::string_view bytes, unsigned interval_ms) {
  if (bytes.empty()) return;
  bytes_.append(bytes);
  if (!timer_) timer_ = std::make_unique<Timer>(on_tick_);
  timer_->SetInterval(std::max(interval_ms, 1u));
  if (!timer_->Enabled()) timer_->SetEnabled(true);
}

std::string_view BroadcastStream::From(std::uint64_t pos) const {
  if (pos <= base_) return bytes_;
  if (pos >= End()) return {};
  return std::string_view(bytes_).substr(static_cast<std::size_t>(pos - base_));
}

void BroadcastStream::Trim(std::uint64_t lowest) {
  lowest = std::min(lowest, End());
  if (lowest > base_) {
    bytes_.erase(0, static_cast<std::size_t>(lowest - base_));
    base_ = lowest;
  }
  if (!bytes_.empty()) return;
  if (bytes_.capacity() > kKeptCapacity) std::string().swap(bytes_);
  if (timer_ && timer_->Enabled()) timer_->SetEnabled(false);
}

bool BroadcastStream::TimerRunning() const { return timer_ && timer_->Enabled(); }

}  // namespace axg
