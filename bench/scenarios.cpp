#include "bench/scenarios.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <new>
#include <random>
#include <string>

#include "bench/bench_os.h"
#include "bench/devices.h"
#include "bench/servers.h"
#include "bench/shared_state.h"
#include "platform/message_loop.h"
#include "tools/devsim/device_stream.h"

namespace axg::bench {

namespace {

constexpr double kTimerIntervalMs = 10.0;  // the controller's sweep interval
constexpr unsigned kConnectTimeoutMs = 120000;

// One server process under test with the memory it shares with this one.
class ServerProc {
 public:
  // files > 0: the server's process may hold only this many descriptors.
  explicit ServerProc(const std::string& kind, bool tick_probe = false, long files = 0) : kind_(kind) {
    shm_ = CreateSharedMemory(sizeof(SharedState));
    state_ = new (shm_.base) SharedState();
    Pipe notes = CreatePipe();
    notes_fd_ = notes.read_fd;
    pid_ = SpawnSelf({"--serve", kind, std::to_string(shm_.fd), std::to_string(notes.write_fd),
                      tick_probe ? "ticks" : "-", "files=" + std::to_string(files)});
    ::close(notes.write_fd);
    ::close(shm_.fd);
    for (int i = 0; i < 1000 && state_->ready.load() == 0 && ChildAlive(pid_); ++i) SleepMs(10);
    ok_ = state_->ready.load() == 1;
    if (!ok_) {
      std::fprintf(stderr,
                   "axg_bench: the %s server did not start listening (port %u). The full stack needs\n"
                   "port 1001: run inside a private network namespace, e.g.\n"
                   "  unshare -rn sh -c 'ip link set lo up && exec \"$@\"' - build-bench/bin/axg_bench\n",
                   kind.c_str(), unsigned(kind == "full" ? kFullPort : kFloorPort));
    }
    SleepMs(200);  // let it settle before anything is measured
  }
  ~ServerProc() {
    StopChild(pid_);
    ::close(notes_fd_);
    ::munmap(shm_.base, shm_.size);
  }
  ServerProc(const ServerProc&) = delete;
  ServerProc& operator=(const ServerProc&) = delete;

  bool Ok() const { return ok_; }
  bool Alive() const { return ChildAlive(pid_); }
  pid_t Pid() const { return pid_; }
  SharedState& State() { return *state_; }
  int NotesFd() const { return notes_fd_; }

 private:
  std::string kind_;
  SharedMemory shm_;
  SharedState* state_ = nullptr;
  int notes_fd_ = -1;
  pid_t pid_ = -1;
  bool ok_ = false;
};

// Reads the end-of-request notes of a server as they come.
class NoteReader {
 public:
  NoteReader(int fd, std::function<void(const EndNote&)> on_note) : fd_(fd), on_note_(std::move(on_note)) {
    MessageLoop::Current().WatchSocket(fd_, kSockRead, [this](unsigned, int) { Read(); });
  }
  ~NoteReader() { MessageLoop::Current().UnwatchSocket(fd_); }
  NoteReader(const NoteReader&) = delete;
  NoteReader& operator=(const NoteReader&) = delete;

 private:
  void Read() {
    carry_ += ReadAvailable(fd_);
    std::size_t at = 0;
    for (; carry_.size() - at >= sizeof(EndNote); at += sizeof(EndNote)) {
      EndNote n;
      std::memcpy(&n, carry_.data() + at, sizeof n);
      on_note_(n);
    }
    carry_.erase(0, at);
  }
  int fd_;
  std::function<void(const EndNote&)> on_note_;
  std::string carry_;
};

// A callback once, after ms milliseconds.
class OneShot {
 public:
  ~OneShot() { Cancel(); }
  void Arm(unsigned ms, std::function<void()> fn) {
    Cancel();
    id_ = MessageLoop::Current().StartTimer(ms, [this, fn = std::move(fn)] {
      Cancel();
      fn();
    });
  }
  void Cancel() {
    if (id_) MessageLoop::Current().StopTimer(id_);
    id_ = 0;
  }

 private:
  TimerId id_ = 0;
};

std::string CardNumber(int index, int seq) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%06d", index % 10000, seq % 1000000);
  return buf;
}

std::string PassLines(const std::string& id) { return devsim::RelayReportLine(id) + devsim::PassDoneLine(id); }

}  // namespace

// The sweep as the controller runs it, with every other delay taken as zero: a
// pass visits the entries in order, going on past the ones it drops; the host's
// answer, the device's reports and the next card all arrive between passes. A
// request needs three visits (new, answered, finished), so a device completes
// a request every third pass at best.
double SweepModelFraction(int devices) {
  enum S { kNew, kWait, kTrue, kOpen, kFinish };
  std::vector<S> stack(static_cast<std::size_t>(devices), kNew);
  const int passes = 20000;
  int dropped = 0;
  for (int p = 0; p < passes; ++p) {
    std::size_t cards = 0;
    for (std::size_t i = 0; i < stack.size();) {
      if (stack[i] == kFinish) {
        stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(i));
        ++cards;  // that device's next card, after the pass
        ++dropped;
        continue;
      }
      if (stack[i] == kNew) stack[i] = kWait;
      else if (stack[i] == kTrue) stack[i] = kOpen;
      ++i;
    }
    stack.insert(stack.end(), cards, kNew);
    for (S& s : stack) {
      if (s == kWait) s = kTrue;       // GateOpen between passes
      else if (s == kOpen) s = kFinish;  // the device reports the pass
    }
  }
  return static_cast<double>(dropped) / passes;
}

namespace {

// ---------------------------------------------------------------- ingest

// Keeps `window` lines on their way to one server: as the server reports lines
// handled, the devices send more, in turn, `batch` lines at a time (keep-alives
// and "#" relay reports alternating). The server is never without work and the
// backlog it is left with at the end stays small.
class IngestDriver {
 public:
  IngestDriver(DeviceSet& devs, SharedState& st, int window, int batch)
      : devs_(devs), st_(st), window_(window), batch_(batch), base_(st.lines.load()) {
    for (int i = 0; i < devs.Size(); ++i) {
      std::string block;
      for (int k = 0; k < batch; ++k)
        block += (i + k) % 2 ? devsim::RelayReportLine(devs[i].id) : devsim::PingLine(devs[i].id);
      blocks_.push_back(block);
    }
  }
  std::uint64_t Handled() const { return st_.lines.load() - base_; }
  std::uint64_t Sent() const { return sent_; }
  void Refill() {
    const int n = devs_.Size();
    int skipped = 0;
    while (sent_ - std::min(sent_, Handled()) + static_cast<std::uint64_t>(batch_) <=
           static_cast<std::uint64_t>(window_)) {
      Device& d = devs_[next_];
      next_ = (next_ + 1) % n;
      if (!devs_.CanSend(d)) {
        if (++skipped > n) break;
        continue;
      }
      skipped = 0;
      devs_.Send(d, blocks_[static_cast<std::size_t>(d.index)]);
      sent_ += static_cast<std::uint64_t>(batch_);
    }
  }

 private:
  DeviceSet& devs_;
  SharedState& st_;
  int window_, batch_;
  std::uint64_t base_;
  std::uint64_t sent_ = 0;
  int next_ = 0;
  std::vector<std::string> blocks_;
};

struct PhaseResult {
  double lines_per_s = 0;
  std::uint64_t lines = 0;
  std::int64_t user_ns = 0, sys_ns = 0;
  std::uint64_t events = 0, lost = 0;
};

PhaseResult MeasureIngest(DeviceSet& devs, SharedState& st, pid_t server, const Options& o) {
  MessageLoop& loop = MessageLoop::Current();
  const int k = devs.Size();
  const int window = 512;
  const int batch = std::clamp(window / (2 * k), 1, 16);
  IngestDriver driver(devs, st, window, batch);
  TimerId refill = loop.StartTimer(1, [&] { driver.Refill(); });
  TimerId drain = loop.StartTimer(50, [&] { devs.Drain(); });
  driver.Refill();
  loop.RunFor(300);  // warm up
  const std::uint64_t l0 = driver.Handled(), e0 = st.events.load(), x0 = st.lost.load();
  const ProcessStats p0 = ReadProcessStats(server);
  const std::int64_t t0 = NowNs();
  loop.RunFor(static_cast<unsigned>(o.ingest_ms));
  const std::uint64_t l1 = driver.Handled(), e1 = st.events.load(), x1 = st.lost.load();
  const ProcessStats p1 = ReadProcessStats(server);
  const std::int64_t t1 = NowNs();
  loop.StopTimer(refill);
  // The lines still on their way are handled before the other server's turn.
  loop.RunUntil([&] { return driver.Handled() >= driver.Sent(); }, 30000);
  loop.StopTimer(drain);
  devs.Drain();
  PhaseResult r;
  r.lines_per_s = static_cast<double>(l1 - l0) * 1e9 / static_cast<double>(t1 - t0);
  r.lines = l1 - l0;
  r.user_ns = p1.user_ns - p0.user_ns;
  r.sys_ns = p1.system_ns - p0.system_ns;
  r.events = e1 - e0;
  r.lost = x1 - x0;
  return r;
}

}  // namespace

Percentiles Summarise(std::vector<std::int64_t> ns) {
  Percentiles p;
  p.samples = static_cast<int>(ns.size());
  if (ns.empty()) return p;
  std::sort(ns.begin(), ns.end());
  auto rank = [&](double q) {
    std::size_t r = static_cast<std::size_t>(std::ceil(q * static_cast<double>(ns.size())));
    r = std::clamp<std::size_t>(r, 1, ns.size());
    return static_cast<double>(ns[r - 1]) / 1e6;
  };
  p.p50_ms = rank(0.5);
  p.p99_ms = rank(0.99);
  p.max_ms = static_cast<double>(ns.back()) / 1e6;
  return p;
}

void RunIngest(const Options& o, Results& r) {
  std::printf("ingest: lines per second, full stack against its floor ...\n");
  std::fflush(stdout);
  ServerProc full("full"), floor("floor");
  if (!full.Ok() || !floor.Ok()) {
    r.errors.push_back("ingest: a server did not start");
    return;
  }
  MessageLoop& loop = MessageLoop::Current();
  for (int k : o.ingest_devices) {
    DeviceSet to_floor("127.0.0.1", kFloorPort, k), to_full("127.0.0.1", kFullPort, k);
    if (!to_floor.ConnectAll(kConnectTimeoutMs) || !to_full.ConnectAll(kConnectTimeoutMs)) {
      r.errors.push_back("ingest: not every device connected at K=" + std::to_string(k));
      continue;
    }
    to_floor.SetReading(false);
    to_full.SetReading(false);
    IngestResult res;
    res.devices = k;
    double floor_sum = 0, full_sum = 0;
    PhaseResult floor_all, full_all;
    auto add = [](PhaseResult& to, const PhaseResult& p) {
      to.lines += p.lines;
      to.user_ns += p.user_ns;
      to.sys_ns += p.sys_ns;
    };
    for (int round = 0; round < o.ingest_rounds; ++round) {
      PhaseResult l = MeasureIngest(to_floor, floor.State(), floor.Pid(), o);
      floor_sum += l.lines_per_s;
      add(floor_all, l);
      PhaseResult f = MeasureIngest(to_full, full.State(), full.Pid(), o);
      full_sum += f.lines_per_s;
      add(full_all, f);
      res.host_events += f.events;
      res.host_events_lost += f.lost;
    }
    auto per_line_us = [](std::int64_t ns, std::uint64_t lines) {
      return lines ? static_cast<double>(ns) / 1e3 / static_cast<double>(lines) : 0.0;
    };
    res.full_user_us = per_line_us(full_all.user_ns, full_all.lines);
    res.full_sys_us = per_line_us(full_all.sys_ns, full_all.lines);
    res.floor_user_us = per_line_us(floor_all.user_ns, floor_all.lines);
    res.floor_sys_us = per_line_us(floor_all.sys_ns, floor_all.lines);
    res.floor_lines_per_s = floor_sum / o.ingest_rounds;
    res.full_lines_per_s = full_sum / o.ingest_rounds;
    res.ratio = res.floor_lines_per_s > 0 ? res.full_lines_per_s / res.floor_lines_per_s : 0;
    if (to_full.Closed() || to_floor.Closed())
      res.note = std::to_string(to_full.Closed()) + " full / " + std::to_string(to_floor.Closed()) +
                 " floor connections closed by the server";
    r.ingest.push_back(res);
    std::printf("  K=%-5d full %10.0f  floor %10.0f  ratio %.2f  (CPU per line: full %.1f+%.1f us, floor %.1f+%.1f us)\n",
                k, res.full_lines_per_s, res.floor_lines_per_s, res.ratio, res.full_user_us, res.full_sys_us,
                res.floor_user_us, res.floor_sys_us);
    std::fflush(stdout);
    to_full.CloseAll();
    to_floor.CloseAll();
    loop.RunFor(500);
  }
  if (!full.Alive()) r.errors.push_back("ingest: the add-in's process died");
}

// ------------------------------------------------------------ card roads

void RunCards(const Options& o, Results& r) {
  std::printf("card throughput: closed-loop card roads ...\n");
  std::fflush(stdout);
  ServerProc full("full", true);
  if (!full.Ok()) {
    r.errors.push_back("cards: the add-in did not start");
    return;
  }
  MessageLoop& loop = MessageLoop::Current();
  SharedState& st = full.State();
  for (int k : o.card_devices) {
    DeviceSet devs("127.0.0.1", kFullPort, k);
    if (!devs.ConnectAll(kConnectTimeoutMs)) {
      r.errors.push_back("cards: not every device connected at K=" + std::to_string(k));
      continue;
    }
    auto sum = [&](auto field) {
      std::uint64_t s = 0;
      for (int i = 0; i < k; ++i) s += (st.dev[i].*field).load();
      return s;
    };
    const std::uint64_t req0 = sum(&DeviceSlot::requests), fin0 = sum(&DeviceSlot::finished),
                        to0 = sum(&DeviceSlot::timeouts), na0 = sum(&DeviceSlot::noanswer),
                        lost0 = st.lost.load();
    std::vector<int> seq(static_cast<std::size_t>(k), 0);
    std::vector<char> outstanding(static_cast<std::size_t>(k), 0);
    std::uint64_t presented = 0;
    bool running = true;
    auto present = [&](int i) {
      Device& d = devs[i];
      if (devs.Send(d, devsim::CardRequestLine(d.id, CardNumber(i, seq[static_cast<std::size_t>(i)]++)))) {
        ++presented;
        outstanding[static_cast<std::size_t>(i)] = 1;
      }
    };
    for (int i = 0; i < k; ++i) {
      st.dev[i].answer.store(1);
      devs[i].on_go = [&devs](Device& d, std::int64_t) { devs.Send(d, PassLines(d.id)); };
    }
    NoteReader notes(full.NotesFd(), [&](const EndNote& n) {
      if (n.index >= k) return;
      outstanding[n.index] = 0;
      if (running) present(n.index);
    });
    for (int i = 0; i < k; ++i) present(i);
    loop.RunFor(1000);  // the pipeline fills
    const std::uint64_t f0 = sum(&DeviceSlot::finished), ticks0 = st.ticks.load();
    const std::int64_t t0 = NowNs();
    loop.RunFor(static_cast<unsigned>(o.card_seconds * 1000));
    const std::uint64_t f1 = sum(&DeviceSlot::finished), ticks1 = st.ticks.load();
    const std::int64_t t1 = NowNs();
    running = false;
    loop.RunUntil([&] { return std::none_of(outstanding.begin(), outstanding.end(), [](char c) { return c; }); },
                  20000);

    CardResult res;
    res.devices = k;
    res.completed_per_s = static_cast<double>(f1 - f0) * 1e9 / static_cast<double>(t1 - t0);
    res.model_fraction = SweepModelFraction(k);
    res.bound_per_s = res.model_fraction * 1000.0 / kTimerIntervalMs;
    res.fraction = res.completed_per_s / res.bound_per_s;
    res.ticks_per_s = static_cast<double>(ticks1 - ticks0) * 1e9 / static_cast<double>(t1 - t0);
    res.presented = presented;
    res.requests = sum(&DeviceSlot::requests) - req0;
    res.finished = sum(&DeviceSlot::finished) - fin0;
    res.other_end = sum(&DeviceSlot::timeouts) - to0 + sum(&DeviceSlot::noanswer) - na0;
    res.lost = presented - std::min<std::uint64_t>(presented, res.finished + res.other_end);
    res.host_events_lost = st.lost.load() - lost0;
    r.cards.push_back(res);
    std::printf("  K=%-4d %7.1f requests/s of %.0f (%.0f %%; ticks %.1f/s; sweep model %.2f a pass), presented %llu, finished %llu, other %llu, lost %llu\n",
                k, res.completed_per_s, res.bound_per_s, res.fraction * 100, res.ticks_per_s, res.model_fraction,
                static_cast<unsigned long long>(res.presented), static_cast<unsigned long long>(res.finished),
                static_cast<unsigned long long>(res.other_end), static_cast<unsigned long long>(res.lost));
    std::fflush(stdout);
    for (int i = 0; i < k; ++i) {
      st.dev[i].answer.store(0);
      devs[i].on_go = nullptr;
    }
    devs.CloseAll();
    loop.RunFor(300);
  }
  if (!full.Alive()) r.errors.push_back("cards: the add-in's process died");
}

// --------------------------------------------------------------- latency

void RunLatency(const Options& o, Results& r) {
  std::printf("latency: card -> decision request, GateOpen -> GO frame ...\n");
  std::fflush(stdout);
  ServerProc full("full", true);
  if (!full.Ok()) {
    r.errors.push_back("latency: the add-in did not start");
    return;
  }
  MessageLoop& loop = MessageLoop::Current();
  SharedState& st = full.State();
  int seq = 0;
  for (int n : o.latency_devices) {
    DeviceSet devs("127.0.0.1", kFullPort, n);
    if (!devs.ConnectAll(kConnectTimeoutMs)) {
      r.errors.push_back("latency: not every device connected at N=" + std::to_string(n));
      continue;
    }
    // Only the probe reads as frames come; the others hold what they receive,
    // except the last: the "test" text reaches it last of all, so once it has
    // one for every line sent, the server has finished with those lines.
    for (int i = 1; i < n - 1; ++i) devs.SetReading(devs[i], false);
    Device& probe = devs[0];
    Device& last = devs[n - 1];
    const std::uint64_t last_base = last.rx_bytes;
    std::uint64_t lines_sent = 0;
    auto server_idle = [&] { return n == 1 || last.rx_bytes >= last_base + 6 * lines_sent; };
    DeviceSlot& slot = st.dev[0];
    slot.answer.store(1);
    if (n > 1) st.dev[1].answer.store(0);  // the keeper's requests wait unanswered

    std::vector<std::int64_t> card_off, card_on, go;
    LatencyResult res;
    res.devices = n;
    int phase = 0;  // 0: timer off between requests, 1: kept on by the keeper
    int taken = 0;
    std::int64_t sent_ns = 0;
    bool in_flight = false;
    OneShot next, watchdog;
    int stalls = 0;

    std::function<void()> present = [&] {
      sent_ns = NowNs();
      in_flight = true;
      ++lines_sent;
      devs.Send(probe, devsim::CardRequestLine(probe.id, CardNumber(0, seq++)));
      watchdog.Arm(3000, [&] {
        ++stalls;  // no GO or no end in time: start over
        in_flight = false;
        next.Arm(50, present);
      });
    };
    probe.on_go = [&](Device& d, std::int64_t now) {
      const std::int64_t check = slot.check_ns.load();
      const bool timer_on = slot.stack_at_check.load() > 1;
      if (timer_on != (phase == 1)) ++res.misclassified;
      (timer_on ? card_on : card_off).push_back(check - sent_ns);
      go.push_back(now - slot.gateopen_ns.load());
      ++taken;
      lines_sent += 2;
      devs.Send(d, PassLines(d.id));
    };
    OneShot idle_wait;
    std::function<void()> when_idle = [&] {
      if (!server_idle()) return idle_wait.Arm(1, when_idle);
      // With the timer off, the pass after the drop has to find the stack empty.
      next.Arm(phase == 0 ? 30 : 3, present);
    };
    NoteReader notes(full.NotesFd(), [&](const EndNote& e) {
      if (e.index != 0 || !in_flight) return;
      in_flight = false;
      watchdog.Cancel();
      when_idle();
    });
    const int want = o.latency_samples;
    const std::uint64_t first_tick = st.ticks.load();
    present();
    loop.RunUntil([&] { return taken >= want; }, static_cast<unsigned>(want) * 200 + 10000);
    loop.RunUntil([&] { return !in_flight; }, 3000);
    next.Cancel();
    idle_wait.Cancel();
    watchdog.Cancel();

    if (n > 1) {
      // The keeper presents a card every half second; its entry waits unanswered
      // until it times out, so the stack is never empty for long.
      Device& keeper = devs[1];
      auto keep_card = [&] {
        ++lines_sent;
        devs.Send(keeper, devsim::CardRequestLine(keeper.id, CardNumber(1, seq++)));
      };
      TimerId keep = loop.StartTimer(500, keep_card);
      keep_card();
      loop.RunFor(100);
      phase = 1;
      taken = 0;
      present();
      loop.RunUntil([&] { return taken >= want; }, static_cast<unsigned>(want) * 100 + 10000);
      loop.RunUntil([&] { return !in_flight; }, 3000);
      next.Cancel();
      idle_wait.Cancel();
      watchdog.Cancel();
      loop.StopTimer(keep);
    }
    // The probe timer's intervals over the run (the newest ring's worth).
    std::vector<std::int64_t> intervals;
    const std::uint64_t last_tick = st.ticks.load(std::memory_order_acquire);
    for (std::uint64_t t = std::max<std::uint64_t>(first_tick + 1, last_tick > kTickRing ? last_tick - kTickRing + 1 : 1);
         t < last_tick; ++t)
      intervals.push_back(st.tick_ns[t % kTickRing].load() - st.tick_ns[(t - 1) % kTickRing].load());
    res.tick_interval = Summarise(intervals);
    res.card_timer_off = Summarise(card_off);
    res.card_timer_on = Summarise(card_on);
    res.go_frame = Summarise(go);
    r.latency.push_back(res);
    if (stalls) r.errors.push_back("latency: " + std::to_string(stalls) + " request(s) stalled at N=" + std::to_string(n));
    std::printf("  N=%-5d card->request off p50 %.2f p99 %.2f | on p50 %.2f p99 %.2f | GateOpen->GO p50 %.2f p99 %.2f | "
                "10 ms timer interval p50 %.2f p99 %.2f ms\n",
                n, res.card_timer_off.p50_ms, res.card_timer_off.p99_ms, res.card_timer_on.p50_ms,
                res.card_timer_on.p99_ms, res.go_frame.p50_ms, res.go_frame.p99_ms, res.tick_interval.p50_ms,
                res.tick_interval.p99_ms);
    std::fflush(stdout);
    probe.on_go = nullptr;
    slot.answer.store(0);
    devs.CloseAll();
    // The keeper's last entry times out on its own; wait for an empty stack.
    loop.RunFor(n > 1 ? 8000 : 300);
  }
  if (!full.Alive()) r.errors.push_back("latency: the add-in's process died");
}

// ------------------------------------------------------------- footprint

void RunFootprint(const Options& o, Results& r) {
  std::printf("footprint: memory per device, idle CPU over %d s ...\n", o.idle_seconds);
  std::fflush(stdout);
  ServerProc full("full"), floor("floor");
  if (!full.Ok() || !floor.Ok()) {
    r.errors.push_back("footprint: a server did not start");
    return;
  }
  MessageLoop& loop = MessageLoop::Current();
  const int n = o.footprint_devices;
  const ProcessStats full0 = ReadProcessStats(full.Pid()), floor0 = ReadProcessStats(floor.Pid());
  DeviceSet to_full("127.0.0.1", kFullPort, n), to_floor("127.0.0.1", kFloorPort, n);
  if (!to_full.ConnectAll(kConnectTimeoutMs) || !to_floor.ConnectAll(kConnectTimeoutMs)) {
    r.errors.push_back("footprint: not every device connected");
    return;
  }
  loop.RunFor(500);
  const ProcessStats full1 = ReadProcessStats(full.Pid()), floor1 = ReadProcessStats(floor.Pid());
  // Idle: nobody sends anything; this process only sleeps.
  SleepMs(o.idle_seconds * 1000);
  const ProcessStats full2 = ReadProcessStats(full.Pid()), floor2 = ReadProcessStats(floor.Pid());

  FootprintResult res;
  res.devices = n;
  res.full_rss_per_device_kib = static_cast<double>(full1.rss_kib - full0.rss_kib) / n;
  res.floor_rss_per_device_kib = static_cast<double>(floor1.rss_kib - floor0.rss_kib) / n;
  res.full_rss_idle_kib = full1.rss_kib;
  res.floor_rss_idle_kib = floor1.rss_kib;
  res.idle_seconds = o.idle_seconds;
  const double window_ns = o.idle_seconds * 1e9;
  res.full_cpu_percent = static_cast<double>(full2.cpu_ns - full1.cpu_ns) * 100.0 / window_ns;
  res.floor_cpu_percent = static_cast<double>(floor2.cpu_ns - floor1.cpu_ns) * 100.0 / window_ns;
  res.full_wakeups = full2.voluntary_switches - full1.voluntary_switches;
  res.floor_wakeups = floor2.voluntary_switches - floor1.voluntary_switches;

  // Everyone leaves right after a line, before the broadcast it set off has gone
  // out to the others: once the add-in has seen them go, its thread sleeps.
  to_full.Send(to_full[0], devsim::PingLine(to_full[0].id));
  to_full.CloseAll();
  to_floor.CloseAll();
  loop.RunFor(300);
  const ProcessStats full3 = ReadProcessStats(full.Pid());
  SleepMs(kGoneSeconds * 1000);
  res.full_wakeups_gone = ReadProcessStats(full.Pid()).voluntary_switches - full3.voluntary_switches;
  r.footprint.push_back(res);
  std::printf("  %d devices: full %.2f KiB/device, floor %.2f KiB/device; idle CPU full %.4f %% (%ld wakeups), floor %.4f %% (%ld wakeups); "
              "%ld wakeups in %d s after the last device left\n",
              n, res.full_rss_per_device_kib, res.floor_rss_per_device_kib, res.full_cpu_percent, res.full_wakeups,
              res.floor_cpu_percent, res.floor_wakeups, res.full_wakeups_gone, kGoneSeconds);
  std::fflush(stdout);
  if (!full.Alive()) r.errors.push_back("footprint: the add-in's process died");
}


// ------------------------------------------------------- load scenarios

namespace {

// The add-in's callback durations as its loop publishes them at every tick of
// the probe timer, read after the next tick (waited for up to wait_ms), so that
// every callback that has returned is in them. A callback that has not returned
// by then is reported with its age, a lower bound of its length. A loop that
// does not tick although no callback runs is in a long turn of many callbacks:
// the figures are those from before it, and how long it has lasted is reported.
CallbackFigures ReadCallbacks(SharedState& st, unsigned wait_ms) {
  const std::uint64_t asked = st.ticks.load(std::memory_order_acquire);
  MessageLoop::Current().RunUntil([&] { return st.ticks.load(std::memory_order_acquire) > asked; }, wait_ms);
  CallbackFigures f;
  const std::uint64_t ticks = st.ticks.load(std::memory_order_acquire);
  CallbackStats cs;
  cs.count = st.loop.count.load(std::memory_order_acquire);
  cs.max_ns = st.loop.max_ns.load(std::memory_order_relaxed);
  for (int b = 0; b < CallbackStats::kBuckets; ++b)
    cs.histogram[static_cast<std::size_t>(b)] = st.loop.histogram[b].load(std::memory_order_relaxed);
  f.read = ticks > 0;
  f.callbacks = cs.count;
  f.max_ms = static_cast<double>(cs.max_ns) / 1e6;
  f.p99_ms = static_cast<double>(cs.QuantileNs(0.99)) / 1e6;
  if (ticks > 0 && ticks == asked) {
    const std::int64_t now = NowNs();
    const std::int64_t since = st.loop.running_since_ns.load(std::memory_order_relaxed);
    if (since > 0) f.running_ms = std::max(0.0, static_cast<double>(now - since) / 1e6);
    const std::int64_t last = st.tick_ns[(ticks - 1) % kTickRing].load(std::memory_order_relaxed);
    f.stalled_ms = std::max(0.0, static_cast<double>(now - last) / 1e6 - kTimerIntervalMs);
  }
  return f;
}

// Asks the server to start its callback figures afresh; false when its loop did
// not get round to it in time.
bool ResetCallbacks(SharedState& st, unsigned timeout_ms) {
  st.loop.reset.store(1, std::memory_order_release);
  return MessageLoop::Current().RunUntil([&] { return st.loop.reset.load(std::memory_order_acquire) == 0; },
                                         timeout_ms);
}

// The answered requests' times and, for those still unanswered at `now`, their
// age then: a lower bound of what they would have waited.
AnswerTimes Answers(const std::vector<std::int64_t>& answered, const std::deque<std::int64_t>& pending, int sent,
                    std::int64_t now) {
  AnswerTimes a;
  std::vector<std::int64_t> all = answered;
  for (std::int64_t t : pending) all.push_back(now - t);
  a.p = Summarise(all);
  a.sent = sent;
  a.answered = static_cast<int>(answered.size());
  return a;
}

double CpuPercent(const ProcessStats& a, const ProcessStats& b, std::int64_t t0, std::int64_t t1) {
  return t1 > t0 ? static_cast<double>(b.cpu_ns - a.cpu_ns) * 100.0 / static_cast<double>(t1 - t0) : 0;
}

// A well-behaved controller: a keep-alive every ping_ms and, with card_ms, a card
// at every card_ms unless its previous card still waits for its GO. A GO is
// followed by the relay report and the finished pass, as a turnstile does.
class Probe {
 public:
  Probe(DeviceSet& devs, Device& d) : devs_(devs), d_(d), loop_(MessageLoop::Current()) {
    d_.on_echo = [this](Device&, std::int64_t now) {
      if (pings_.empty()) return;
      echo_.push_back(now - pings_.front());
      pings_.pop_front();
    };
    d_.on_go = [this](Device& d, std::int64_t now) {
      if (!card_out_) return;
      go_.push_back(now - card_sent_);
      card_out_ = false;
      devs_.Send(d, PassLines(d.id));
    };
  }
  ~Probe() {
    StopSending();
    d_.on_echo = nullptr;
    d_.on_go = nullptr;
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  void Start(unsigned ping_ms, unsigned card_ms) {
    ping_timer_ = loop_.StartTimer(ping_ms, [this] { Ping(); });
    if (card_ms > 0) card_timer_ = loop_.StartTimer(card_ms, [this] { Card(); });
  }
  void StopSending() {
    if (ping_timer_) loop_.StopTimer(ping_timer_);
    if (card_timer_) loop_.StopTimer(card_timer_);
    ping_timer_ = card_timer_ = 0;
  }
  bool Settled() const { return pings_.empty() && !card_out_; }
  AnswerTimes Echo(std::int64_t now) const { return Answers(echo_, pings_, pings_sent_, now); }
  AnswerTimes CardGo(std::int64_t now) const {
    std::deque<std::int64_t> out;
    if (card_out_) out.push_back(card_sent_);
    return Answers(go_, out, cards_, now);
  }
  int Cards() const { return cards_; }
  int Skipped() const { return skipped_; }

 private:
  void Ping() {
    pings_.push_back(NowNs());
    ++pings_sent_;
    devs_.Send(d_, devsim::PingLine(d_.id));
  }
  void Card() {
    if (card_out_) {
      ++skipped_;
      return;
    }
    card_out_ = true;
    card_sent_ = NowNs();
    ++cards_;
    devs_.Send(d_, devsim::CardRequestLine(d_.id, CardNumber(d_.index, seq_++)));
  }

  DeviceSet& devs_;
  Device& d_;
  MessageLoop& loop_;
  TimerId ping_timer_ = 0, card_timer_ = 0;
  std::deque<std::int64_t> pings_;  // send times of keep-alives not yet answered
  std::vector<std::int64_t> echo_, go_;
  int pings_sent_ = 0;
  bool card_out_ = false;
  std::int64_t card_sent_ = 0;
  int cards_ = 0, skipped_ = 0, seq_ = 0;
};

// A peer that keeps its socket full of blank lines and reads (and drops)
// whatever comes back, so that nothing on its side slows the flood down.
class Flooder {
 public:
  Flooder(DeviceSet& devs, Device& d) : devs_(devs), d_(d), block_(64 * 1024, '\n') {
    for (std::size_t i = 0; i < block_.size(); i += 2) block_[i] = '\r';
  }
  ~Flooder() { Stop(); }
  Flooder(const Flooder&) = delete;
  Flooder& operator=(const Flooder&) = delete;

  void Start() {
    Refill();
    timer_ = MessageLoop::Current().StartTimer(1, [this] { Refill(); });
  }
  void Stop() {
    if (timer_) MessageLoop::Current().StopTimer(timer_);
    timer_ = 0;
  }
  // Blank lines the socket took so far.
  std::uint64_t Lines() const { return (queued_ - std::min<std::uint64_t>(queued_, d_.tx.size())) / 2; }
  // Of those, the lines the server has read (what neither socket holds any more);
  // -1 when the system does not tell.
  long long LinesRead(std::uint16_t server_port) const {
    const SocketAddress me = SocketLocalAddress(d_.s);
    TcpQueues mine, theirs;
    if (!ReadTcpQueues(me.addr, me.port, "127.0.0.1", server_port, &mine) ||
        !ReadTcpQueues("127.0.0.1", server_port, me.addr, me.port, &theirs))
      return -1;
    const long long taken = static_cast<long long>(queued_ - std::min<std::uint64_t>(queued_, d_.tx.size()));
    return std::max(0LL, taken - mine.tx - theirs.rx) / 2;
  }

 private:
  void Refill() {
    if (d_.tx.size() >= block_.size() || !devs_.Send(d_, block_)) return;
    queued_ += block_.size();
  }
  DeviceSet& devs_;
  Device& d_;
  std::string block_;
  TimerId timer_ = 0;
  std::uint64_t queued_ = 0;
};

// Devices that each send a line (a keep-alive unless told otherwise) `rate`
// times a second, every one at its own random phase within the interval; a
// device that falls behind skips the lost sends rather than catching up in a burst.
class Pacer {
 public:
  using LineOf = std::function<std::string(Device&)>;
  explicit Pacer(DeviceSet& devs, LineOf line = [](Device& d) { return devsim::PingLine(d.id); })
      : devs_(devs), line_(std::move(line)), due_(static_cast<std::size_t>(devs.Size())) {}
  ~Pacer() { Stop(); }
  Pacer(const Pacer&) = delete;
  Pacer& operator=(const Pacer&) = delete;

  void Start(double rate, std::uint64_t seed, unsigned tick_ms = 2) {
    interval_ = static_cast<std::int64_t>(1e9 / rate);
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<std::int64_t> phase(0, interval_ - 1);
    const std::int64_t now = NowNs();
    for (auto& d : due_) d = now + phase(rng);
    timer_ = MessageLoop::Current().StartTimer(tick_ms, [this] { Tick(); });
  }
  void Stop() {
    if (timer_) MessageLoop::Current().StopTimer(timer_);
    timer_ = 0;
  }
  std::uint64_t Lines() const { return lines_; }

 private:
  void Tick() {
    const std::int64_t now = NowNs();
    for (int i = 0; i < devs_.Size(); ++i) {
      std::int64_t& due = due_[static_cast<std::size_t>(i)];
      if (due > now) continue;
      Device& d = devs_[i];
      if (devs_.Send(d, line_(d))) ++lines_;
      due += interval_;
      if (due <= now) due = now + interval_;
    }
  }
  DeviceSet& devs_;
  LineOf line_;
  std::vector<std::int64_t> due_;
  std::int64_t interval_ = 1;
  TimerId timer_ = 0;
  std::uint64_t lines_ = 0;
};

}  // namespace

void RunFlood(const Options& o, Results& r) {
  std::printf("flood: one peer sends blank lines as fast as it can for %d s, %d connections never read, one\n"
              "  controller pings every 100 ms and presents a card every second ...\n",
              o.flood_seconds, o.flood_idle);
  std::fflush(stdout);
  ServerProc full("full", true);
  if (!full.Ok()) {
    r.errors.push_back("flood: the add-in did not start");
    return;
  }
  MessageLoop& loop = MessageLoop::Current();
  SharedState& st = full.State();
  DeviceSet good("127.0.0.1", kFullPort, 1, 0);
  DeviceSet idle("127.0.0.1", kFullPort, o.flood_idle, 1);
  DeviceSet flood("127.0.0.1", kFullPort, 1, o.flood_idle + 1);
  if (!good.ConnectAll(kConnectTimeoutMs) || !idle.ConnectAll(kConnectTimeoutMs) ||
      !flood.ConnectAll(kConnectTimeoutMs)) {
    r.errors.push_back("flood: not every connection came up");
    return;
  }
  idle.SetReading(false);
  DeviceSlot& slot = st.dev[0];
  slot.answer.store(1);
  const std::uint64_t req0 = slot.requests.load(),
                      other0 = slot.finished.load() + slot.timeouts.load() + slot.noanswer.load(),
                      lost0 = slot.checks_lost.load();
  {
    Probe probe(good, good[0]);
    Flooder flooder(flood, flood[0]);
    if (!ResetCallbacks(st, 2000)) r.errors.push_back("flood: the add-in's loop did not reset its figures");
    const ProcessStats p0 = ReadProcessStats(full.Pid());
    const std::int64_t t0 = NowNs();
    flooder.Start();
    probe.Start(100, 1000);
    loop.RunFor(static_cast<unsigned>(o.flood_seconds) * 1000);
    const ProcessStats p1 = ReadProcessStats(full.Pid());
    const std::int64_t t1 = NowNs();
    flooder.Stop();
    FloodResult res;
    res.flood_lines_sent = static_cast<long long>(flooder.Lines());
    res.flood_lines_read = flooder.LinesRead(kFullPort);
    probe.StopSending();
    res.idle = o.flood_idle;
    res.seconds = o.flood_seconds;
    res.flood_lines_per_s = static_cast<double>(flooder.Lines()) * 1e9 / static_cast<double>(t1 - t0);
    // What the controller still waits for may come yet, but not after the time given.
    loop.RunUntil([&] { return probe.Settled(); }, static_cast<unsigned>(o.settle_seconds) * 1000);
    const std::int64_t now = NowNs();
    res.echo = probe.Echo(now);
    res.card_go = probe.CardGo(now);
    res.cards_skipped = probe.Skipped();
    res.requests = slot.requests.load() - req0;
    res.other_checks = slot.finished.load() + slot.timeouts.load() + slot.noanswer.load() - other0;
    res.checks_lost = slot.checks_lost.load() - lost0;
    res.checks_ok = res.checks_lost == 0 && res.requests == static_cast<std::uint64_t>(probe.Cards());
    res.cpu_percent = CpuPercent(p0, p1, t0, t1);
    res.callbacks = ReadCallbacks(st, 3000);
    res.peak_rss_kib = ReadProcessStats(full.Pid()).peak_rss_kib;
    r.flood.push_back(res);
    std::printf("  %.0f blank lines/s, %lld of %lld read by the add-in; PING->ECHO p50 %.1f p99 %.1f max %.1f ms (%d of %d answered); card->GO p50 %.1f "
                "max %.1f ms (%d of %d); CHECK: %llu requests for %d cards, %llu lost; CPU %.0f %%, peak RSS %ld KiB; "
                "longest callback %.1f ms (p99 %.2f ms%s)\n",
                res.flood_lines_per_s, res.flood_lines_read, res.flood_lines_sent, res.echo.p.p50_ms, res.echo.p.p99_ms, res.echo.p.max_ms, res.echo.answered,
                res.echo.sent, res.card_go.p.p50_ms, res.card_go.p.max_ms, res.card_go.answered, res.card_go.sent,
                static_cast<unsigned long long>(res.requests), probe.Cards(),
                static_cast<unsigned long long>(res.checks_lost), res.cpu_percent, res.peak_rss_kib,
                res.callbacks.Longest(), res.callbacks.p99_ms, res.callbacks.running_ms > res.callbacks.max_ms ? ", one still running" : "");
    std::fflush(stdout);
  }
  slot.answer.store(0);
  if (!full.Alive()) r.errors.push_back("flood: the add-in's process died");
}

namespace {

// One window of the site: every device at `device_rate` keep-alives a second
// in all, the probe every 100 ms; then the probe's answers are waited for.
SiteStep MeasureSite(const Options& o, DeviceSet& probe_set, DeviceSet& site, SharedState& st, pid_t server,
                     double device_rate, int seconds, Results& r) {
  MessageLoop& loop = MessageLoop::Current();
  SiteStep step;
  step.devices = site.Size();
  step.device_rate = device_rate;
  Probe probe(probe_set, probe_set[0]);
  Pacer pacer(site);
  if (!ResetCallbacks(st, 2000)) r.errors.push_back("site: the add-in's loop did not reset its figures");
  const ProcessStats p0 = ReadProcessStats(server);
  const std::int64_t t0 = NowNs();
  pacer.Start(device_rate / site.Size(), 12345);
  probe.Start(100, 0);
  loop.RunFor(static_cast<unsigned>(seconds) * 1000);
  const ProcessStats p1 = ReadProcessStats(server);
  const std::int64_t t1 = NowNs();
  pacer.Stop();
  probe.StopSending();
  loop.RunUntil([&] { return probe.Settled(); }, static_cast<unsigned>(o.settle_seconds) * 1000);
  const AnswerTimes echo = probe.Echo(NowNs());
  step.echo = echo;
  step.lines_per_s = static_cast<double>(pacer.Lines() + static_cast<std::uint64_t>(echo.sent)) * 1e9 /
                     static_cast<double>(t1 - t0);
  step.cpu_percent = CpuPercent(p0, p1, t0, t1);
  step.callbacks = ReadCallbacks(st, 3000);
  step.met = echo.Unanswered() == 0 && echo.p.p99_ms <= kSiteEchoP99Ms;
  std::printf("  %d devices, %.0f lines/s: PING->ECHO p50 %.1f p99 %.1f max %.1f ms (%d of %d answered); CPU %.0f %%; "
              "longest callback %.1f ms (p99 %.2f ms%s)\n",
              step.devices, step.lines_per_s, echo.p.p50_ms, echo.p.p99_ms, echo.p.max_ms, echo.answered, echo.sent,
              step.cpu_percent, step.callbacks.Longest(), step.callbacks.p99_ms,
              step.callbacks.running_ms > step.callbacks.max_ms ? ", one still running" : "");
  std::fflush(stdout);
  return step;
}

// A fresh add-in with the site's devices connected, then each rate in turn; with
// stop_at_miss the series ends at the first rate that misses its target.
void SiteSeries(const Options& o, const std::vector<int>& rates, int seconds, bool stop_at_miss,
                std::vector<SiteStep>& out, Results& r) {
  ServerProc full("full", true);
  if (!full.Ok()) {
    r.errors.push_back("site: the add-in did not start");
    return;
  }
  MessageLoop& loop = MessageLoop::Current();
  DeviceSet probe_set("127.0.0.1", kFullPort, 1, 0);
  DeviceSet site("127.0.0.1", kFullPort, o.site_devices, 1);
  if (!probe_set.ConnectAll(kConnectTimeoutMs) || !site.ConnectAll(kConnectTimeoutMs)) {
    r.errors.push_back("site: not every device connected");
    return;
  }
  // The devices read what comes (the "test" texts) every 100 ms.
  site.SetReading(false);
  TimerId drain = loop.StartTimer(100, [&] { site.Drain(); });
  for (int rate : rates) {
    out.push_back(MeasureSite(o, probe_set, site, full.State(), full.Pid(), rate, seconds, r));
    if (stop_at_miss && !out.back().met) break;
  }
  loop.StopTimer(drain);
  if (!full.Alive()) r.errors.push_back("site: the add-in's process died");
}

}  // namespace

void RunSite(const Options& o, Results& r) {
  std::printf("site: %d devices, one PING each per second, and a probe that pings every 100 ms ...\n",
              o.site_devices);
  std::fflush(stdout);
  SiteResult res;
  std::vector<SiteStep> site;
  SiteSeries(o, {o.site_devices}, o.site_seconds, false, site, r);
  if (!site.empty()) res.site = site.front();
  std::printf("site: the highest line rate at %d devices with the probe's ECHO p99 <= %.0f ms ...\n", o.site_devices,
              kSiteEchoP99Ms);
  std::fflush(stdout);
  SiteSeries(o, o.search_rates, o.search_step_seconds, true, res.search, r);
  for (const SiteStep& s : res.search)
    if (s.met) res.best_rate = std::max(res.best_rate, s.lines_per_s);
  r.site.push_back(res);
}

void RunExhaust(const Options& o, Results& r) {
  std::printf("descriptor exhaustion: the add-in may hold %d descriptors, up to %d clients connect ...\n",
              o.exhaust_files, o.exhaust_clients);
  std::fflush(stdout);
  ServerProc full("full", false, o.exhaust_files);
  if (!full.Ok()) {
    r.errors.push_back("exhaustion: the add-in did not start");
    return;
  }
  MessageLoop& loop = MessageLoop::Current();
  ExhaustResult res;
  res.files = o.exhaust_files;
  res.clients = o.exhaust_clients;
  res.seconds = o.exhaust_seconds;
  {
    DeviceSet clients("127.0.0.1", kFullPort, o.exhaust_clients, 0);
    // A few at a time, as long as the add-in takes them (the listen queue holds
    // only a handful, and a connect it drops comes again only a second or more
    // later). The limit holds once connections wait to be accepted and for a
    // second no more were taken.
    while (clients.Started() < clients.Size()) {
      const int want = clients.StartMore(4);
      if (!loop.RunUntil([&] { return clients.Greeted() >= want; }, 1000)) break;
    }
    int taken = -1;
    std::int64_t since = NowNs();
    res.limit_reached = loop.RunUntil(
        [&] {
          const int now_taken = clients.Greeted();
          if (now_taken != taken) {
            taken = now_taken;
            since = NowNs();
          }
          return clients.Established() > taken && NowNs() - since >= 1000000000;
        },
        10000);
    res.clients = clients.Started();
    const ProcessStats p0 = ReadProcessStats(full.Pid());
    const std::int64_t t0 = NowNs();
    loop.RunFor(static_cast<unsigned>(o.exhaust_seconds) * 1000);
    const ProcessStats p1 = ReadProcessStats(full.Pid());
    res.cpu_percent = CpuPercent(p0, p1, t0, NowNs());
    res.greeted = clients.Greeted();
    clients.CloseAll();
  }
  loop.RunFor(1000);  // the add-in sees them go
  DeviceSet again("127.0.0.1", kFullPort, 4, o.exhaust_clients);
  again.ConnectAll(5000);
  res.again_tried = again.Size();
  res.again_greeted = again.Greeted();
  r.exhaust.push_back(res);
  if (!res.limit_reached) r.errors.push_back("exhaustion: the add-in's descriptor limit was not reached in time");
  std::printf("  %d of %d clients taken while the limit held%s; CPU %.1f %% over %d s; afterwards %d of %d new "
              "clients taken\n",
              res.greeted, res.clients, res.limit_reached ? "" : " (limit NOT reached)", res.cpu_percent, res.seconds,
              res.again_greeted, res.again_tried);
  std::fflush(stdout);
  if (!full.Alive()) r.errors.push_back("exhaustion: the add-in's process died");
}

namespace {

// Every device presents a card every `interval_ms`, each at its own phase,
// whatever became of its last one; a GO is followed by the relay report and the
// finished pass, as a turnstile does. The time from a card to its GO frame is
// kept for every card that got one.
class CardRound {
 public:
  CardRound(DeviceSet& devs, unsigned interval_ms, std::uint64_t seed)
      : devs_(devs), sent_ns_(static_cast<std::size_t>(devs.Size()), 0), pacer_(devs, [this](Device& d) {
          sent_ns_[static_cast<std::size_t>(d.index)] = NowNs();
          return devsim::CardRequestLine(d.id, CardNumber(d.index, seq_++));
        }) {
    for (int i = 0; i < devs_.Size(); ++i)
      devs_[i].on_go = [this](Device& d, std::int64_t now) {
        ++opened_;
        std::int64_t& sent = sent_ns_[static_cast<std::size_t>(d.index)];
        if (sent) frames_ns_.push_back(now - sent);
        sent = 0;
        devs_.Send(d, PassLines(d.id));
      };
    pacer_.Start(1000.0 / interval_ms, seed, 5);
  }
  ~CardRound() {
    Stop();
    for (int i = 0; i < devs_.Size(); ++i) devs_[i].on_go = nullptr;
  }
  CardRound(const CardRound&) = delete;
  CardRound& operator=(const CardRound&) = delete;

  void Stop() { pacer_.Stop(); }
  std::uint64_t Cards() const { return pacer_.Lines(); }
  std::uint64_t Opened() const { return opened_; }
  const std::vector<std::int64_t>& Frames() const { return frames_ns_; }

 private:
  DeviceSet& devs_;
  int seq_ = 0;
  std::vector<std::int64_t> sent_ns_;  // by device: its latest card not yet opened
  std::vector<std::int64_t> frames_ns_;
  Pacer pacer_;
  std::uint64_t opened_ = 0;
};

std::uint64_t SumSlots(SharedState& st, int devices, std::atomic<std::uint32_t> DeviceSlot::*field) {
  std::uint64_t n = 0;
  for (int i = 0; i < devices && i < kMaxDevices; ++i) n += (st.dev[i].*field).load();
  return n;
}

// The add-in reads its Events setting at Init: the server process takes it from
// the environment it is started with.
class EventsSetting {
 public:
  explicit EventsSetting(bool every) {
    if (every) ::setenv("AX_GATE_EVENTS", "all", 1);
    else ::unsetenv("AX_GATE_EVENTS");
  }
  ~EventsSetting() { ::unsetenv("AX_GATE_EVENTS"); }
  EventsSetting(const EventsSetting&) = delete;
  EventsSetting& operator=(const EventsSetting&) = delete;
};

ScriptResult MeasureScript(const Options& o, const Options::ScriptRow& row, bool every, Results& r) {
  ScriptResult res;
  res.row = row;
  res.every = every;
  res.seconds = o.script_seconds;
  const int devices = row.devices;
  std::unique_ptr<ServerProc> started;
  {
    EventsSetting setting(every);
    started = std::make_unique<ServerProc>("full");
  }
  ServerProc& full = *started;
  if (!full.Ok()) {
    r.errors.push_back("script: the add-in did not start");
    return res;
  }
  MessageLoop& loop = MessageLoop::Current();
  SharedState& st = full.State();
  std::uint64_t ended = 0;
  NoteReader notes(full.NotesFd(), [&](const EndNote&) { ++ended; });
  DeviceSet site("127.0.0.1", kFullPort, devices, 0);
  if (!site.ConnectAll(kConnectTimeoutMs)) {
    r.errors.push_back("script: not every device connected");
    return res;
  }
  site.SetReading(true);
  for (int i = 0; i < devices; ++i) st.dev[i].answer.store(1);
  st.event_cost_ns.store(static_cast<std::int64_t>(row.other_us) * 1000);
  st.check_cost_ns.store(static_cast<std::int64_t>(row.check_us) * 1000);
  const std::uint64_t events0 = st.events.load(), lost0 = st.lost.load(), alive0 = st.alive_events.load();
  const std::int64_t script0 = st.script_ns.load();
  const std::int64_t t0 = NowNs();
  {
    Pacer keepalive(site);
    keepalive.Start(0.2, 777);
    CardRound round(site, static_cast<unsigned>(row.card_ms), 4242);
    loop.RunFor(static_cast<unsigned>(o.script_seconds) * 1000);
    const std::int64_t t1 = NowNs();
    res.script_share = static_cast<double>(st.script_ns.load() - script0) / static_cast<double>(t1 - t0);
    keepalive.Stop();
    round.Stop();
    // The requests still alive end within the add-in's time limits.
    loop.RunUntil([&] { return ended >= SumSlots(st, devices, &DeviceSlot::requests); },
                  static_cast<unsigned>(o.script_settle_seconds) * 1000);
    res.cards = round.Cards();
    res.opened = round.Opened();
    res.frame = Summarise(round.Frames());
  }
  res.events = st.events.load() - events0;
  res.events_lost = st.lost.load() - lost0;
  res.alive_events = st.alive_events.load() - alive0;
  res.requests = SumSlots(st, devices, &DeviceSlot::requests);
  res.timed_out = SumSlots(st, devices, &DeviceSlot::timeouts);
  res.no_answer = SumSlots(st, devices, &DeviceSlot::noanswer);
  res.checks = res.requests + res.timed_out + res.no_answer + SumSlots(st, devices, &DeviceSlot::finished);
  res.checks_lost = SumSlots(st, devices, &DeviceSlot::checks_lost);
  if (!full.Alive()) r.errors.push_back("script: the add-in's process died");
  std::printf("  %d devices, a card every %d s, CHECK %.2f ms, other events %.2f ms, Events %s: %.0f %% of the "
              "host's thread in the script; %llu events (%.1f a card), %llu lost at the queue; %llu cards, %llu "
              "opened, %llu timed out, %llu no answer; CHECK events lost %llu of %llu; card -> GO p50 %.0f ms, p99 "
              "%.0f ms\n",
              devices, row.card_ms / 1000, row.check_us / 1000.0, row.other_us / 1000.0, every ? "all" : "default",
              res.script_share * 100, static_cast<unsigned long long>(res.events), res.EventsPerCard(),
              static_cast<unsigned long long>(res.events_lost), static_cast<unsigned long long>(res.cards),
              static_cast<unsigned long long>(res.opened), static_cast<unsigned long long>(res.timed_out),
              static_cast<unsigned long long>(res.no_answer), static_cast<unsigned long long>(res.checks_lost),
              static_cast<unsigned long long>(res.checks), res.frame.p50_ms, res.frame.p99_ms);
  std::fflush(stdout);
  return res;
}

}  // namespace

void RunScript(const Options& o, Results& r) {
  std::printf("slow script: controllers with a keep-alive every 5 s and a card every few seconds each, %d s a\n"
              "  row; the script holds the host's thread a fixed time per event and answers every card \"TRUE\";\n"
              "  each row with the add-in's Events setting at its default and at \"all\" ...\n",
              o.script_seconds);
  std::fflush(stdout);
  for (const auto& row : o.script_rows)
    for (bool every : {false, true}) r.script.push_back(MeasureScript(o, row, every, r));
}

// ------------------------------------------------------------------ rush

namespace {

// Controllers at rush hour, as ax_gate-devsim runs them: a card at each one's
// own phase of the card interval, the next one an interval after the last but
// never while the last request is still open; a GO is followed by the relay
// report at once and by the finished pass `pass_ms` later.
class RushSite {
 public:
  RushSite(DeviceSet& devs, double cards_per_s, unsigned pass_ms, std::uint64_t seed)
      : devs_(devs), interval_(static_cast<std::int64_t>(1e9 / cards_per_s)), pass_ns_(pass_ms * 1000000LL),
        state_(static_cast<std::size_t>(devs.Size())) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<std::int64_t> phase(0, interval_ - 1);
    const std::int64_t now = NowNs();
    for (int i = 0; i < devs_.Size(); ++i) {
      state_[static_cast<std::size_t>(i)].due = now + phase(rng);
      devs_[i].on_go = [this](Device& d, std::int64_t at) { Go(d, at); };
    }
    timer_ = MessageLoop::Current().StartTimer(2, [this] { Tick(); });
  }
  ~RushSite() {
    StopCards();
    if (timer_) MessageLoop::Current().StopTimer(timer_);
    for (int i = 0; i < devs_.Size(); ++i) devs_[i].on_go = nullptr;
  }
  RushSite(const RushSite&) = delete;
  RushSite& operator=(const RushSite&) = delete;

  void StopCards() { presenting_ = false; }
  bool Settled() const { return waiting_ == 0 && passing_.empty(); }
  std::uint64_t Cards() const { return cards_; }
  // Cards given up on and cards still waiting count at the age they reached.
  AnswerTimes CardGo(std::int64_t now) const {
    AnswerTimes a;
    std::vector<std::int64_t> all = go_;
    all.insert(all.end(), given_up_.begin(), given_up_.end());
    for (const Slot& s : state_)
      if (s.waiting) all.push_back(now - s.sent);
    a.p = Summarise(all);
    a.sent = static_cast<int>(cards_);
    a.answered = static_cast<int>(go_.size());
    return a;
  }

 private:
  struct Slot {
    std::int64_t due = 0;   // next card
    std::int64_t sent = 0;  // the card that waits for its GO
    bool waiting = false;
    bool passing = false;   // the gate is open, the person not through yet
  };
  void Go(Device& d, std::int64_t at) {
    Slot& s = state_[static_cast<std::size_t>(d.index)];
    if (!s.waiting || s.passing) return;
    s.waiting = false;
    s.passing = true;
    --waiting_;
    go_.push_back(at - s.sent);
    devs_.Send(d, devsim::RelayReportLine(d.id));
    passing_.push_back({at + pass_ns_, d.index});
  }
  void Tick() {
    const std::int64_t now = NowNs();
    for (; !passing_.empty() && passing_.front().first <= now; passing_.pop_front()) {
      Device& d = devs_[passing_.front().second];
      state_[static_cast<std::size_t>(d.index)].passing = false;
      devs_.Send(d, devsim::PassDoneLine(d.id));
    }
    for (int i = 0; i < devs_.Size(); ++i) {
      Slot& s = state_[static_cast<std::size_t>(i)];
      if (s.waiting && now - s.sent >= kGiveUpNs) {  // the device stops waiting, as ax_gate-devsim does
        s.waiting = false;
        --waiting_;
        given_up_.push_back(now - s.sent);
      }
      if (!presenting_ || s.due > now || s.waiting || s.passing) continue;
      Device& d = devs_[i];
      if (!devs_.Send(d, devsim::CardRequestLine(d.id, CardNumber(i, seq_++)))) continue;
      s.sent = now;
      s.waiting = true;
      ++waiting_;
      ++cards_;
      s.due = std::max(s.due + interval_, now + 1);
    }
  }

  static constexpr std::int64_t kGiveUpNs = 10000000000LL;
  DeviceSet& devs_;
  std::int64_t interval_;
  std::int64_t pass_ns_;
  std::vector<Slot> state_;
  std::deque<std::pair<std::int64_t, int>> passing_;  // when each open gate's person is through
  std::vector<std::int64_t> go_, given_up_;
  std::uint64_t cards_ = 0;
  int waiting_ = 0;
  int seq_ = 0;
  bool presenting_ = true;
  TimerId timer_ = 0;
};

RushResult MeasureRush(const Options& o, const Options::RushRow& row, Results& r) {
  RushResult res;
  res.devices = row.devices;
  res.cards_per_s = row.cards_per_s;
  res.seconds = o.rush_seconds;
  ServerProc full("full", true);
  if (!full.Ok()) {
    r.errors.push_back("rush: the add-in did not start");
    return res;
  }
  MessageLoop& loop = MessageLoop::Current();
  SharedState& st = full.State();
  DeviceSet site("127.0.0.1", kFullPort, row.devices, 0);
  if (!site.ConnectAll(kConnectTimeoutMs)) {
    r.errors.push_back("rush: not every device connected at " + std::to_string(row.devices));
    return res;
  }
  site.SetReading(true);
  for (int i = 0; i < row.devices; ++i) st.dev[i].answer.store(1);
  Pacer keepalive(site);
  keepalive.Start(0.2, 99);
  RushSite rush(site, row.cards_per_s, 500, 2718);
  if (!ResetCallbacks(st, 2000)) r.errors.push_back("rush: the add-in's loop did not reset its figures");
  const ProcessStats p0 = ReadProcessStats(full.Pid());
  const std::int64_t t0 = NowNs();
  loop.RunFor(static_cast<unsigned>(o.rush_seconds) * 1000);
  const ProcessStats p1 = ReadProcessStats(full.Pid());
  const std::int64_t t1 = NowNs();
  res.callbacks = ReadCallbacks(st, 3000);
  rush.StopCards();
  loop.RunUntil([&] { return rush.Settled(); }, static_cast<unsigned>(o.settle_seconds) * 1000);
  res.cards = rush.Cards();
  res.card_go = rush.CardGo(NowNs());
  res.timed_out = SumSlots(st, row.devices, &DeviceSlot::timeouts) + SumSlots(st, row.devices, &DeviceSlot::noanswer);
  res.checks_lost = SumSlots(st, row.devices, &DeviceSlot::checks_lost);
  res.events_lost = st.lost.load();
  res.cpu_percent = CpuPercent(p0, p1, t0, t1);
  keepalive.Stop();
  if (!full.Alive()) r.errors.push_back("rush: the add-in's process died");
  std::printf("  %d x %.1f cards/s: %llu cards; card->GO p50 %.1f p99 %.1f max %.1f ms (%d still waiting); %llu timed "
              "out; CHECK lost %llu (events lost %llu); CPU %.0f %%; longest callback %.1f ms (p99 %.2f ms)\n",
              row.devices, row.cards_per_s, static_cast<unsigned long long>(res.cards), res.card_go.p.p50_ms,
              res.card_go.p.p99_ms, res.card_go.p.max_ms, res.card_go.Unanswered(),
              static_cast<unsigned long long>(res.timed_out), static_cast<unsigned long long>(res.checks_lost),
              static_cast<unsigned long long>(res.events_lost), res.cpu_percent, res.callbacks.Longest(),
              res.callbacks.p99_ms);
  std::fflush(stdout);
  return res;
}

}  // namespace

void RunRush(const Options& o, Results& r) {
  std::printf("rush: cards at every controller, answered at once, the person through 500 ms after the GO, for "
              "%d s ...\n",
              o.rush_seconds);
  std::fflush(stdout);
  for (const Options::RushRow& row : o.rush) r.rush.push_back(MeasureRush(o, row, r));
}

// ------------------------------------------------------------ child side

int ServeMain(int argc, char** argv) {
  if (argc < 5) return 2;
  const std::string kind = argv[2];
  const int shm_fd = std::atoi(argv[3]);
  const int notify_fd = std::atoi(argv[4]);
  auto* state = static_cast<SharedState*>(MapSharedMemory(shm_fd, sizeof(SharedState)));
  ::close(shm_fd);
  if (argc > 6 && std::strncmp(argv[6], "files=", 6) == 0) {
    const long files = std::atol(argv[6] + 6);
    if (files > 0) LowerFileLimit(files);
  }
  if (kind == "full") return RunFullServer(state, notify_fd, argc > 5 && std::string(argv[5]) == "ticks");
  if (kind == "floor") return RunFloorServer(state, kFloorPort);
  return 2;
}

}  // namespace axg::bench
