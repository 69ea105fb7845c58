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
    "  --devices N         number of controllers (default 3)\n"
    "  --host ADDR         the add-in's address (default 127.0.0.1)\n"
    "  --port N            the add-in's port (default 1001)\n"
    "  --source ADDR       source address of the first controller; the others count\n"
    "                      up from it (default 127.0.0.2); --no-bind: system's choice\n"
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
    "  --connect-timeout MS  give up connecting after this (default 5000)\n"
    "  --seed N            random seed (default 1)\n"
    "  --quiet | --verbose only the summary | also every frame\n";

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

void PrintSummary(const std::vector<std::unique_ptr<SimDevice>>& devices, double seconds) {
  char line[256];
  std::printf("\nax_gate-devsim summary: %zu controller(s), %.1f s\n", devices.size(), seconds);
  std::printf("%-22s %8s %6s %8s %8s %7s %7s %7s %6s %6s\n", "controller/device", "requests",
              "opens", "refusals", "timeouts", "p50 ms", "p99 ms", "max ms", "pings", "echoes");
  DeviceStats all;
  std::vector<std::string> notes;
  auto row = [&](const std::string& name, const DeviceStats& s) {
    std::snprintf(line, sizeof line, "%-22s %8d %6d %8d %8d %7s %7s %7s %6d %6d", name.c_str(),
                  s.requests, s.opens, s.refusals, s.timeouts, Percentile(s.latency_ms, 0.5).c_str(),
                  Percentile(s.latency_ms, 0.99).c_str(), Percentile(s.latency_ms, 1.0).c_str(),
                  s.pings, s.echoes);
    std::printf("%s\n", line);
  };
  for (const auto& d : devices) {
    const DeviceStats& s = d->Stats();
    row(d->Name(), s);
    all.requests += s.requests;
    all.opens += s.opens;
    all.refusals += s.refusals;
    all.timeouts += s.timeouts;
    all.pings += s.pings;
    all.echoes += s.echoes;
    all.unsolicited += s.unsolicited;
    all.misrouted += s.misrouted;
    all.bad_frames += s.bad_frames;
    all.drops += s.drops;
    all.latency_ms.insert(all.latency_ms.end(), s.latency_ms.begin(), s.latency_ms.end());
    if (d->GaveUp()) notes.push_back(d->Name() + " never connected");
    if (d->Outstanding()) notes.push_back(d->Name() + " still waited for a decision at the end");
  }
  if (devices.size() > 1) row("all", all);
  if (all.unsolicited) notes.push_back(std::to_string(all.unsolicited) + " decision frame(s) with no card waiting");
  if (all.misrouted) notes.push_back(std::to_string(all.misrouted) + " frame(s) addressed to another device");
  if (all.bad_frames) notes.push_back(std::to_string(all.bad_frames) + " frame(s) with wrong check digits");
  if (all.drops) notes.push_back(std::to_string(all.drops) + " connection(s) closed by the add-in");
  for (const auto& n : notes) std::printf("note: %s\n", n.c_str());
  std::fflush(stdout);
}

int Run(int argc, char** argv) {
  SimOptions opt;
  double duration = 0;
  bool count_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(a + " wants a value");
      return argv[++i];
    };
    if (a == "--devices") opt.devices = static_cast<int>(ToLong(a, value(), 1, 250));
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
    else if (a == "--connect-timeout") opt.connect_timeout_ms = static_cast<int>(ToLong(a, value(), 0, 600000));
    else if (a == "--seed") opt.seed = static_cast<unsigned>(ToLong(a, value(), 0, 2147483647));
    else if (a == "--quiet") opt.verbosity = 0;
    else if (a == "--verbose") opt.verbosity = 2;
    else if (a == "--help" || a == "-h") { std::cout << kUsage; return 0; }
    else Usage("unknown option " + a);
  }
  if (!count_given && duration <= 0) opt.count = 5;
  for (const auto& c : opt.cards)
    if (c.empty() || c.find_first_of("\r\n") != std::string::npos) Usage("a card number must be one non-empty line");

  MessageLoop& loop = MessageLoop::Current();
  std::vector<std::unique_ptr<SimDevice>> devices;
  for (int i = 0; i < opt.devices; ++i) devices.push_back(std::make_unique<SimDevice>(i, opt));
  std::int64_t t0 = CurrentClock().MonotonicMs();
  for (auto& d : devices) d->Start();

  // Ends when every controller has presented its cards and seen them settled (or
  // could not connect), or when the duration is over.
  bool over = false;
  TimerId watch = loop.StartTimer(50, [&] {
    std::int64_t elapsed = CurrentClock().MonotonicMs() - t0;
    bool done = duration > 0 && static_cast<double>(elapsed) >= duration * 1000.0;
    if (!done && opt.count > 0)
      done = std::all_of(devices.begin(), devices.end(),
                         [](const auto& d) { return d->Finished() || d->GaveUp(); });
    if (!done && std::all_of(devices.begin(), devices.end(), [](const auto& d) { return d->GaveUp(); }))
      done = true;
    if (done && !over) {
      over = true;
      loop.Stop();
    }
  });
  loop.Run();
  loop.StopTimer(watch);
  // Let the last reports leave before the connections close.
  loop.RunFor(200);
  for (auto& d : devices) d->Shutdown();
  loop.RunFor(50);

  double seconds = static_cast<double>(CurrentClock().MonotonicMs() - t0) / 1000.0;
  PrintSummary(devices, seconds);
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
