// Load and fault tests: ax_gate-host with the add-in on port 1001 (in a private
// network namespace) against hundreds of simulated devices that misbehave in
// the ways a site's network does. Each test ends with the host alive until it
// is told to quit, every complete card line accounted for, the host's exit
// clean and nothing reported by a sanitizer (or by valgrind).
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <netinet/in.h>
#include <unistd.h>
#include <netinet/tcp.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "load/host_process.h"
#include "load/load_device.h"
#include "platform/message_loop.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "transport/TLineServer.h"
#include "transport/TMonitorSocket.h"
#include "transport/line_client.h"

// This program's epoll_ctl stands in front of the C library's: the next
// g_refused_adds additions to an epoll set fail with ENOMEM.
static std::atomic<int> g_refused_adds{0};
extern "C" int epoll_ctl(int epfd, int op, int fd, epoll_event* event) noexcept {
  int left = g_refused_adds.load();
  while (op == EPOLL_CTL_ADD && left > 0 && !g_refused_adds.compare_exchange_weak(left, left - 1)) {
  }
  if (op == EPOLL_CTL_ADD && left > 0) return errno = ENOMEM, -1;
  return static_cast<int>(::syscall(SYS_epoll_ctl, epfd, op, fd, event));
}

namespace axg::load {
namespace {

constexpr unsigned kReadyMs = 30000;

// What the host was told about card requests, from its output.
struct HostView {
  std::set<std::string> requested;             // CHECK kind 0: decision requests, by card
  std::set<std::string> ended;                 // CHECK kinds 1 to 3: outcomes, by card
  std::set<std::string> interpreted;           // STATUS ...;RQ: the card reached the controller
  std::map<std::string, std::string> joined;   // STATUS "COME": the card's entry state
  long long lost = 0, refused = -1;
  std::vector<std::string> starts;             // values of Start, in order

  explicit HostView(const std::vector<Record>& records) {
    for (const Record& r : records) {
      if (r.type == "counts") {
        lost = r.lost;
        refused = r.refused;
      }
      if (r.type == "result" && r.call.rfind("Start", 0) == 0) starts.push_back(r.value);
      if (r.type != "event" && r.type != "lost") continue;
      const auto f = Fields(r.data);
      if (f.size() != 5) continue;
      if (r.name == "CHECK" && f[4] == "0") requested.insert(f[3]);
      if (r.name == "CHECK" && f[4] != "0") ended.insert(f[3]);
      if (r.name == "STATUS") {
        if (f[4] == "RQ") interpreted.insert(f[3]);
        else if (!joined.count(f[3])) joined[f[3]] = f[4];  // the first report after it is its "COME"
      }
    }
  }
};

// A card line is accounted for when its decision request reached the host; or
// when it joined an entry its device still had (no new request, as the
// controller does for a device that already has one); or when its entry ended
// before the sweep came to ask (a device that took a late "GO" for this card
// reports the pass at once, and the entry finishes unasked); or when the server
// closed the device's connection by a rule of the protocol.
struct Accounting {
  int cards = 0, requested = 0, joined = 0, ended_unasked = 0, closed_by_rule = 0;
  std::vector<std::string> unaccounted;
};

Accounting Account(const std::vector<std::unique_ptr<LoadDevice>>& devices, const HostView& host) {
  Accounting a;
  for (const auto& d : devices) {
    if (d->Config().kind != Kind::kCards) continue;
    for (const std::string& card : d->Stats().cards) {
      ++a.cards;
      auto j = host.joined.find(card);
      if (host.requested.count(card)) {
        ++a.requested;
      } else if (host.interpreted.count(card) && j != host.joined.end() && j->second != "NEW") {
        ++a.joined;
      } else if (host.interpreted.count(card) && host.ended.count(card)) {
        ++a.ended_unasked;
      } else if (d->Stats().server_closes > 0) {
        ++a.closed_by_rule;
      } else {
        a.unaccounted.push_back(d->Config().id + "/" + card);
      }
    }
  }
  return a;
}

class Fleet {
 public:
  LoadDevice& Add(Kind kind, DeviceConfig cfg = {}) {
    cfg.kind = kind;
    cfg.index = static_cast<int>(devices_.size());
    char id[8];
    std::snprintf(id, sizeof id, "%c%03d", kind == Kind::kCards ? 'C' : 'X', cfg.index % 1000);
    cfg.id = id;
    cfg.seed = 11;
    if (kind == Kind::kPinger && cfg.ping_max_ms == DeviceConfig{}.ping_max_ms) {
      cfg.ping_min_ms = 50;
      cfg.ping_max_ms = 150;
    }
    devices_.push_back(std::make_unique<LoadDevice>(cfg));
    return *devices_.back();
  }
  // Devices come up one after another, 10 ms apart, as they would at a site.
  void Start() {
    MessageLoop& loop = MessageLoop::Current();
    std::size_t next = 0;
    TimerId t = loop.StartTimer(10, [&] {
      if (next < devices_.size()) devices_[next++]->Start();
    });
    loop.RunUntil([&] { return next == devices_.size(); }, 60000);
    loop.StopTimer(t);
  }
  // Runs for ms, then lets every card road under way finish (bounded) and
  // closes every device.
  void Run(unsigned ms) { MessageLoop::Current().RunFor(ms); }
  void Finish() {
    MessageLoop& loop = MessageLoop::Current();
    for (auto& d : devices_) d->Wind();
    loop.RunUntil(
        [this] {
          for (auto& d : devices_)
            if (!d->Settled()) return false;
          return true;
        },
        15000);
    loop.RunFor(500);  // the last pass reports and keep-alive answers come in
    for (auto& d : devices_) d->Stop();
    loop.RunFor(300);
  }
  const std::vector<std::unique_ptr<LoadDevice>>& Devices() const { return devices_; }
  DeviceStats Sum(Kind kind) const {
    DeviceStats s;
    for (const auto& d : devices_) {
      if (d->Config().kind != kind) continue;
      const DeviceStats& x = d->Stats();
      s.gos += x.gos;
      s.phs += x.phs;
      s.echoes += x.echoes;
      s.pings += x.pings;
      s.unanswered += x.unanswered;
      s.connects += x.connects;
      s.failed_connects += x.failed_connects;
      s.own_closes += x.own_closes;
      s.server_closes += x.server_closes;
      s.bytes_sent += x.bytes_sent;
      s.cards.insert(s.cards.end(), x.cards.begin(), x.cards.end());
    }
    return s;
  }

 private:
  std::vector<std::unique_ptr<LoadDevice>> devices_;
};

// Inside a user namespace of its own (the test runs under unshare -rn) the
// test may set its network namespace's socket buffer limits; anywhere else it
// leaves the system's settings alone.
void ShrinkSocketBuffers() {
  std::ifstream map("/proc/self/uid_map");
  std::string inside, outside, count;
  map >> inside >> outside >> count;
  if (count == "4294967295") return;  // the machine's own namespace maps every id, root's too
  for (const char* f : {"/proc/sys/net/ipv4/tcp_wmem", "/proc/sys/net/ipv4/tcp_rmem"}) {
    std::ofstream out(f);
    out << "4096 4096 4096\n";
  }
}

class Load : public ::testing::Test {
 protected:
  void StartHost(std::vector<std::string> args, bool valgrind = false) {
    HostProcess::Options o;
    o.host_args = std::move(args);
    o.valgrind = valgrind;
    host_ = std::make_unique<HostProcess>(o);
    ASSERT_TRUE(host_->Started()) << host_->Failure();
    ASSERT_TRUE(host_->WaitReady(valgrind ? 120000 : kReadyMs)) << host_->Stderr();
  }
  // The host must still be there; then it quits (or lets go of the add-in
  // without Done) and must leave cleanly.
  void EndHost(const char* how = "quit", unsigned timeout_ms = 30000) {
    ASSERT_TRUE(host_->Alive()) << "the host died under load:\n" << host_->Stderr();
    host_->Command("counts");
    host_->Command(how);
    const int status = host_->WaitExit(timeout_ms);
    EXPECT_EQ(status, 0) << host_->Stderr();
    EXPECT_EQ(host_->Reports(), "") << host_->Stderr();
  }
  void ExpectAccounted(const Fleet& fleet) {
    HostView view(host_->Records());
    Accounting a = Account(fleet.Devices(), view);
    std::printf("cards %d: decision requests %d, joined an entry %d, ended unasked %d, closed by a rule %d; "
                "host events lost %lld\n",
                a.cards, a.requested, a.joined, a.ended_unasked, a.closed_by_rule, view.lost);
    EXPECT_GT(a.cards, 0);
    EXPECT_TRUE(a.unaccounted.empty()) << a.unaccounted.size() << " card line(s) unaccounted, first "
                                       << a.unaccounted.front();
  }

  std::unique_ptr<HostProcess> host_;
};

// Every line a device sends costs the server one "test" write per connection,
// so the lines per second a site can send shrink as its devices grow in number;
// the rates here stay well inside what a sanitizer build handles with 200.
TEST_F(Load, HundredsOfDevicesComeAndGoInTheMiddleOfLines) {
  StartHost({"--policy", "allow"});
  Fleet fleet;
  for (int i = 0; i < 200; ++i) {
    DeviceConfig c;
    c.leave_chance = 0.35;
    c.reset_share = 0.5;
    c.gap_min_ms = 2500;
    c.gap_max_ms = 5000;
    fleet.Add(Kind::kCards, c);
  }
  for (int i = 0; i < 4; ++i) fleet.Add(Kind::kPinger);
  fleet.Start();
  fleet.Run(12000);
  fleet.Finish();
  EndHost();

  const DeviceStats cards = fleet.Sum(Kind::kCards);
  std::printf("card devices: %zu cards, %d GO, %d connects, %d left mid-line\n", cards.cards.size(), cards.gos,
              cards.connects, cards.own_closes);
  EXPECT_GT(cards.own_closes, 40) << "devices left in the middle of lines";
  // A card that joins its device's previous entry, still waiting for the pass
  // that drops it, gets no answer of its own; on a busy machine passes come late
  // and that happens more often.
  EXPECT_GT(cards.gos * 2, static_cast<int>(cards.cards.size())) << "most cards were answered";
  EXPECT_EQ(cards.server_closes, 0) << "no card device broke a rule";
  ExpectAccounted(fleet);
  for (const auto& d : fleet.Devices()) {
    if (d->Config().kind != Kind::kPinger) continue;
    EXPECT_GT(d->Stats().pings, 50);
    EXPECT_EQ(d->Stats().echoes, d->Stats().pings) << "every keep-alive answered, none lost";
  }
}

TEST_F(Load, GarbageAndEndlessLinesNeitherStopTheServerNorDelayCards) {
  StartHost({"--policy", "allow"});
  Fleet fleet;
  for (int i = 0; i < 30; ++i) fleet.Add(Kind::kGarbage);
  for (int i = 0; i < 15; ++i) fleet.Add(Kind::kEndless);
  for (int i = 0; i < 30; ++i) {
    DeviceConfig c;
    c.gap_min_ms = 600;
    c.gap_max_ms = 1500;
    fleet.Add(Kind::kCards, c);
  }
  fleet.Start();
  fleet.Run(10000);
  fleet.Finish();
  EndHost();

  ExpectAccounted(fleet);
  // A card that joined an entry its device still had gets no answer of its own.
  const DeviceStats cards = fleet.Sum(Kind::kCards);
  EXPECT_GE(cards.gos * 10, static_cast<int>(cards.cards.size()) * 9) << "cards were answered";
  for (const auto& d : fleet.Devices()) {
    if (d->Config().kind != Kind::kEndless) continue;
    const auto& cuts = d->Stats().endless_cut_at;
    ASSERT_FALSE(cuts.empty()) << d->Config().id << ": a line without end was never cut off";
    for (long n : cuts) {
      EXPECT_GT(n, 160) << "closed before the line limit";
      EXPECT_LT(n, 64 * 1024) << "the line limit let too much through";
    }
  }
  EXPECT_GT(fleet.Sum(Kind::kGarbage).bytes_sent, 100000);
}

// A device that never reads has its answers queued, first by the system, then
// by the connection up to its bound, after which the server drops it. Small
// socket buffers (settable inside the test's own network namespace) make that
// happen within seconds. Meanwhile the other devices go on being served.
// Peers that send lines as fast as they can and never read are held to their
// line budget: they are not cut off (nothing they sent is dropped), the host
// hears of each once, the host's memory stays bounded, and a card device and a
// keep-alive device beside them are served all along. A card device that reads
// a few bytes a second keeps its connection and gets all its own frames; of the
// "test" texts it cannot take it is owed only the latest.
TEST_F(Load, FloodingPeersAreHeldBackWhileOthersAreServed) {
  ShrinkSocketBuffers();
  StartHost({"--policy", "allow"});
  const long rss_before = host_->RssKib();
  Fleet fleet;
  constexpr std::size_t kFlooders = 6;
  for (std::size_t i = 0; i < kFlooders; ++i) fleet.Add(Kind::kSlow);
  DeviceConfig c;
  c.answer_timeout_ms = 3000;
  fleet.Add(Kind::kCards, c);
  const LoadDevice& pinger_device = fleet.Add(Kind::kPinger);
  c.read_bytes_per_s = 40;
  c.answer_timeout_ms = 60000;
  const LoadDevice& reader = fleet.Add(Kind::kCards, c);
  fleet.Start();
  fleet.Run(4000);
  const DeviceStats early = fleet.Sum(Kind::kPinger);
  const int gos_early = fleet.Sum(Kind::kCards).gos;
  fleet.Run(4000);
  const long rss_flood = host_->RssKib();
  const DeviceStats flood = fleet.Sum(Kind::kSlow);
  const DeviceStats pinger = fleet.Sum(Kind::kPinger);
  std::printf("flood: %ld bytes sent; cards %d GO; pinger %d pings, %d echoes; host RSS %ld -> %ld KiB\n",
              flood.bytes_sent, fleet.Sum(Kind::kCards).gos, pinger.pings, pinger.echoes, rss_before, rss_flood);
  EXPECT_GT(gos_early, 0) << "cards are answered while the flood goes on";
  EXPECT_GT(fleet.Sum(Kind::kCards).gos, gos_early) << "and keep being answered";
  EXPECT_GT(pinger.echoes, early.echoes) << "keep-alives keep being answered";
  EXPECT_LT(rss_flood - rss_before, 32 * 1024) << "the host's memory grew under the flood";
  for (const auto& d : fleet.Devices()) {
    if (d->Config().kind != Kind::kSlow) continue;
    EXPECT_FALSE(d->Stats().cut_off) << d->Config().id << " was cut off";
  }
  fleet.Finish();
  EndHost();

  std::map<std::string, int> held_back;
  for (const Record& r : host_->Records())
    if (r.type == "event" && r.name == "LOG" && r.data.find("lines a second") != std::string::npos)
      ++held_back[r.data.substr(0, r.data.find(" sends"))];
  EXPECT_EQ(held_back.size(), kFlooders) << "one report for each flooding peer";
  for (const auto& [who, n] : held_back) EXPECT_EQ(n, 1) << who << ": one report per episode";
  EXPECT_EQ(fleet.Sum(Kind::kCards).server_closes, 0);
  ExpectAccounted(fleet);
  EXPECT_EQ(reader.Stats().gos, static_cast<int>(reader.Stats().cards.size()));
  EXPECT_EQ(reader.Stats().echoes, reader.Stats().pings);
  EXPECT_LT(reader.Stats().tests * 2, pinger_device.Stats().tests) << reader.Stats().tests << " for the slow reader";
}

// With its descriptors used up the host cannot accept, and the waiting peers
// stay in the listen queue: it must not spin on them, must serve the devices it
// has, and must take new ones once descriptors are free again.
TEST_F(Load, RunningOutOfDescriptorsNeitherSpinsNorStopsAccepting) {
  HostProcess::Options o;
  o.host_args = {"--policy", "allow"};
  o.max_files = 40;
  host_ = std::make_unique<HostProcess>(o);
  ASSERT_TRUE(host_->Started()) << host_->Failure();
  ASSERT_TRUE(host_->WaitReady(kReadyMs)) << host_->Stderr();
  Fleet fleet;
  DeviceConfig slow_pings;
  slow_pings.ping_min_ms = 300;
  slow_pings.ping_max_ms = 500;
  for (int i = 0; i < 60; ++i) fleet.Add(Kind::kPinger, slow_pings);
  fleet.Start();
  fleet.Run(1000);
  const long cpu_before = host_->CpuMs();
  fleet.Run(3000);
  const long cpu_used = host_->CpuMs() - cpu_before;
  int served = 0;
  for (const auto& d : fleet.Devices()) served += d->Stats().echoes > 0;
  std::printf("descriptors used up: %d of 60 devices served, host CPU %ld ms in 3 s\n", served, cpu_used);
  EXPECT_GT(served, 0);
  EXPECT_LT(served, 60) << "the limit did not hold";
  EXPECT_LT(cpu_used, 600) << "the host spins while it cannot accept";

  // Two devices in three leave: the rest now fit, and get their turn.
  for (std::size_t i = 0; i < fleet.Devices().size(); ++i)
    if (i % 3 != 0) fleet.Devices()[i]->Stop();
  fleet.Run(5000);
  int late_served = 0;
  for (std::size_t i = 0; i < fleet.Devices().size(); i += 3) late_served += fleet.Devices()[i]->Stats().echoes > 0;
  EXPECT_EQ(late_served, 20) << "devices left waiting after descriptors were free";
  for (const auto& d : fleet.Devices()) d->Stop();  // keep-alives left unanswered by the limit do not count
  EndHost();
  int reports = 0;
  for (const Record& r : host_->Records())
    reports += r.type == "event" && r.name == "LOG" && r.data.find("Cannot accept connections") == 0;
  EXPECT_GE(reports, 1);
}

TEST_F(Load, StartAnswersFalseWhileThePortIsTakenAndTrueOnceItIsFree) {
  SocketHandle squatter = SocketListen("0.0.0.0", 1001, 5);
  StartHost({"--policy", "allow"});
  ASSERT_EQ(HostView(host_->Records()).starts, std::vector<std::string>{"FALSE"});
  SocketClose(squatter);
  host_->Command("Start");
  ASSERT_TRUE(host_->WaitRecord("result", "Start", 10000, 2));
  ASSERT_EQ(HostView(host_->Records()).starts, (std::vector<std::string>{"FALSE", "TRUE"}));

  Fleet fleet;
  for (int i = 0; i < 5; ++i) fleet.Add(Kind::kCards);
  fleet.Start();
  fleet.Run(3000);
  fleet.Finish();
  EndHost();
  EXPECT_GE(fleet.Sum(Kind::kCards).gos, 5);
  ExpectAccounted(fleet);
}

TEST_F(Load, AHostWhoseEventsFailDropsTheConnectionsButStaysUp) {
  StartHost({"--policy", "allow", "--event-fail"});
  Fleet fleet;
  for (int i = 0; i < 30; ++i) fleet.Add(Kind::kCards);
  for (int i = 0; i < 5; ++i) fleet.Add(Kind::kPinger);
  fleet.Start();
  fleet.Run(5000);
  fleet.Finish();
  // The add-in still answers its host.
  host_->Command("Start");
  ASSERT_TRUE(host_->WaitRecord("result", "Start", 10000, 2));
  EndHost();

  // Every line that reaches the controller raises an event the host refuses;
  // the error ends that line's handling and the connection that sent it.
  const DeviceStats cards = fleet.Sum(Kind::kCards);
  EXPECT_GT(cards.cards.size(), 30u);
  EXPECT_GE(static_cast<std::size_t>(cards.server_closes) + 30, cards.cards.size());
  EXPECT_EQ(cards.gos, 0);
  ExpectAccounted(fleet);
  HostView view(host_->Records());
  EXPECT_GT(view.refused, 0);
  EXPECT_TRUE(view.requested.empty());
  EXPECT_EQ(view.starts.back(), "TRUE");
}

TEST_F(Load, AHostThatLetsGoWithoutDoneLeavesNothingBehind) {
  StartHost({"--policy", "none"});
  Fleet fleet;
  for (int i = 0; i < 30; ++i) fleet.Add(Kind::kCards);
  fleet.Add(Kind::kGarbage);
  fleet.Start();
  fleet.Run(3000);  // requests wait in the stack, the sweep runs
  EndHost("release");
  // The port is free again: the add-in closed everything as it went.
  SocketHandle again = kInvalidSocket;
  EXPECT_NO_THROW(again = SocketListen("0.0.0.0", 1001, 5));
  if (again != kInvalidSocket) SocketClose(again);
  fleet.Run(500);
  for (const auto& d : fleet.Devices())
    EXPECT_GE(d->Stats().server_closes, 1) << d->Config().id << ": connection left open";
  fleet.Finish();
  ExpectAccounted(fleet);
}

// Accepted device connections send each frame at once: a "GO" frame that
// follows the "test" text of the card's own line must not wait for the
// device's delayed acknowledgement of that text. And they probe a silent peer.
TEST(LoadSockets, AcceptedConnectionsSendFramesWithoutDelay) {
  SocketHandle listener = SocketListen("127.0.0.1", 0, 5);
  const std::uint16_t port = SocketLocalAddress(listener).port;
  SocketHandle client = SocketConnect("127.0.0.1", port);
  SocketHandle accepted = kInvalidSocket;
  MessageLoop::Current().RunUntil([&] { return (accepted = SocketAccept(listener, nullptr)) != kInvalidSocket; }, 5000);
  ASSERT_NE(accepted, kInvalidSocket);
  int nodelay = 0;
  socklen_t len = sizeof nodelay;
  ASSERT_EQ(::getsockopt(static_cast<int>(accepted), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
  EXPECT_NE(nodelay, 0);
  // Keep-alive finds a device that vanished without a word within about two minutes.
  const std::pair<int, int> keepalive[] = {
      {SOL_SOCKET, SO_KEEPALIVE}, {IPPROTO_TCP, TCP_KEEPIDLE}, {IPPROTO_TCP, TCP_KEEPINTVL}, {IPPROTO_TCP, TCP_KEEPCNT}};
  const int expected[] = {1, 60, 10, 5};
  for (std::size_t i = 0; i < std::size(keepalive); ++i) {
    int value = 0;
    len = sizeof value;
    ASSERT_EQ(::getsockopt(static_cast<int>(accepted), keepalive[i].first, keepalive[i].second, &value, &len), 0);
    EXPECT_EQ(value, expected[i]) << "option " << i;
  }
  SocketClose(accepted);
  SocketClose(client);
  SocketClose(listener);
}

// Both servers, out of descriptors with peers waiting to be accepted: they
// pause instead of spinning on the listener, say so once, and take the peers
// once descriptors are free again.
TEST(LoadSockets, ServersPauseAcceptingWhileDescriptorsRunOut) {
  MessageLoop& loop = MessageLoop::Current();
  TLineServer line;
  line.Port = u"0";
  line.Addr = u"127.0.0.1";
  std::vector<std::string> notices;
  line.OnNotice = [&](TObject*, const std::u16string& t) { notices.push_back(ToUtf8(t)); };
  line.Listen();
  TMonitorServer monitor;
  std::vector<int> accept_errors;
  monitor.OnClientError = [&](TObject*, TMonitorConnection*, TErrorEvent kind, int& code) {
    if (kind == eeAccept) accept_errors.push_back(code);
    code = 0;
  };
  monitor.Open();

  std::vector<SocketHandle> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(SocketConnect("127.0.0.1", line.BoundPort()));
    clients.push_back(SocketConnect("127.0.0.1", static_cast<std::uint16_t>(monitor.BoundPort())));
  }
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowest_free = ::dup(0);
  ASSERT_GE(lowest_free, 0);
  ::close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);  // no descriptor can be made now
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  auto cpu_ms = [] {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000L + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
  };
  const long cpu_before = cpu_ms();
  loop.RunFor(500);
  const long cpu_used = cpu_ms() - cpu_before;
  ::setrlimit(RLIMIT_NOFILE, &saved);

  EXPECT_LT(cpu_used, 150) << "the loop spins on a listener it cannot accept from";
  EXPECT_EQ(line.ClientCount(), 0);
  EXPECT_TRUE(line.AcceptPaused());
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].rfind("Cannot accept connections: ", 0), 0u) << notices[0];
  EXPECT_EQ(accept_errors, std::vector<int>{EMFILE});
  // The loop refuses to watch each listener again once (epoll without memory):
  // the pause goes on, and the retry after it succeeds.
  g_refused_adds = 2;
  ASSERT_TRUE(loop.RunUntil([&] { return line.ClientCount() == 3 && monitor.ConnectionCount() == 3; }, 5000));
  EXPECT_EQ(g_refused_adds, 0);
  EXPECT_EQ(notices.back(), "Accepting connections again");
  EXPECT_EQ(accept_errors.size(), 1u);
  for (SocketHandle c : clients) SocketClose(c);
}

// A connection the loop refuses to watch again after its slice (epoll without
// memory) is closed and reported, never left unwatched, and the one served
// after it in that turn carries on.
TEST(LoadSockets, ARefusedRewatchClosesTheConnectionAndStrandsNoOther) {
  MessageLoop& loop = MessageLoop::Current();
  TLineServer line;
  line.Port = u"0";
  line.Addr = u"127.0.0.1";
  line.LinesPerSlice = 1;
  std::vector<std::string> notices, lines;
  std::vector<std::uint16_t> gone;
  line.OnNotice = [&](TObject*, const std::u16string& t) { notices.push_back(ToUtf8(t)); };
  line.OnClientConnect = [&](TObject*, TLineConnection* c, std::uint16_t) {
    c->LineMode = true;
    c->OnDataAvailable = [&lines, c](TObject*, std::uint16_t) { lines.push_back(ToUtf8(c->ReceiveStr())); };
  };
  line.OnClientDisconnect = [&](TObject*, TLineConnection*, std::uint16_t e) { gone.push_back(e); };
  line.Listen();
  test::LineClient a(line.BoundPort()), b(line.BoundPort());
  ASSERT_TRUE(loop.RunUntil([&] { return line.ClientCount() == 2; }, 5000));
  a.Send("a1\r\na2\r\n");
  b.Send("b1\r\nb2\r\n");
  g_refused_adds = 1;  // a's return from its slices
  ASSERT_TRUE(a.WaitClosed());
  ASSERT_TRUE(loop.RunUntil([&] { return lines.size() == 4 && gone.size() == 1; }, 5000));
  EXPECT_EQ(gone[0], ENOMEM);
  EXPECT_NE(notices.back().find("cannot be watched"), std::string::npos) << notices.back();
  b.Send("b3\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return lines.size() == 5; }, 5000));
  EXPECT_EQ(lines, (std::vector<std::string>{"a1\r\n", "b1\r\n", "a2\r\n", "b2\r\n", "b3\r\n"}));
}

TEST(LoadValgrind, AShortMixedRunLeaksNothing) {
  if (!HaveValgrind()) GTEST_SKIP() << "valgrind is not installed";
  HostProcess::Options o;
  o.host_args = {"--policy", "allow"};
  o.valgrind = true;
  HostProcess host(o);
  ASSERT_TRUE(host.Started()) << host.Failure();
  ASSERT_TRUE(host.WaitReady(120000)) << host.Stderr();
  Fleet fleet;
  for (int i = 0; i < 8; ++i) {
    DeviceConfig c;
    c.leave_chance = 0.4;
    c.answer_timeout_ms = 30000;
    fleet.Add(Kind::kCards, c);
  }
  fleet.Add(Kind::kGarbage);
  fleet.Add(Kind::kEndless);
  fleet.Add(Kind::kPinger);
  fleet.Start();
  fleet.Run(8000);
  fleet.Finish();
  ASSERT_TRUE(host.Alive()) << host.Stderr();
  host.Command("release");  // without Done: the object's own teardown
  const int status = host.WaitExit(120000);
  EXPECT_EQ(status, 0) << host.Stderr();
  EXPECT_EQ(host.Reports(), "") << host.Stderr();
  EXPECT_GT(fleet.Sum(Kind::kCards).gos, 0);
}

}  // namespace
}  // namespace axg::load
