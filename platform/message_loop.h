#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/export.h"
#include "platform/socket.h"

namespace axg {

// Socket readiness notifications, as a bit mask.
enum SocketEvent : unsigned {
  kSockRead = 1u << 0,     // data has arrived (or the peer closed: recv returns 0)
  kSockWrite = 1u << 1,    // the socket accepts data again after a send fell short
  kSockAccept = 1u << 2,   // a listening socket has a connection to accept
  kSockConnect = 1u << 3,  // a connect finished; the error argument is 0 on success
  kSockClose = 1u << 4,    // the connection was closed by the peer or broke
};

// Called on the loop's thread with one event bit and the socket error that came
// with it (0 when none).
using SocketCallback = std::function<void(unsigned event, int error)>;
using TimerId = std::uint64_t;

// How long the loop's callbacks held its thread: from the loop handing control to
// a socket, timer or posted callback until it got control back. Durations go into
// a log-scale histogram of microseconds, four buckets per power of two (within a
// quarter of the true value), so that a percentile costs nothing to keep.
struct AXG_PLATFORM_API CallbackStats {
  static constexpr int kBuckets = 128;

  std::uint64_t count = 0;
  std::int64_t total_ns = 0;
  std::int64_t max_ns = 0;
  std::array<std::uint64_t, kBuckets> histogram{};

  void Add(std::int64_t ns);
  // The q-quantile (0 < q <= 1) as the upper edge of its bucket, at most max_ns;
  // 0 with no callbacks counted.
  std::int64_t QuantileNs(double q) const;

  static int Bucket(std::int64_t ns);
  // The largest duration, in nanoseconds, that falls into bucket b.
  static std::int64_t BucketUpperNs(int b);
};

// The message loop of one thread. Every transport, the sweep timer and the host's
// calls meet here, one callback at a time. A callback may watch, unwatch or close
// any socket and start or stop any timer, including its own; the loop never calls
// into a socket or timer after it was removed. Callbacks are never nested by the
// loop itself.
//
// kSockWrite is edge-like: a consumer asks for it only after a send fell short,
// and drops it again once its queue is empty. kSockConnect is delivered once per
// connect and then leaves the mask by itself.
class AXG_PLATFORM_API MessageLoop {
 public:
  // The calling thread's loop, made on first use.
  static MessageLoop& Current();
  virtual ~MessageLoop() = default;

  virtual void WatchSocket(SocketHandle s, unsigned events, SocketCallback cb) = 0;
  virtual void UpdateSocket(SocketHandle s, unsigned events) = 0;
  virtual void UnwatchSocket(SocketHandle s) = 0;

  // A periodic timer: cb runs every interval_ms until stopped.
  virtual TimerId StartTimer(unsigned interval_ms, std::function<void()> cb) = 0;
  virtual void StopTimer(TimerId id) = 0;

  // Runs fn in a later turn of the loop, after the current callback has returned.
  // Posted calls run in the order posted. Post and Stop may also be called from
  // another thread (they wake the loop); everything else belongs to the loop's thread.
  virtual void Post(std::function<void()> fn) = 0;

  // Run until Stop(); for at most ms milliseconds; until done() holds (true) or the
  // timeout passes (false). Stop() ends the innermost of them that is running, after
  // the current turn; with none running it does nothing.
  virtual void Run() = 0;
  virtual void RunFor(unsigned ms) = 0;
  virtual bool RunUntil(const std::function<bool()>& done, unsigned timeout_ms) = 0;
  virtual void Stop() = 0;

  // One turn without waiting: delivers what is ready now. True if anything ran.
  virtual bool RunPending() = 0;

  // The callbacks' durations since the loop was made or last reset (the loop's
  // thread only). A callback that runs a nested loop counts with all of it.
  CallbackStats Stats() const { return stats_; }
  void ResetStats() { stats_ = CallbackStats{}; }
  // When the callback running now began, in nanoseconds of the steady clock
  // (std::chrono::steady_clock's epoch); 0 between callbacks. Any thread may ask:
  // a watchdog sees a callback that has not returned yet.
  std::int64_t CallbackRunningSinceNs() const noexcept { return running_since_ns_.load(std::memory_order_relaxed); }

 protected:
  // The loops time every callback with one of these around it.
  class CallbackTiming {
   public:
    explicit CallbackTiming(MessageLoop& loop) noexcept;
    ~CallbackTiming();
    CallbackTiming(const CallbackTiming&) = delete;
    CallbackTiming& operator=(const CallbackTiming&) = delete;

   private:
    MessageLoop& loop_;
    std::int64_t start_ns_;
    std::int64_t outer_ns_;  // a callback that runs a nested loop is still running after this one
  };

  CallbackStats stats_;
  std::atomic<std::int64_t> running_since_ns_{0};
};

// Posts fn to the loop like MessageLoop::Post, and counts it until it has run or
// been dropped. Whatever a module defers this way runs code of that module, so the
// module must stay loaded until the count is back to zero: DllCanUnloadNow asks.
AXG_PLATFORM_API void PostTracked(MessageLoop& loop, std::function<void()> fn);
AXG_PLATFORM_API long PendingTrackedCalls();

// A timer of the thread's loop with an interval and an enabled flag. Enabling
// starts the countdown afresh; disabling stops the ticks. Destroying it stops it.
class AXG_PLATFORM_API Timer {
 public:
  explicit Timer(std::function<void()> on_tick = {}, unsigned interval_ms = 1000);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetOnTimer(std::function<void()> on_tick) { on_tick_ = std::move(on_tick); }
  void SetInterval(unsigned ms);
  unsigned Interval() const { return interval_ms_; }
  void SetEnabled(bool enabled);
  bool Enabled() const { return enabled_; }

 private:
  void Restart();
  std::function<void()> on_tick_;
  unsigned interval_ms_;
  bool enabled_ = false;
  TimerId id_ = 0;
  MessageLoop& loop_;
};

}  // namespace axg
