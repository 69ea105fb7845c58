#include "platform/message_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace axg {
namespace {

using Steady = std::chrono::steady_clock;
constexpr unsigned kBound = 2000;  // ms: no correct test comes near it

long long MsSince(Steady::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - t0).count();
}

// A one-shot timer that marks the end of a test's observation window: everything
// due before its deadline has fired by the time it does.
class Sentinel {
 public:
  explicit Sentinel(unsigned ms) {
    id_ = MessageLoop::Current().StartTimer(ms, [this] {
      fired_ = true;
      MessageLoop::Current().StopTimer(id_);
    });
  }
  ~Sentinel() { MessageLoop::Current().StopTimer(id_); }
  bool Wait() {
    return MessageLoop::Current().RunUntil([this] { return fired_; }, kBound);
  }

 private:
  TimerId id_ = 0;
  bool fired_ = false;
};

TEST(MessageLoopTimers, FireInDeadlineOrderAndNeverEarly) {
  MessageLoop& loop = MessageLoop::Current();
  std::vector<unsigned> order;
  std::vector<TimerId> ids;
  const auto t0 = Steady::now();
  for (unsigned ms : {30u, 10u, 20u, 1u}) {
    auto index = ids.size();
    ids.push_back(0);
    ids[index] = loop.StartTimer(ms, [&, ms, index] {
      EXPECT_GE(MsSince(t0), ms);
      order.push_back(ms);
      loop.StopTimer(ids[index]);
    });
  }
  ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 4; }, kBound));
  EXPECT_EQ(order, (std::vector<unsigned>{1, 10, 20, 30}));
}

TEST(MessageLoopTimers, StoppedOrRestartedInsideCallbacksNeverFireStale) {
  MessageLoop& loop = MessageLoop::Current();
  int self_stop = 0, stopped_by_other = 0, rearmed_old = 0, rearmed_new = 0;
  TimerId self_id = 0, victim_id = 0, rearm_id = 0, new_id = 0;
  self_id = loop.StartTimer(5, [&] {
    ++self_stop;
    loop.StopTimer(self_id);
  });
  // Same interval, started one after the other: usually due in the same turn.
  TimerId killer_id = loop.StartTimer(5, [&] { loop.StopTimer(victim_id); });
  victim_id = loop.StartTimer(5, [&] { ++stopped_by_other; });
  rearm_id = loop.StartTimer(5, [&] {
    ++rearmed_old;
    loop.StopTimer(rearm_id);
    new_id = loop.StartTimer(10, [&] { ++rearmed_new; });
  });
  Sentinel end(60);
  ASSERT_TRUE(end.Wait());
  loop.StopTimer(killer_id);
  loop.StopTimer(new_id);
  EXPECT_EQ(self_stop, 1);
  EXPECT_EQ(stopped_by_other, 0);
  EXPECT_EQ(rearmed_old, 1);
  EXPECT_GE(rearmed_new, 1);
}

TEST(MessageLoopTimers, PeriodicUntilStoppedAndAZeroIntervalStillLetsTheLoopTurn) {
  MessageLoop& loop = MessageLoop::Current();
  int ticks = 0, zero_ticks = 0;
  TimerId id = loop.StartTimer(2, [&] { ++ticks; });
  TimerId zero = loop.StartTimer(0, [&] { ++zero_ticks; });
  ASSERT_TRUE(loop.RunUntil([&] { return ticks >= 5; }, kBound));
  loop.StopTimer(id);
  loop.StopTimer(zero);
  EXPECT_GE(zero_ticks, 1);
  ticks = zero_ticks = 0;
  loop.RunFor(10);
  EXPECT_EQ(ticks + zero_ticks, 0);
}

TEST(TimerObject, EnableDisableAndIntervalSemantics) {
  int ticks = 0;
  Timer t([&] { ++ticks; }, 20);
  EXPECT_FALSE(t.Enabled());
  EXPECT_EQ(t.Interval(), 20u);
  {
    Sentinel end(50);
    ASSERT_TRUE(end.Wait());
    EXPECT_EQ(ticks, 0) << "a disabled timer ticked";
  }
  // Disabling from inside its own tick: exactly one tick.
  t.SetOnTimer([&] {
    ++ticks;
    t.SetEnabled(false);
  });
  t.SetEnabled(true);
  EXPECT_TRUE(t.Enabled());
  {
    Sentinel end(80);
    ASSERT_TRUE(end.Wait());
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(t.Enabled());
  }
  // Interval 0 stops the ticks but keeps the flag; a real interval resumes them.
  ticks = 0;
  t.SetOnTimer([&] { ++ticks; });
  t.SetEnabled(true);
  t.SetInterval(0);
  EXPECT_TRUE(t.Enabled());
  {
    Sentinel end(40);
    ASSERT_TRUE(end.Wait());
    EXPECT_EQ(ticks, 0);
  }
  t.SetInterval(5);
  ASSERT_TRUE(MessageLoop::Current().RunUntil([&] { return ticks >= 2; }, kBound));
  // Changing the interval of a disabled timer starts nothing.
  t.SetEnabled(false);
  t.SetInterval(7);
  EXPECT_EQ(t.Interval(), 7u);
  ticks = 0;
  Sentinel end(30);
  ASSERT_TRUE(end.Wait());
  EXPECT_EQ(ticks, 0);
}

TEST(TimerObject, EnablingAndNewIntervalRestartTheCountdown) {
  // Each change comes 25 ms after enabling; without a fresh countdown the first
  // tick would come less than 40 ms after it.
  struct Case {
    const char* name;
    unsigned initial_ms;
    void (*change)(Timer&);
  };
  const Case cases[] = {
      {"SetEnabled(true) again", 40, [](Timer& t) { t.SetEnabled(true); }},
      {"SetInterval(40) from 60", 60, [](Timer& t) { t.SetInterval(40); }},
      {"disable, interval, enable", 60,
       [](Timer& t) {
         t.SetEnabled(false);
         t.SetInterval(40);
         t.SetEnabled(true);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Steady::time_point changed{}, first_tick{};
    Timer t(
        [&] {
          if (first_tick == Steady::time_point{}) first_tick = Steady::now();
        },
        c.initial_ms);
    t.SetEnabled(true);
    Timer changer({}, 25);
    changer.SetOnTimer([&] {
      changer.SetEnabled(false);
      changed = Steady::now();
      c.change(t);
    });
    changer.SetEnabled(true);
    ASSERT_TRUE(MessageLoop::Current().RunUntil([&] { return first_tick != Steady::time_point{}; }, kBound));
    ASSERT_NE(changed, Steady::time_point{});
    EXPECT_TRUE(t.Enabled());
    EXPECT_EQ(t.Interval(), 40u);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(first_tick - changed).count(), 40);
  }
}

TEST(TimerObject, TickMayReplaceItsHandlerOrDestroyTheTimer) {
  // The handlers use their own captures after replacing or destroying; that must
  // still be valid (the sanitizer build catches a handler freed while it runs).
  std::vector<std::string> seen;
  auto t = std::make_unique<Timer>(nullptr, 3);
  t->SetOnTimer([&, label = std::string(40, 'a')] {
    t->SetOnTimer([&, label2 = std::string(40, 'b')] {
      t.reset();
      seen.push_back(label2);
    });
    seen.push_back(label);
  });
  t->SetEnabled(true);
  ASSERT_TRUE(MessageLoop::Current().RunUntil([&] { return !t; }, kBound));
  Sentinel end(20);
  ASSERT_TRUE(end.Wait());
  EXPECT_EQ(seen, (std::vector<std::string>{std::string(40, 'a'), std::string(40, 'b')}));
}

TEST(MessageLoopPost, RunsInALaterTurnAfterTheCurrentCallbackInOrder) {
  MessageLoop& loop = MessageLoop::Current();
  std::vector<std::string> trace;
  loop.Post([&] {
    trace.push_back("a");
    loop.Post([&] { trace.push_back("c"); });
    trace.push_back("a-end");
  });
  loop.Post([&] { trace.push_back("b"); });
  EXPECT_TRUE(loop.RunPending());
  EXPECT_EQ(trace, (std::vector<std::string>{"a", "a-end", "b"}));
  EXPECT_TRUE(loop.RunPending());
  EXPECT_EQ(trace.back(), "c");
  EXPECT_FALSE(loop.RunPending());

  // Posted from a timer callback: not before the callback has returned.
  bool callback_done = false, posted_ran = false;
  TimerId id = 0;
  id = loop.StartTimer(1, [&] {
    loop.StopTimer(id);
    loop.Post([&] {
      EXPECT_TRUE(callback_done);
      posted_ran = true;
    });
    callback_done = true;
  });
  ASSERT_TRUE(loop.RunUntil([&] { return posted_ran; }, kBound));
}

TEST(MessageLoopPost, AnotherThreadWakesABlockedLoop) {
  MessageLoop& loop = MessageLoop::Current();
  bool ran = false;
  const auto t0 = Steady::now();
  std::thread poster([&loop, &ran] { loop.Post([&ran] { ran = true; }); });
  EXPECT_TRUE(loop.RunUntil([&] { return ran; }, 5000));
  poster.join();
  EXPECT_LT(MsSince(t0), 2500) << "the loop was not woken";

  // Run() ends when a call posted from elsewhere stops it.
  bool timed_out = false;
  TimerId guard = loop.StartTimer(kBound, [&] {  // keeps a broken Stop from hanging the suite
    timed_out = true;
    loop.Stop();
  });
  std::thread stopper([&loop] { loop.Post([&loop] { loop.Stop(); }); });
  loop.Run();
  stopper.join();
  loop.StopTimer(guard);
  EXPECT_FALSE(timed_out);
}

TEST(MessageLoopRun, StopRunForAndRunUntil) {
  MessageLoop& loop = MessageLoop::Current();
  // Stop inside a callback ends Run.
  loop.Post([&] { loop.Stop(); });
  loop.Run();
  // Stop with nothing running is forgotten, not kept for the next run.
  loop.Stop();
  auto t0 = Steady::now();
  loop.RunFor(30);
  EXPECT_GE(MsSince(t0), 30);
  // RunUntil: true once the condition holds, false at the timeout.
  EXPECT_TRUE(loop.RunUntil([] { return true; }, 0));
  t0 = Steady::now();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 20));
  EXPECT_GE(MsSince(t0), 20);
  EXPECT_FALSE(loop.RunPending());
}

TEST(MessageLoopRun, AnExceptionFromACallbackIsReportedAndTheLoopGoesOn) {
  MessageLoop& loop = MessageLoop::Current();
  int ticks = 0;
  bool posted_after = false;
  testing::internal::CaptureStderr();
  TimerId id = loop.StartTimer(1, [&] {
    if (++ticks == 1) throw std::runtime_error("tick went wrong");
  });
  loop.Post([] { throw 42; });
  loop.Post([&] { posted_after = true; });
  bool ok = loop.RunUntil([&] { return ticks >= 3 && posted_after; }, kBound);
  loop.StopTimer(id);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ok);
  EXPECT_NE(err.find("tick went wrong"), std::string::npos) << err;
  EXPECT_NE(err.find("unknown exception"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
}

// The histogram behind the loop's callback figures: each duration lies in a
// bucket whose upper edge is at or above it and within a quarter of it, the
// buckets follow one another without gaps, and the quantile is the nearest rank's.
TEST(CallbackStats, BucketsQuantilesAndLongest) {
  std::int64_t prev_upper = -1;
  for (int b = 0; b < 100; ++b) {
    const std::int64_t upper = CallbackStats::BucketUpperNs(b);
    ASSERT_GT(upper, prev_upper) << b;
    EXPECT_EQ(CallbackStats::Bucket(prev_upper + 1), b) << "first duration of bucket " << b;
    EXPECT_EQ(CallbackStats::Bucket(upper), b) << "last duration of bucket " << b;
    if (b >= 8) {
      EXPECT_LE(upper + 1, (prev_upper + 1) * 5 / 4 + 1) << "bucket " << b << " wider than a quarter";
    }
    prev_upper = upper;
  }
  EXPECT_EQ(CallbackStats::Bucket(-5), 0);
  EXPECT_EQ(CallbackStats::Bucket(INT64_MAX), CallbackStats::kBuckets - 1);

  struct Case {
    std::vector<std::int64_t> ns;
    double q;
    std::int64_t at_least, at_most;
  };
  const std::int64_t ms = 1000000;
  const Case cases[] = {
      {{}, 0.99, 0, 0},                                        // nothing counted
      {{5 * ms}, 0.5, 5 * ms, 5 * ms},                         // capped at the longest
      {{1000, 2000, 3000, 40 * ms}, 0.5, 2000, 2999},          // nearest rank 2 of 4
      {{1000, 2000, 3000, 40 * ms}, 0.99, 40 * ms, 40 * ms},   // rank 4: the longest
      {std::vector<std::int64_t>(99, 10000), 0.99, 10000, 11999},
  };
  for (const Case& c : cases) {
    CallbackStats st;
    for (std::int64_t ns : c.ns) st.Add(ns);
    const std::int64_t q = st.QuantileNs(c.q);
    EXPECT_GE(q, c.at_least) << c.ns.size() << " durations, q " << c.q;
    EXPECT_LE(q, c.at_most) << c.ns.size() << " durations, q " << c.q;
    EXPECT_EQ(st.count, c.ns.size());
  }
}

// Timer ticks and posted calls, even one that throws, are timed from the loop's
// hand-over until they return, and the one running is visible while it runs; a
// reset starts the figures afresh.
TEST(CallbackStats, TheLoopTimesEveryKindOfCallback) {
  MessageLoop& loop = MessageLoop::Current();
  loop.ResetStats();
  auto hold = [](int ms) {
    const auto until = Steady::now() + std::chrono::milliseconds(ms);
    while (Steady::now() < until) {
    }
  };
  int ticks = 0;
  bool posted = false;
  TimerId id = loop.StartTimer(1, [&] {
    if (++ticks == 1) hold(3);
  });
  std::int64_t running_since = 0;
  loop.Post([&] {
    running_since = loop.CallbackRunningSinceNs();
    hold(6);
    posted = true;
  });
  testing::internal::CaptureStderr();
  loop.Post([] { throw std::runtime_error("timed all the same"); });
  ASSERT_TRUE(loop.RunUntil([&] { return ticks >= 2 && posted; }, kBound));
  loop.StopTimer(id);
  testing::internal::GetCapturedStderr();
  const CallbackStats st = loop.Stats();
  EXPECT_GT(running_since, 0);
  EXPECT_LE(running_since, std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count());
  EXPECT_EQ(loop.CallbackRunningSinceNs(), 0) << "no callback runs between turns";
  EXPECT_GE(st.count, 4u);
  EXPECT_GE(st.max_ns, 6 * 1000000);
  EXPECT_GE(st.total_ns, 9 * 1000000);
  EXPECT_GE(st.QuantileNs(1.0), 6 * 1000000);
  loop.ResetStats();
  EXPECT_EQ(loop.Stats().count, 0u);
  EXPECT_EQ(loop.Stats().max_ns, 0);
}

}  // namespace
}  // namespace axg
