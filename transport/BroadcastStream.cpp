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

void BroadcastStream::Append(std::string_view frame, unsigned interval_ms) {
  if (frame.empty()) return;
  // Nobody attached: whoever is owed bytes is behind and folds them into this frame.
  if (attached_ == 0) Trim(End());
  latest_ = End();
  bytes_.append(frame);
  at_end_ = 0;
  if (attached_ == 0) return;
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
  if (bytes_.empty() && bytes_.capacity() > kKeptCapacity) std::string().swap(bytes_);
}

void BroadcastStream::Attach(std::uint64_t pos) {
  ++attached_;
  at_end_ += pos >= End();
}

void BroadcastStream::Detach(std::uint64_t pos) {
  --attached_;
  at_end_ -= pos >= End();
  StopWhenNoneOwed();
}

void BroadcastStream::TookAll() {
  ++at_end_;
  StopWhenNoneOwed();
}

void BroadcastStream::StopWhenNoneOwed() {
  if (at_end_ >= attached_ && timer_ && timer_->Enabled()) timer_->SetEnabled(false);
}

bool BroadcastStream::TimerRunning() const { return timer_ && timer_->Enabled(); }

}  // namespace axg
