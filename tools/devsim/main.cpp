// ax_gate-devsim: simulated gate controllers that connect to the add-in's port,
// present cards and behave like turnstiles, then print what each one saw.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/message_loop.h"
#include "platform/open_files.h"
#include "tools/devsim/sim_device.h"

namespace axg::devsim {
namespace {

const char kUsage[] =
    "usage: ax_gate-devsim [options]\n"
    "Simulated gate controllers for the ax_gate add-in. Each controller connects to\n"
    "the add-in from its own loopback address, presents cards, opens on a GO frame\n"
    "(relay report, then the finished pass), stays closed on a PH frame and sends\n"
    "PING keep-alives. A summary per controller is printed at the end.\n"
    "\n"
    "  --devices N         number of controllers, 1 to 10000 (default 3)\n"
    "  --host ADDR         the add-in's address (default 127.0.0.1)\n"
    "  --port N            the add-in's port (default 1001)\n"
    "  --source ADDR       source address of the first controller; the others count\n"
    "                      up from it (default 127.0.0.2, up to 127.0.39.17 for 10000\n"
    "                      controllers); --no-bind: system's choice\n"
    "  --first-device N    device address of the first controller (default 1 -> 0001)\n"
    "  --card X            a card number to present (repeatable)\n"
    "  --cards FILE        card numbers, one a line ('#' starts a comment)\n"
    "  --random            pick cards at random (random 10-digit numbers without a list)\n"
    "  --rate R            cards per second per controller (default 0.5)\n"
    "  --count N           cards per controller, then stop (default 5 without --duration)\n"
    "  --duration S        stop after S seconds\n"
    "  --pass-delay MS     relay report -> finished pass (default 500)\n"
    "  --answer-timeout MS card -> decision, else a timeout (default 10000)\n"
    "  --ping MS           keep-alive interval, 0 for none (default 3000)\n"
    "  --read-rate B       each controller reads at most B bytes a second, as one\n"
    "                      behind a slow serial bridge does; 0: as they arrive (default)\n"
    "  --connect-timeout MS  give up connecting after this (default 5000)\n"
    "  --connect-burst N   connects in progress at a time (default 4, below the\n"
    "                      add-in's listen backlog)\n"
    "  --seed N            random seed: the cards picked at random and each controller's\n"
    "                      phase, the random point within its keep-alive and card\n"
    "                      intervals where its first PING and first card come (default 1)\n"
    "  --progress S        a progress line on standard error every S seconds once the\n"
    "                      run has lasted 3 s; 0 for none (default 2)\n"
    "  --quiet | --verbose only the summary | also every frame\n"
    "With more than 100 controllers the summary shows only the totals, unless --verbose.\n";

[[noreturn]] void Usage(const std::string& why) {
  if (!why.empty()) std::cerr << "ax_gate-devsim: " << why << "\n";
  std::cerr << kUsage;
  std::exit(2);
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

long ToLong(const std::string& opt, const std::string& v, long lo, long hi) {
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || n < lo || n > hi)
    Usage(opt + " wants a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return n;
}

double ToDouble(const std::string& opt, const std::string& v) {
  char* end = nullptr;
  double d = std::strtod(v.c_str(), &end);
  if (v.empty() || *end != '\0' || !(d >= 0)) Usage(opt + " wants a number >= 0");
  return d;
}

void ReadCards(const std::string& path, std::vector<std::string>& cards) {
  std::ifstream in(path);
  if (!in) Usage("cannot read card list " + path);
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (!line.empty() && line[0] != '#') cards.push_back(line);
  }
}

std::string Percentile(std::vector<std::int64_t> v, double p) {
  if (v.empty()) return "-";
  std::sort(v.begin(), v.end());
  // Nearest rank.
  std::size_t rank = static_cast<std::size_t>(p * static_cast<double>(v.size()) + 0.999999);
  rank = std::clamp<std::size_t>(rank, 1, v.size());
  return std::to_string(v[rank - 1]);
}

// The totals of all controllers.
DeviceStats Totals(const std::vector<std::unique_ptr<SimDevice>>& devices, bool with_samples) {
  DeviceStats all;
  for (const auto& d : devices) {
    const DeviceStats& s = d->Stats();
    all.requests += s.requests;
    all.opens += s.opens;
    all.refusals += s.refusals;
    all.timeouts += s.timeouts;
    all.pings += s.pings;
    all.echoes += s.echoes;
    all.tests += s.tests;
    all.unsolicited += s.unsolicited;
    all.misrouted += s.misrouted;
    all.bad_frames += s.bad_frames;
    all.drops += s.drops;
    all.connects += s.connects;
    if (with_samples) {
      all.latency_ms.insert(all.latency_ms.end(), s.latency_ms.begin(), s.latency_ms.end());
      all.echo_ms.insert(all.echo_ms.end(), s.echo_ms.begin(), s.echo_ms.end());
    }
  }
  return all;
}

void PrintSummary(const std::vector<std::unique_ptr<SimDevice>>& devices, double seconds, bool rows, bool slow) {
  char line[320];
  std::printf("\nax_gate-devsim summary: %zu controller(s), %.1f s\n", devices.size(), seconds);
  std::printf("%-22s %8s %6s %8s %8s %7s %7s %7s %6s %6s %8s %8s\n", "controller/device", "requests",
              "opens", "refusals", "timeouts", "p50 ms", "p99 ms", "max ms", "pings", "echoes", "echo p50",
              "echo p99");
  std::vector<std::string> notes;
  auto row = [&](const std::string& name, const DeviceStats& s) {
    std::snprintf(line, sizeof line, "%-22s %8d %6d %8d %8d %7s %7s %7s %6d %6d %8s %8s", name.c_str(),
                  s.requests, s.opens, s.refusals, s.timeouts, Percentile(s.latency_ms, 0.5).c_str(),
                  Percentile(s.latency_ms, 0.99).c_str(), Percentile(s.latency_ms, 1.0).c_str(),
                  s.pings, s.echoes, Percentile(s.echo_ms, 0.5).c_str(), Percentile(s.echo_ms, 0.99).c_str());
    std::printf("%s\n", line);
  };
  int never = 0, waiting = 0;
  for (const auto& d : devices) {
    if (rows) row(d->Name(), d->Stats());
    if (d->GaveUp()) ++never;
    if (d->Outstanding()) ++waiting;
    if (rows && d->GaveUp()) notes.push_back(d->Name() + " never connected");
    if (rows && d->Outstanding()) notes.push_back(d->Name() + " still waited for a decision at the end");
  }
  const DeviceStats all = Totals(devices, true);
  if (devices.size() > 1) row("all", all);
  if (!rows && never) notes.push_back(std::to_string(never) + " controller(s) never connected");
  if (!rows && waiting) notes.push_back(std::to_string(waiting) + " controller(s) still waited for a decision at the end");
  if (all.unsolicited) notes.push_back(std::to_string(all.unsolicited) + " decision frame(s) with no card waiting");
  if (all.misrouted) notes.push_back(std::to_string(all.misrouted) + " frame(s) addressed to another device");
  if (all.bad_frames) notes.push_back(std::to_string(all.bad_frames) + " frame(s) with wrong check digits");
  if (slow) notes.push_back(std::to_string(all.tests) + " \"test\" text(s) received");
  if (all.drops) notes.push_back(std::to_string(all.drops) + " connection(s) closed by the add-in");
  for (const auto& n : notes) std::printf("note: %s\n", n.c_str());
  std::fflush(stdout);
}

// One line on standard error: how far the run has come.
void PrintProgress(const std::vector<std::unique_ptr<SimDevice>>& devices, double seconds) {
  int connected = 0, connecting = 0, gave_up = 0;
  for (const auto& d : devices) {
    connected += d->Connected() ? 1 : 0;
    connecting += d->Connecting() ? 1 : 0;
    gave_up += d->GaveUp() ? 1 : 0;
  }
  const DeviceStats all = Totals(devices, false);
  std::fprintf(stderr,
               "ax_gate-devsim: %6.1f s  connected %d/%zu (%d connecting, %d gave up)  cards %d: %d opened, "
               "%d refused, %d timed out  PING %d ECHO %d  dropped %d\n",
               seconds, connected, devices.size(), connecting, gave_up, all.requests, all.opens, all.refusals,
               all.timeouts, all.pings, all.echoes, all.drops);
}

// The source address of the last controller stays inside the loopback network
// (127.0.0.0/8) when the first one is in it.
bool SourcesFit(const std::string& base, int devices) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  char tail = 0;
  if (base.empty() || std::sscanf(base.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4) return true;
  if (a != 127 || b > 255 || c > 255 || d > 255) return true;
  const std::uint64_t first = std::uint64_t{b} << 16 | c << 8 | d;
  return first + static_cast<std::uint64_t>(devices) - 1 <= 0xFFFFFE;  // below 127.255.255.255
}

int Run(int argc, char** argv) {
  SimOptions opt;
  double duration = 0;
  bool count_given = false;
  int burst = 4;
  double progress_s = 2;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(a + " wants a value");
      return argv[++i];
    };
    if (a == "--devices") opt.devices = static_cast<int>(ToLong(a, value(), 1, 10000));
    else if (a == "--host") opt.host = value();
    else if (a == "--port") opt.port = static_cast<std::uint16_t>(ToLong(a, value(), 1, 65535));
    else if (a == "--source") opt.source_base = value();
    else if (a == "--no-bind") opt.source_base.clear();
    else if (a == "--first-device") opt.first_device = static_cast<int>(ToLong(a, value(), 0, 9999));
    else if (a == "--card") opt.cards.push_back(Trim(value()));
    else if (a == "--cards") ReadCards(value(), opt.cards);
    else if (a == "--random") opt.random = true;
    else if (a == "--rate") opt.rate = ToDouble(a, value());
    else if (a == "--count") { opt.count = static_cast<int>(ToLong(a, value(), 0, 1000000)); count_given = true; }
    else if (a == "--duration") duration = ToDouble(a, value());
    else if (a == "--pass-delay") opt.pass_delay_ms = static_cast<int>(ToLong(a, value(), 0, 600000));
    else if (a == "--answer-timeout") opt.answer_timeout_ms = static_cast<int>(ToLong(a, value(), 1, 600000));
    else if (a == "--ping") opt.ping_ms = static_cast<int>(ToLong(a, value(), 0, 600000));
    else if (a == "--read-rate") opt.read_rate = static_cast<int>(ToLong(a, value(), 0, 100000000));
    else if (a == "--connect-timeout") opt.connect_timeout_ms = static_cast<int>(ToLong(a, value(), 0, 600000));
    else if (a == "--connect-burst") burst = static_cast<int>(ToLong(a, value(), 1, 1000));
    else if (a == "--progress") progress_s = ToDouble(a, value());
    else if (a == "--seed") opt.seed = static_cast<unsigned>(ToLong(a, value(), 0, 2147483647));
    else if (a == "--quiet") opt.verbosity = 0;
    else if (a == "--verbose") opt.verbosity = 2;
    else if (a == "--help" || a == "-h") { std::cout << kUsage; return 0; }
    else Usage("unknown option " + a);
  }
  if (!count_given && duration <= 0) opt.count = 5;
  for (const auto& c : opt.cards)
    if (c.empty() || c.find_first_of("\r\n") != std::string::npos) Usage("a card number must be one non-empty line");

  if (!SourcesFit(opt.source_base, opt.devices))
    Usage(std::to_string(opt.devices) + " controllers from " + opt.source_base +
          " would leave the loopback network 127.0.0.0/8");
  // One socket per controller, and a few for the loop and the standard streams.
  const long want_files = opt.devices + 32;
  const long files = RaiseOpenFileLimit(want_files);
  if (files >= 0 && files < want_files) {
    std::fprintf(stderr,
                 "ax_gate-devsim: %d controllers need about %ld open descriptors, but this process may have "
                 "only %ld (hard limit). Raise it (e.g. `ulimit -Hn %ld` as root, or in\n"
                 "/etc/security/limits.conf) or run fewer controllers.\n",
                 opt.devices, want_files, files, want_files);
    return 2;
  }

  MessageLoop& loop = MessageLoop::Current();
  std::vector<std::unique_ptr<SimDevice>> devices;
  for (int i = 0; i < opt.devices; ++i) devices.push_back(std::make_unique<SimDevice>(i, opt));
  std::int64_t t0 = CurrentClock().MonotonicMs();

  // The controllers start a few at a time: a listener takes only a handful of
  // connections waiting to be accepted, and a connect beyond that waits for the
  // system's retry, a second or more. Each controller's connect timeout counts
  // from its own start.
  std::size_t next_start = 0;
  std::vector<SimDevice*> starting;
  auto start_more = [&] {
    std::erase_if(starting, [](SimDevice* d) { return !d->Connecting(); });
    while (next_start < devices.size() && starting.size() < static_cast<std::size_t>(burst)) {
      SimDevice* d = devices[next_start++].get();
      d->Start();
      if (d->Connecting()) starting.push_back(d);
    }
  };
  start_more();
  TimerId starter = loop.StartTimer(1, [&] {
    start_more();
    if (next_start >= devices.size() && starting.empty() && starter != 0) {
      loop.StopTimer(starter);
      starter = 0;
    }
  });
  TimerId progress = 0;
  const auto every_ms = static_cast<std::int64_t>(std::max(progress_s * 1000.0, 100.0));
  std::int64_t next_ms = std::max<std::int64_t>(3000, every_ms);
  if (progress_s > 0) {
    progress = loop.StartTimer(100, [&] {
      const std::int64_t elapsed = CurrentClock().MonotonicMs() - t0;
      if (elapsed < next_ms) return;
      while (next_ms <= elapsed) next_ms += every_ms;
      PrintProgress(devices, static_cast<double>(elapsed) / 1000.0);
    });
  }

  // Ends when every controller has presented its cards and seen them settled (or
  // could not connect), or when the duration is over.
  bool over = false;
  TimerId watch = loop.StartTimer(50, [&] {
    std::int64_t elapsed = CurrentClock().MonotonicMs() - t0;
    bool done = duration > 0 && static_cast<double>(elapsed) >= duration * 1000.0;
    const bool all_started = next_start >= devices.size();
    if (!done && all_started && opt.count > 0)
      done = std::all_of(devices.begin(), devices.end(),
                         [](const auto& d) { return d->Finished() || d->GaveUp(); });
    if (!done && all_started &&
        std::all_of(devices.begin(), devices.end(), [](const auto& d) { return d->GaveUp(); }))
      done = true;
    if (done && !over) {
      over = true;
      loop.Stop();
    }
  });
  loop.Run();
  loop.StopTimer(watch);
  if (starter != 0) loop.StopTimer(starter);
  if (progress != 0) loop.StopTimer(progress);
  // Let the last reports leave before the connections close.
  loop.RunFor(200);
  for (auto& d : devices) d->Shutdown();
  loop.RunFor(50);

  double seconds = static_cast<double>(CurrentClock().MonotonicMs() - t0) / 1000.0;
  PrintSummary(devices, seconds, devices.size() <= 100 || opt.verbosity >= 2, opt.read_rate > 0);
  bool any_gave_up = std::any_of(devices.begin(), devices.end(), [](const auto& d) { return d->GaveUp(); });
  if (any_gave_up) {
    std::fprintf(stderr,
                 "ax_gate-devsim: could not connect to %s:%u. Is ax_gate-host running and has "
                 "Start returned TRUE?\n",
                 opt.host.c_str(), static_cast<unsigned>(opt.port));
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace axg::devsim

int main(int argc, char** argv) { return axg::devsim::Run(argc, argv); }
