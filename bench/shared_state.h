#pragma once
// What a server process under test and the driving process share: counters the
// server keeps as lines and host events pass, per-device time stamps for the
// latency figures, and the host's answering policy. Everything is a lock-free
// atomic in memory mapped by both processes.
#include <atomic>
#include <cstdint>

#include "platform/message_loop.h"

namespace axg::bench {

inline constexpr int kMaxDevices = 1024;
inline constexpr int kTickRing = 8192;

// The device address of simulated controller i ("0001" for 0) and back.
inline int DeviceNumber(int index) { return index + 1; }

struct DeviceSlot {
  std::atomic<std::int64_t> check_ns{0};     // last decision request (CHECK, kind 0) at the host
  std::atomic<std::int64_t> gateopen_ns{0};  // last GateOpen call for it
  std::atomic<std::uint32_t> stack_at_check{0};  // stack entries when that request came
  std::atomic<std::uint32_t> requests{0};    // decision requests (kind 0)
  std::atomic<std::uint32_t> finished{0};    // pass finished (kind 2)
  std::atomic<std::uint32_t> timeouts{0};    // kind 1
  std::atomic<std::uint32_t> noanswer{0};    // kind 3
  std::atomic<std::uint32_t> answer{0};      // 1: the host answers this device's requests "TRUE"
  std::atomic<std::uint32_t> checks_lost{0}; // its CHECK events (any kind) that found the queue full
};

// The server's loop's callback durations (MessageLoop::Stats), copied out by
// the probe timer at every tick, and a request to start them afresh.
struct LoopFigures {
  std::atomic<int> reset{0};                 // set by the driver, cleared by the server once done
  std::atomic<std::uint64_t> count{0};
  std::atomic<std::int64_t> max_ns{0};
  std::atomic<std::uint64_t> histogram[CallbackStats::kBuckets] = {};
  // Kept by a watcher thread every 2 ms: when the callback running now began
  // (monotonic clock, ns), 0 between callbacks.
  std::atomic<std::int64_t> running_since_ns{0};
};

struct SharedState {
  std::atomic<int> ready{0};               // 1 listening, -1 could not listen
  std::atomic<std::uint64_t> lines{0};     // lines handled: cut (floor) or read by the controller
  std::atomic<std::uint64_t> events{0};    // external events that reached the host's queue
  std::atomic<std::uint64_t> lost{0};      // of those, found the queue full
  std::atomic<std::uint64_t> clients{0};   // connections accepted
  std::atomic<std::uint64_t> ticks{0};     // ticks of a 10 ms probe timer (when asked for)
  std::atomic<std::int64_t> tick_ns[kTickRing] = {};  // when each tick came, by ticks % kTickRing
  LoopFigures loop;                        // kept with the ticks
  // The host's script: how long it takes per delivered event (set by the driver;
  // 0: no time at all) and how long the host's thread has spent in it.
  std::atomic<std::int64_t> event_cost_ns{0};
  std::atomic<std::int64_t> check_cost_ns{0};  // for a decision request (CHECK of kind 0)
  std::atomic<std::int64_t> script_ns{0};
  std::atomic<std::uint64_t> alive_events{0};  // events made by keep-alives
  DeviceSlot dev[kMaxDevices];
};

// Notification from the server process: a request of a device has ended.
struct EndNote {
  std::uint16_t index;
  std::uint8_t kind;  // the decision event's kind: 1, 2 or 3
  std::uint8_t pad;
};

}  // namespace axg::bench
