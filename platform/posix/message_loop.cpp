// The message loop of a thread on Linux. One level-triggered epoll set holds the
// watched descriptors and an eventfd that wakes the loop for calls posted from
// other threads; the timers wait in a heap ordered by their deadlines on the
// monotonic clock. A loop with nothing due blocks in epoll_wait without a timeout.
//
// Each turn gathers what epoll reports, then delivers the socket notifications,
// the timers that were due when the turn began and the calls posted before it,
// in that order. Every delivery first checks that its watch or timer is still
// the one it was gathered for: a callback may unwatch, close, re-watch or stop
// anything, and nothing removed earlier in the turn is ever called.
#include "platform/message_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/posix/loop_internal.h"

namespace axg {
namespace {

using Steady = std::chrono::steady_clock;
using TimePoint = Steady::time_point;
using std::chrono::milliseconds;

// Descriptors taken from epoll per turn; level triggering reports the rest in the
// next turn, so a large number of busy sockets only spreads over more turns.
constexpr int kMaxEventsPerTurn = 256;

// An exception must not leave the loop: inside the host it would end the process.
// It is reported on one line and the loop carries on with the next delivery.
template <class F>
void Guarded(const char* kind, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ax_gate: message loop: %s callback failed: %s\n", kind, e.what());
  } catch (...) {
    std::fprintf(stderr, "ax_gate: message loop: %s callback failed: unknown exception\n", kind);
  }
}

int TakeSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  // A descriptor that is not a socket (a terminal, say) has no pending error.
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return 0;
  return err;
}

struct Watch {
  int fd = -1;
  unsigned mask = 0;
  SocketCallback cb;
  std::uint32_t interest = 0;  // epoll events registered now; 0 = not in the set
  bool alive = true;           // false once unwatched or replaced
  bool close_delivered = false;
  bool connect_failed = false;  // a failed connect ends all notifications of the watch
};

struct TimerRec {
  unsigned interval_ms = 1;
  std::shared_ptr<std::function<void()>> cb;
  std::uint64_t gen = 0;  // the one heap entry with this generation is live
};

struct Due {
  TimePoint when;
  std::uint64_t seq;  // equal deadlines fire in the order they were armed
  TimerId id;
  std::uint64_t gen;
};

// Orders the heap so that its front is the earliest deadline.
struct Later {
  bool operator()(const Due& a, const Due& b) const {
    return a.when != b.when ? a.when > b.when : a.seq > b.seq;
  }
};

struct Ready {
  std::shared_ptr<Watch> watch;
  std::uint32_t events;
};

class PosixMessageLoop final : public MessageLoop {
 public:
  PosixMessageLoop() : owner_(std::this_thread::get_id()) {
    epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epfd_ < 0) throw SocketError(errno, "epoll_create1");
    wakefd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakefd_ < 0) {
      int err = errno;
      ::close(epfd_);
      throw SocketError(err, "eventfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakefd_;
    if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, wakefd_, &ev) != 0) {
      int err = errno;
      ::close(wakefd_);
      ::close(epfd_);
      throw SocketError(err, "epoll_ctl");
    }
  }

  ~PosixMessageLoop() override {
    for (auto& [fd, w] : watches_) w->alive = false;
    ::close(wakefd_);
    ::close(epfd_);
  }

  void WatchSocket(SocketHandle s, unsigned events, SocketCallback cb) override {
    if (s < 0 || s > INT_MAX) throw SocketError(EBADF, "epoll_ctl");
    auto w = std::make_shared<Watch>();
    w->fd = static_cast<int>(s);
    w->mask = events;
    w->cb = std::move(cb);
    auto it = watches_.find(w->fd);
    if (it != watches_.end()) {
      // Watching again replaces the watch; the epoll registration carries over.
      it->second->alive = false;
      w->interest = it->second->interest;
      it->second = w;
    } else {
      watches_.emplace(w->fd, w);
    }
    if (int err = Apply(*w); err != 0) {
      Forget(w->fd);
      throw SocketError(err, "epoll_ctl");
    }
  }

  void UpdateSocket(SocketHandle s, unsigned events) override {
    auto it = watches_.find(static_cast<int>(s));
    if (s < 0 || s > INT_MAX || it == watches_.end()) return;
    Watch& w = *it->second;
    w.mask = events;
    if (int err = Apply(w); err != 0) throw SocketError(err, "epoll_ctl");
  }

  void UnwatchSocket(SocketHandle s) override {
    if (s < 0 || s > INT_MAX) return;
    Forget(static_cast<int>(s));
  }

  TimerId StartTimer(unsigned interval_ms, std::function<void()> cb) override {
    TimerId id = ++last_timer_id_;
    TimerRec& rec = timers_[id];
    rec.interval_ms = std::max(interval_ms, 1u);  // 0 would fire in every turn
    rec.cb = std::make_shared<std::function<void()>>(std::move(cb));
    Arm(id, rec, Steady::now() + milliseconds(rec.interval_ms));
    return id;
  }

  void StopTimer(TimerId id) override {
    // The heap entry stays behind, stale; it is skipped when it comes up.
    timers_.erase(id);
  }

  void Post(std::function<void()> fn) override {
    if (!fn) return;
    bool was_empty;
    {
      std::lock_guard<std::mutex> lock(posted_mu_);
      was_empty = posted_.empty();
      posted_.push_back(std::move(fn));
    }
    // The loop's own thread looks at the queue before it waits; another thread
    // has to wake it.
    if (was_empty && std::this_thread::get_id() != owner_) Wake();
  }

  void Run() override { RunLoop(std::nullopt, nullptr); }

  void RunFor(unsigned ms) override { RunLoop(Steady::now() + milliseconds(ms), nullptr); }

  bool RunUntil(const std::function<bool()>& done, unsigned timeout_ms) override {
    return RunLoop(Steady::now() + milliseconds(timeout_ms), &done);
  }

  void Stop() override {
    if (depth_.load() == 0) return;  // nothing runs: there is nothing to stop
    stop_.store(true);
    if (std::this_thread::get_id() != owner_) Wake();
  }

  bool RunPending() override { return Turn(0); }

  void Drop(SocketHandle s) noexcept {
    if (s >= 0 && s <= INT_MAX) Forget(static_cast<int>(s));
  }

 private:
  // Every callback is called through here: the guard above, timed for Stats().
  template <class F>
  void Guarded(const char* kind, F&& f) {
    CallbackTiming timing(*this);
    axg::Guarded(kind, std::forward<F>(f));
  }

  // Runs turns until done() holds (true), Stop() is called or the limit passes.
  bool RunLoop(std::optional<TimePoint> limit, const std::function<bool()>* done) {
    struct Depth {
      std::atomic<int>& d;
      explicit Depth(std::atomic<int>& x) : d(x) { ++d; }
      ~Depth() { --d; }
    } depth(depth_);
    for (;;) {
      if (done && (*done)()) return true;
      if (stop_.exchange(false)) return false;
      TimePoint now = Steady::now();
      if (limit && now >= *limit) return false;
      Turn(WaitMs(now, limit));
    }
  }

  // One turn: wait up to timeout_ms (-1: no limit) for something to do, then
  // deliver it. True if any callback ran.
  bool Turn(int timeout_ms) {
    epoll_event events[kMaxEventsPerTurn];
    int n = ::epoll_wait(epfd_, events, kMaxEventsPerTurn, timeout_ms);
    if (n < 0) n = 0;  // EINTR: a signal; the turn simply has nothing from epoll

    std::vector<Ready> ready;
    ready.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == wakefd_) {
        std::uint64_t count;
        while (::read(wakefd_, &count, sizeof(count)) > 0) {
        }
        continue;
      }
      auto it = watches_.find(fd);
      if (it != watches_.end()) ready.push_back({it->second, events[i].events});
    }
    // Calls posted from here on run in the next turn.
    std::deque<std::function<void()>> posted;
    {
      std::lock_guard<std::mutex> lock(posted_mu_);
      posted.swap(posted_);
    }

    bool ran = false;
    for (const Ready& r : ready) ran |= Dispatch(r);
    ran |= FireDueTimers();
    for (auto& fn : posted) {
      Guarded("posted", fn);
      ran = true;
    }
    return ran;
  }

  // Delivers one descriptor's readiness, one event bit at a time, re-checking the
  // watch before each: an earlier callback may have removed or changed it.
  bool Dispatch(const Ready& r) {
    Watch& w = *r.watch;  // r keeps the watch, and so its callback, alive
    if (!w.alive) return false;
    const std::uint32_t ev = r.events;
    const bool connect_due = (w.mask & kSockConnect) && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP));
    const bool close_due =
        (w.mask & kSockClose) && !w.close_delivered && (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR));
    // Reading SO_ERROR clears it, so it is read once, before any callback of this
    // descriptor, and the same value goes with every bit delivered for it.
    const int error = (connect_due || close_due) ? TakeSocketError(w.fd) : 0;
    bool ran = false;
    auto deliver = [&](unsigned bit) {
      ran = true;
      Guarded("socket", [&] {
        if (w.cb) w.cb(bit, error);
      });
    };

    if (connect_due) {
      w.mask &= ~static_cast<unsigned>(kSockConnect);
      if (error != 0) w.connect_failed = true;
      deliver(kSockConnect);
      if (error != 0) {
        if (w.alive) Apply(w);
        return ran;
      }
    }
    if (w.alive && (w.mask & kSockAccept) && (ev & EPOLLIN)) deliver(kSockAccept);
    if (w.alive && (w.mask & kSockRead) && (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
      deliver(kSockRead);
    if (w.alive && (w.mask & kSockWrite) && (ev & (EPOLLOUT | EPOLLERR))) deliver(kSockWrite);
    if (w.alive && (w.mask & kSockClose) && !w.close_delivered && (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
      w.close_delivered = true;
      deliver(kSockClose);
    }
    if (w.alive) Apply(w);  // kSockConnect or kSockClose may have left the interest
    return ran;
  }

  // The timers due when this is called fire in deadline order. Each is re-armed
  // before its callback runs, so that the callback may stop or restart it.
  bool FireDueTimers() {
    const TimePoint now = Steady::now();
    std::vector<Due> due;
    while (!heap_.empty() && heap_.front().when <= now) {
      due.push_back(heap_.front());
      std::pop_heap(heap_.begin(), heap_.end(), Later{});
      heap_.pop_back();
    }
    bool ran = false;
    for (const Due& d : due) {
      auto it = timers_.find(d.id);
      if (it == timers_.end() || it->second.gen != d.gen) continue;  // stopped or restarted
      TimerRec& rec = it->second;
      // The next tick keeps the period; after a stall the missed ticks are dropped
      // rather than fired in a burst.
      TimePoint next = d.when + milliseconds(rec.interval_ms);
      TimePoint t = Steady::now();
      if (next <= t) next = t + milliseconds(rec.interval_ms);
      Arm(d.id, rec, next);
      std::shared_ptr<std::function<void()>> cb = rec.cb;  // rec may go during the call
      ran = true;
      Guarded("timer", [&] {
        if (*cb) (*cb)();
      });
    }
    return ran;
  }

  void Arm(TimerId id, TimerRec& rec, TimePoint when) {
    ++rec.gen;
    heap_.push_back(Due{when, ++seq_, id, rec.gen});
    std::push_heap(heap_.begin(), heap_.end(), Later{});
    // Timers restarted over and over leave stale entries behind; drop them once
    // they outnumber the live ones by far.
    if (heap_.size() > 64 && heap_.size() > 4 * timers_.size()) {
      std::erase_if(heap_, [this](const Due& e) { return !Live(e); });
      std::make_heap(heap_.begin(), heap_.end(), Later{});
    }
  }

  bool Live(const Due& e) const {
    auto it = timers_.find(e.id);
    return it != timers_.end() && it->second.gen == e.gen;
  }

  // How long the next turn may wait: not at all with calls posted, until the
  // earliest live timer or the caller's limit, or without limit.
  int WaitMs(TimePoint now, std::optional<TimePoint> limit) {
    {
      std::lock_guard<std::mutex> lock(posted_mu_);
      if (!posted_.empty()) return 0;
    }
    while (!heap_.empty() && !Live(heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), Later{});
      heap_.pop_back();
    }
    std::optional<TimePoint> until = limit;
    if (!heap_.empty() && (!until || heap_.front().when < *until)) until = heap_.front().when;
    if (!until) return -1;
    if (*until <= now) return 0;
    // Rounded up: waking a little before the deadline would only spin.
    auto ms = std::chrono::ceil<milliseconds>(*until - now).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
  }

  std::uint32_t Interest(const Watch& w) const {
    if (w.connect_failed) return 0;
    std::uint32_t in = 0;
    if (w.mask & (kSockRead | kSockAccept)) in |= EPOLLIN;
    if (w.mask & (kSockWrite | kSockConnect)) in |= EPOLLOUT;
    if ((w.mask & kSockClose) && !w.close_delivered) in |= EPOLLRDHUP;
    return in;
  }

  // Brings the epoll registration in line with the watch. A watch that wants
  // nothing leaves the set altogether: epoll reports hang-ups and errors whatever
  // the mask, and a dead socket left in the set would wake the loop forever.
  // Returns 0 or the errno of the failed epoll_ctl.
  int Apply(Watch& w) {
    const std::uint32_t want = Interest(w);
    if (want == w.interest) return 0;
    epoll_event ev{};
    ev.events = want;
    ev.data.fd = w.fd;
    if (want == 0) {
      ::epoll_ctl(epfd_, EPOLL_CTL_DEL, w.fd, &ev);
      w.interest = 0;
      return 0;
    }
    int op = w.interest == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    int rc = ::epoll_ctl(epfd_, op, w.fd, &ev);
    // The set may know the descriptor when the watch does not and the other way
    // round (a descriptor closed behind the loop's back leaves the set by itself).
    if (rc != 0 && op == EPOLL_CTL_ADD && errno == EEXIST) rc = ::epoll_ctl(epfd_, EPOLL_CTL_MOD, w.fd, &ev);
    if (rc != 0 && op == EPOLL_CTL_MOD && errno == ENOENT) rc = ::epoll_ctl(epfd_, EPOLL_CTL_ADD, w.fd, &ev);
    if (rc != 0) {
      int err = errno;
      w.interest = 0;
      return err;
    }
    w.interest = want;
    return 0;
  }

  void Forget(int fd) noexcept {
    auto it = watches_.find(fd);
    if (it == watches_.end()) return;
    std::shared_ptr<Watch> w = std::move(it->second);
    watches_.erase(it);
    w->alive = false;
    if (w->interest != 0) {
      epoll_event ev{};
      ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, &ev);
    }
  }

  void Wake() {
    std::uint64_t one = 1;
    // A full counter (EAGAIN) already means "wake up".
    [[maybe_unused]] ssize_t rc = ::write(wakefd_, &one, sizeof(one));
  }

  const std::thread::id owner_;
  int epfd_ = -1;
  int wakefd_ = -1;

  std::unordered_map<int, std::shared_ptr<Watch>> watches_;

  std::unordered_map<TimerId, TimerRec> timers_;
  std::vector<Due> heap_;  // a heap under Later
  TimerId last_timer_id_ = 0;
  std::uint64_t seq_ = 0;

  std::mutex posted_mu_;
  std::deque<std::function<void()>> posted_;

  std::atomic<int> depth_{0};
  std::atomic<bool> stop_{false};
};

thread_local std::unique_ptr<PosixMessageLoop> t_loop;

}  // namespace

MessageLoop& MessageLoop::Current() {
  if (!t_loop) t_loop = std::make_unique<PosixMessageLoop>();
  return *t_loop;
}

namespace posix {

void DropSocketWatch(SocketHandle s) noexcept {
  if (t_loop) t_loop->Drop(s);
}

}  // namespace posix
}  // namespace axg
