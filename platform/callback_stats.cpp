// The histogram behind MessageLoop::Stats: four buckets per power of two of the
// duration in microseconds. Buckets 0-3 hold 0, 1, 2 and 3 us; from there bucket
// 4(e-1)+k holds [(4+k) 2^(e-2), (5+k) 2^(e-2)) us for durations of 2^e to 2^(e+1) us.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>

#include "platform/message_loop.h"

namespace axg {

int CallbackStats::Bucket(std::int64_t ns) {
  const std::uint64_t us = ns > 0 ? static_cast<std::uint64_t>(ns) / 1000 : 0;
  if (us < 4) return static_cast<int>(us);
  const int e = std::bit_width(us) - 1;  // 2^e <= us < 2^(e+1), e >= 2
  const int k = static_cast<int>((us >> (e - 2)) & 3);
  return std::min(4 * (e - 1) + k, kBuckets - 1);
}

std::int64_t CallbackStats::BucketUpperNs(int b) {
  if (b < 4) return (static_cast<std::int64_t>(b) + 1) * 1000 - 1;
  const int e = b / 4 + 1;
  const int k = b % 4;
  if (e - 2 >= 40) return INT64_MAX;  // beyond any duration a loop can measure
  return ((static_cast<std::int64_t>(5 + k) << (e - 2)) * 1000) - 1;
}

void CallbackStats::Add(std::int64_t ns) {
  if (ns < 0) ns = 0;
  ++count;
  total_ns += ns;
  max_ns = std::max(max_ns, ns);
  ++histogram[static_cast<std::size_t>(Bucket(ns))];
}

std::int64_t CallbackStats::QuantileNs(double q) const {
  if (count == 0) return 0;
  // Nearest rank: the smallest duration with at least q of the callbacks at or below it.
  const double want = std::ceil(std::clamp(q, 0.0, 1.0) * static_cast<double>(count));
  const std::uint64_t rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(want));
  std::uint64_t seen = 0;
  for (int b = 0; b < kBuckets; ++b) {
    seen += histogram[static_cast<std::size_t>(b)];
    if (seen >= rank) return std::min(BucketUpperNs(b), max_ns);
  }
  return max_ns;
}

namespace {
std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

MessageLoop::CallbackTiming::CallbackTiming(MessageLoop& loop) noexcept
    : loop_(loop), start_ns_(SteadyNs()), outer_ns_(loop.running_since_ns_.exchange(start_ns_)) {}

MessageLoop::CallbackTiming::~CallbackTiming() {
  const std::int64_t end = SteadyNs();
  loop_.running_since_ns_.store(outer_ns_, std::memory_order_relaxed);
  loop_.stats_.Add(end - start_ns_);
}

}  // namespace axg
