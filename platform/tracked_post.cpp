#include <atomic>
#include <memory>

#include "platform/message_loop.h"

namespace axg {
namespace {

std::atomic<long> g_pending{0};

// Lives exactly as long as the posted call: destroyed after it ran, or with the
// queue when a loop drops it unrun.
struct PendingMark {
  PendingMark() { g_pending.fetch_add(1); }
  ~PendingMark() { g_pending.fetch_sub(1); }
  PendingMark(const PendingMark&) = delete;
  PendingMark& operator=(const PendingMark&) = delete;
};

}  // namespace

void PostTracked(MessageLoop& loop, std::function<void()> fn) {
  auto mark = std::make_shared<PendingMark>();
  loop.Post([mark, fn = std::move(fn)]() mutable {
    // Release the call (and what it captured) before the mark, so that nothing of
    // the caller's is left once the count drops.
    auto call = std::move(fn);
    call();
    call = nullptr;
    mark.reset();
  });
}

long PendingTrackedCalls() { return g_pending.load(); }

}  // namespace axg
