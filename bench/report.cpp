// The figures as tables for people and as JSON for the record, each with its
// target and whether it was met.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/scenarios.h"

namespace axg::bench {

namespace {

constexpr double kIngestTarget = 0.8;
constexpr double kCardTarget = 0.9;
constexpr double kTimerMs = 10.0;
constexpr double kRssTargetKib = 16.0;
constexpr double kIdleCpuTargetPercent = 0.1;

const char* Mark(bool met) { return met ? "met" : "MISSED"; }

bool RushMet(const RushResult& x) {
  const double limit = x.devices * x.cards_per_s <= kRushHeavyCardsPerS ? kRushP99Ms : kRushHeavyP99Ms;
  return x.timed_out == 0 && x.card_go.Unanswered() == 0 && x.card_go.p.p99_ms <= limit;
}

bool CardOffMet(const LatencyResult& l) { return l.card_timer_off.samples == 0 || l.card_timer_off.p99_ms <= 1.0; }
bool CardOnMet(const LatencyResult& l) {
  return l.card_timer_on.samples == 0 || l.card_timer_on.p99_ms <= kTimerMs + 1.0;
}
bool GoMet(const LatencyResult& l) { return l.go_frame.p99_ms <= kTimerMs + 1.0; }

std::string Num(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string Pct(const Percentiles& p) {
  std::ostringstream o;
  o << "{\"samples\":" << p.samples << ",\"p50_ms\":" << Num(p.p50_ms) << ",\"p99_ms\":" << Num(p.p99_ms)
    << ",\"max_ms\":" << Num(p.max_ms) << "}";
  return o.str();
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  return out + "\"";
}


std::string Times(const AnswerTimes& a) {
  char buf[96];
  if (a.sent == 0) return "-";
  std::snprintf(buf, sizeof buf, "%.1f / %.1f / %.1f", a.p.p50_ms, a.p.p99_ms, a.p.max_ms);
  return buf;
}

std::string Answered(const AnswerTimes& a) {
  char buf[96];
  if (a.Unanswered() == 0) std::snprintf(buf, sizeof buf, "%d of %d", a.answered, a.sent);
  else std::snprintf(buf, sizeof buf, "%d of %d (%d timed out)", a.answered, a.sent, a.Unanswered());
  return buf;
}

std::string Callbacks(const CallbackFigures& c) {
  char buf[128];
  if (!c.read) return "not read";
  if (c.running_ms > c.max_ms)
    std::snprintf(buf, sizeof buf, ">= %.1f (running) / %.3f", c.running_ms, c.p99_ms);
  else if (c.stalled_ms > 0)
    std::snprintf(buf, sizeof buf, "%.2f / %.3f (stale)", c.max_ms, c.p99_ms);
  else
    std::snprintf(buf, sizeof buf, "%.2f / %.3f", c.max_ms, c.p99_ms);
  return buf;
}

bool EchoMet(const AnswerTimes& a, double target_ms) { return a.sent > 0 && a.Unanswered() == 0 && a.p.p99_ms <= target_ms; }
bool CallbackMet(const CallbackFigures& c, double target_ms) { return c.read && c.Longest() <= target_ms; }
bool AgainMet(const ExhaustResult& e) { return e.again_tried > 0 && e.again_greeted == e.again_tried; }

std::string Callbacks(const CallbackFigures& c, const char* name) {
  std::ostringstream o;
  o << "\"" << name << "\":{\"read\":" << (c.read ? "true" : "false") << ",\"callbacks\":" << c.callbacks
    << ",\"max_ms\":" << Num(c.max_ms) << ",\"p99_ms\":" << Num(c.p99_ms) << ",\"still_running_ms\":"
    << Num(c.running_ms) << ",\"turn_running_ms\":" << Num(c.stalled_ms) << "}";
  return o.str();
}

std::string Answers(const AnswerTimes& a, const char* name) {
  std::ostringstream o;
  o << "\"" << name << "\":{\"sent\":" << a.sent << ",\"answered\":" << a.answered << ",\"p50_ms\":"
    << Num(a.p.p50_ms) << ",\"p99_ms\":" << Num(a.p.p99_ms) << ",\"max_ms\":" << Num(a.p.max_ms) << "}";
  return o.str();
}

std::string SiteJson(const SiteStep& x) {
  std::ostringstream o;
  o << "{\"devices\":" << x.devices << ",\"device_rate\":" << Num(x.device_rate) << ",\"lines_per_s\":"
    << Num(x.lines_per_s) << "," << Answers(x.echo, "echo") << ",\"cpu_percent\":" << Num(x.cpu_percent) << ","
    << Callbacks(x.callbacks, "callbacks") << ",\"echo_met\":" << (x.met ? "true" : "false") << "}";
  return o.str();
}

}  // namespace

void PrintTables(const Options& o, const Results& r) {
  std::printf("\n=== ax_gate benchmarks%s ===\n", o.quick ? " (quick run)" : "");
  if (!r.ingest.empty()) {
    std::printf("\nIngest (lines/s; keep-alives and '#' reports; target ratio >= %.1f)\n", kIngestTarget);
    std::printf("%8s %14s %14s %8s %8s %22s %22s %11s\n", "devices", "ax_gate", "floor", "ratio", "target",
                "ax_gate us/line usr+sys", "floor us/line usr+sys", "host lost");
    for (const auto& i : r.ingest)
      std::printf("%8d %14.0f %14.0f %8.2f %8s %13.1f + %6.1f %13.1f + %6.1f %11llu\n", i.devices, i.full_lines_per_s,
                  i.floor_lines_per_s, i.ratio, Mark(i.ratio >= kIngestTarget), i.full_user_us, i.full_sys_us,
                  i.floor_user_us, i.floor_sys_us, static_cast<unsigned long long>(i.host_events_lost));
  }
  if (!r.cards.empty()) {
    std::printf("\nCard throughput (closed loop; bound = what the sweep's own rules allow at one pass per %.0f ms;\n"
                "target >= %.0f %%)\n",
                kTimerMs, kCardTarget * 100);
    std::printf("%8s %12s %10s %8s %8s %8s %10s %10s %8s %6s %8s\n", "devices", "requests/s", "bound/s", "of bound",
                "ticks/s", "model", "presented", "finished", "other", "lost", "target");
    for (const auto& c : r.cards)
      std::printf("%8d %12.1f %10.0f %7.0f%% %8.1f %8.2f %10llu %10llu %8llu %6llu %8s\n", c.devices,
                  c.completed_per_s, c.bound_per_s, c.fraction * 100, c.ticks_per_s, c.model_fraction,
                  static_cast<unsigned long long>(c.presented),
                  static_cast<unsigned long long>(c.finished), static_cast<unsigned long long>(c.other_end),
                  static_cast<unsigned long long>(c.lost), Mark(c.fraction >= kCardTarget && c.lost == 0));
    std::printf("ticks/s: 10 ms ticks the loop delivered; model: requests a pass the sweep's own rules allow\n"
                "(a pass goes on past the entries it drops), with every other delay zero; other: requests that ended\n"
                "by a time limit (NOANSWER, TIMEOUT) instead of a finished pass.\n");
  }
  if (!r.latency.empty()) {
    std::printf("\nLatency in ms (p50 / p99 / max)\n");
    std::printf("%8s %26s %26s %26s %26s\n", "devices", "card->request, timer off", "card->request, timer on",
                "GateOpen->GO frame", "10 ms timer's interval");
    for (const auto& l : r.latency) {
      auto cell = [](const Percentiles& p) {
        char buf[64];
        if (p.samples == 0) std::snprintf(buf, sizeof buf, "%s", "-");
        else std::snprintf(buf, sizeof buf, "%.2f / %.2f / %.2f", p.p50_ms, p.p99_ms, p.max_ms);
        return std::string(buf);
      };
      std::printf("%8d %26s %26s %26s %26s\n", l.devices, cell(l.card_timer_off).c_str(), cell(l.card_timer_on).c_str(),
                  cell(l.go_frame).c_str(), cell(l.tick_interval).c_str());
    }
    std::printf("%8s %26s %26s %26s\n", "target", "p99 <= 1 ms", "p99 <= 11 ms", "p99 <= 11 ms");
    std::printf("(the last column: how late the loop delivers a 10 ms timer while it serves the devices;\n"
                " the sweep's ticks, which send the GO frame, are as late)\n");
    for (const auto& l : r.latency)
      std::printf("%8d %26s %26s %26s\n", l.devices, Mark(CardOffMet(l)), l.card_timer_on.samples ? Mark(CardOnMet(l)) : "-",
                  Mark(GoMet(l)));
  }
  if (!r.sweep.empty()) {
    std::printf("\nSweep cost (one pass, entries waiting, each reported to the host)\n");
    std::printf("%8s %6s %14s %14s %16s\n", "entries", "trace", "ns/entry", "pass CPU (us)", "pass wall (us)");
    for (const auto& s : r.sweep)
      std::printf("%8d %6s %14.0f %14.1f %16.1f\n", s.entries, s.traced ? "on" : "off", s.ns_per_entry, s.pass_us,
                  s.pass_wall_us);
    std::printf("target: linear in n; a pass over 1000 entries well under %.0f ms\n", kTimerMs);
    std::printf("trace off: every hook is one null check (set AX_GATE_TRACE to switch it on)\n");
  }
  for (const auto& f : r.footprint) {
    std::printf("\nFootprint (%d connected devices)\n", f.devices);
    std::printf("%10s %16s %14s %14s %10s\n", "", "KiB per device", "RSS (KiB)", "idle CPU %", "wakeups");
    std::printf("%10s %16.2f %14ld %14.4f %10ld\n", "ax_gate", f.full_rss_per_device_kib, f.full_rss_idle_kib,
                f.full_cpu_percent, f.full_wakeups);
    std::printf("%10s %16.2f %14ld %14.4f %10ld\n", "floor", f.floor_rss_per_device_kib, f.floor_rss_idle_kib,
                f.floor_cpu_percent, f.floor_wakeups);
    std::printf("targets: <= %.0f KiB per device (%s); idle over %d s: 0 wakeups (%s), < %.1f %% CPU (%s)\n",
                kRssTargetKib, Mark(f.full_rss_per_device_kib <= kRssTargetKib), f.idle_seconds,
                Mark(f.full_wakeups == 0), kIdleCpuTargetPercent, Mark(f.full_cpu_percent < kIdleCpuTargetPercent));
    std::printf("after the last device left (right after a line): %ld wakeups in %d s (target 0: %s)\n",
                f.full_wakeups_gone, kGoneSeconds, Mark(f.full_wakeups_gone == 0));
  }
  for (const auto& f : r.flood) {
    std::printf("\nFlood (one peer sends %.0f blank lines/s for %d s, %d connections never read, one controller\n"
                "pinging every 100 ms with a card every second; unanswered requests count at their age)\n",
                f.flood_lines_per_s, f.seconds, f.idle);
    std::printf("%-34s %-34s %-22s %s\n", "figure", "value", "target", "");
    std::printf("%-34s %-34s %-22s %s\n", "PING->ECHO ms p50 / p99 / max", Times(f.echo).c_str(), "p99 <= 50 ms",
                Mark(EchoMet(f.echo, kFloodEchoP99Ms)));
    std::printf("%-34s %-34s\n", "  keep-alives answered", Answered(f.echo).c_str());
    std::printf("%-34s %-34s\n", "card->GO ms p50 / p99 / max", Times(f.card_go).c_str());
    std::printf("%-34s %-34s\n", "  cards answered", Answered(f.card_go).c_str());
    char checks[96];
    std::snprintf(checks, sizeof checks, "%llu requests for %d cards, %llu lost",
                  static_cast<unsigned long long>(f.requests), f.card_go.sent,
                  static_cast<unsigned long long>(f.checks_lost));
    std::printf("%-34s %-34s %-22s %s\n", "its CHECK events at the host", checks, "every one delivered",
                Mark(f.checks_ok));
    if (f.flood_lines_read >= 0) {
      const std::string read = std::to_string(f.flood_lines_read) + " of " + std::to_string(f.flood_lines_sent);
      std::printf("%-34s %-34s\n", "blank lines the add-in read", read.c_str());
    }
    std::printf("%-34s %-34.0f\n", "host CPU % of one core", f.cpu_percent);
    std::printf("%-34s %-34ld %-22s %s\n", "peak RSS KiB", f.peak_rss_kib, "<= 65536",
                Mark(f.peak_rss_kib > 0 && f.peak_rss_kib <= kFloodPeakRssKib));
    std::printf("%-34s %-34s %-22s %s\n", "longest callback ms max / p99", Callbacks(f.callbacks).c_str(),
                "max <= 20 ms", Mark(CallbackMet(f.callbacks, kFloodCallbackMs)));
  }
  for (const auto& s : r.site) {
    auto row = [](const SiteStep& x, bool targets) {
      std::printf("%8d %9.0f %24s %22s %7.1f %28s", x.devices, x.lines_per_s, Times(x.echo).c_str(),
                  Answered(x.echo).c_str(), x.cpu_percent, Callbacks(x.callbacks).c_str());
      if (targets)
        std::printf("  %s %s %s", Mark(EchoMet(x.echo, kSiteEchoP99Ms)), Mark(x.cpu_percent <= kSiteCpuPercent),
                    Mark(CallbackMet(x.callbacks, kSiteCallbackMs)));
      else
        std::printf("  %s", Mark(x.met));
      std::printf("\n");
    };
    std::printf("\nSite (every device one PING per second at its own phase; a probe pings every 100 ms and\n"
                "measures its ECHO; unanswered keep-alives count at their age)\n");
    std::printf("%8s %9s %24s %22s %7s %28s  %s\n", "devices", "lines/s", "ECHO ms p50/p99/max", "answered", "CPU %",
                "callback ms max / p99", "targets: ECHO p99 <= 20 ms, CPU <= 15 %, callback <= 10 ms");
    if (s.site.devices > 0) row(s.site, true);
    std::printf("\nSite line rate search (rising total rates until the probe's ECHO p99 exceeds %.0f ms)\n",
                kSiteEchoP99Ms);
    std::printf("%8s %9s %24s %22s %7s %28s  %s\n", "devices", "lines/s", "ECHO ms p50/p99/max", "answered", "CPU %",
                "callback ms max / p99", "ECHO p99 <= 20 ms");
    for (const SiteStep& x : s.search) row(x, false);
    std::printf("highest total line rate with ECHO p99 <= %.0f ms: %.0f lines/s (aim >= 2000: %s)\n", kSiteEchoP99Ms,
                s.best_rate, Mark(s.best_rate >= 2000));
  }
  for (const auto& e : r.exhaust) {
    std::printf("\nDescriptor exhaustion (the add-in's process may hold %ld descriptors; clients connect until it\n"
                "takes no more)\n",
                e.files);
    std::printf("%10s %14s %14s %10s %22s %10s\n", "clients", "taken", "CPU % while", "target", "new clients taken",
                "afterwards");
    std::printf("%10d %14d %14.1f %10s %22s %10s\n", e.clients, e.greeted, e.cpu_percent,
                Mark(e.cpu_percent <= kExhaustCpuPercent),
                (std::to_string(e.again_greeted) + " of " + std::to_string(e.again_tried)).c_str(), Mark(AgainMet(e)));
    std::printf("targets: CPU <= %.0f %% of one core while the limit holds (over %d s); connections accepted again\n"
                "once clients leave\n",
                kExhaustCpuPercent, e.seconds);
  }
  if (!r.script.empty()) {
    std::printf("\nSlow script (keep-alive every 5 s per controller; the script holds the host's thread a fixed time\n"
                "per event, CHECK of kind 0 its own, and answers every card \"TRUE\"; events a card: those that are\n"
                "not a keep-alive's, over the cards)\n");
    std::printf("%8s %6s %8s %8s %8s %8s %8s %20s %16s %7s %7s %9s %9s\n", "devices", "card s", "CHECK ms",
                "other ms", "Events", "ev/card", "thread", "events lost", "CHECK lost", "cards", "t/out", "GO p50 ms",
                "GO p99 ms");
    for (const auto& x : r.script)
      std::printf("%8d %6d %8.2f %8.2f %8s %8.1f %7.0f%% %20s %16s %7llu %7llu %9.0f %9.0f\n", x.row.devices,
                  x.row.card_ms / 1000, x.row.check_us / 1000.0, x.row.other_us / 1000.0, x.every ? "all" : "default",
                  x.EventsPerCard(), x.script_share * 100,
                  (std::to_string(x.events_lost) + " of " + std::to_string(x.events)).c_str(),
                  (std::to_string(x.checks_lost) + " of " + std::to_string(x.checks)).c_str(),
                  static_cast<unsigned long long>(x.cards), static_cast<unsigned long long>(x.timed_out),
                  x.frame.p50_ms, x.frame.p99_ms);
  }
  if (!r.rush.empty()) {
    std::printf("\nRush (cards at every controller, answered \"TRUE\" at once, the person through 500 ms after\n"
                "the GO, a keep-alive every 5 s; card -> GO frame at the controller)\n");
    std::printf("%8s %8s %8s %8s %10s %10s %10s %10s %8s %14s %8s\n", "devices", "cards/s", "offered", "cards",
                "p50 ms", "p99 ms", "max ms", "waiting", "timed", "CPU %", "target");
    for (const auto& x : r.rush)
      std::printf("%8d %8.1f %8.0f %8llu %10.1f %10.1f %10.1f %10d %8llu %14.0f %8s\n", x.devices, x.cards_per_s,
                  x.devices * x.cards_per_s, static_cast<unsigned long long>(x.cards), x.card_go.p.p50_ms,
                  x.card_go.p.p99_ms, x.card_go.p.max_ms, x.card_go.Unanswered(),
                  static_cast<unsigned long long>(x.timed_out), x.cpu_percent, Mark(RushMet(x)));
    std::printf("targets: nothing timed out or left waiting; p99 <= %.0f ms up to %.0f cards a second in all, <= %.0f "
                "ms beyond\n",
                kRushP99Ms, kRushHeavyCardsPerS, kRushHeavyP99Ms);
  }
  if (!r.flood.empty() || !r.site.empty())
    std::printf("(longest callback: \"running\": one had not returned when read, its age so far is shown;\n"
                " \"stale\": the loop was in a turn of many callbacks when read, the figures are from before it)\n");
  if (!r.flood.empty() || !r.site.empty() || !r.exhaust.empty())
    std::printf("(CPU figures: time on a CPU of the add-in's process over wall time; on a shared machine the\n"
                " other load inflates the latencies and stretches every callback it preempts)\n");
  for (const auto& e : r.errors) std::printf("error: %s\n", e.c_str());
  std::fflush(stdout);
}

bool WriteJson(const std::string& path, const Options& o, const Results& r) {
  std::ostringstream j;
  j << "{\n  \"quick\": " << (o.quick ? "true" : "false") << ",\n";
  j << "  \"ingest\": [";
  for (std::size_t i = 0; i < r.ingest.size(); ++i) {
    const auto& x = r.ingest[i];
    j << (i ? "," : "") << "\n    {\"devices\":" << x.devices << ",\"ax_gate_lines_per_s\":" << Num(x.full_lines_per_s)
      << ",\"floor_lines_per_s\":" << Num(x.floor_lines_per_s) << ",\"ratio\":" << Num(x.ratio)
      << ",\"target_ratio\":" << Num(kIngestTarget) << ",\"met\":" << (x.ratio >= kIngestTarget ? "true" : "false")
      << ",\"ax_gate_cpu_us_per_line\":{\"user\":" << Num(x.full_user_us) << ",\"system\":" << Num(x.full_sys_us)
      << "},\"floor_cpu_us_per_line\":{\"user\":" << Num(x.floor_user_us) << ",\"system\":" << Num(x.floor_sys_us)
      << "},\"host_events\":" << x.host_events << ",\"host_events_lost\":" << x.host_events_lost
      << ",\"note\":" << Quote(x.note) << "}";
  }
  j << "\n  ],\n  \"card_throughput\": [";
  for (std::size_t i = 0; i < r.cards.size(); ++i) {
    const auto& x = r.cards[i];
    j << (i ? "," : "") << "\n    {\"devices\":" << x.devices << ",\"completed_per_s\":" << Num(x.completed_per_s)
      << ",\"bound_per_s\":" << Num(x.bound_per_s) << ",\"fraction_of_bound\":" << Num(x.fraction)
      << ",\"ticks_per_s\":" << Num(x.ticks_per_s) << ",\"sweep_model_fraction\":" << Num(x.model_fraction)
      << ",\"presented\":" << x.presented << ",\"decision_requests\":" << x.requests << ",\"finished\":" << x.finished
      << ",\"ended_otherwise\":" << x.other_end << ",\"lost\":" << x.lost
      << ",\"host_events_lost\":" << x.host_events_lost << ",\"target_fraction\":" << Num(kCardTarget)
      << ",\"met\":" << (x.fraction >= kCardTarget && x.lost == 0 ? "true" : "false") << "}";
  }
  j << "\n  ],\n  \"latency\": [";
  for (std::size_t i = 0; i < r.latency.size(); ++i) {
    const auto& x = r.latency[i];
    j << (i ? "," : "") << "\n    {\"devices\":" << x.devices << ",\"card_to_request_timer_off\":" << Pct(x.card_timer_off)
      << ",\"card_to_request_timer_on\":" << Pct(x.card_timer_on) << ",\"gateopen_to_go\":" << Pct(x.go_frame)
      << ",\"timer_interval\":" << Pct(x.tick_interval)
      << ",\"misclassified\":" << x.misclassified << ",\"met\":{\"timer_off\":" << (CardOffMet(x) ? "true" : "false")
      << ",\"timer_on\":" << (CardOnMet(x) ? "true" : "false") << ",\"go\":" << (GoMet(x) ? "true" : "false") << "}}";
  }
  j << "\n  ],\n  \"sweep\": [";
  for (std::size_t i = 0; i < r.sweep.size(); ++i) {
    const auto& x = r.sweep[i];
    j << (i ? "," : "") << "\n    {\"entries\":" << x.entries << ",\"trace\":" << (x.traced ? "true" : "false")
      << ",\"ns_per_entry\":" << Num(x.ns_per_entry)
      << ",\"pass_cpu_us\":" << Num(x.pass_us) << ",\"pass_wall_us\":" << Num(x.pass_wall_us) << "}";
  }
  j << "\n  ],\n  \"footprint\": [";
  for (std::size_t i = 0; i < r.footprint.size(); ++i) {
    const auto& x = r.footprint[i];
    j << (i ? "," : "") << "\n    {\"devices\":" << x.devices << ",\"ax_gate_rss_per_device_kib\":"
      << Num(x.full_rss_per_device_kib) << ",\"floor_rss_per_device_kib\":" << Num(x.floor_rss_per_device_kib)
      << ",\"ax_gate_rss_kib\":" << x.full_rss_idle_kib << ",\"floor_rss_kib\":" << x.floor_rss_idle_kib
      << ",\"idle_seconds\":" << x.idle_seconds << ",\"ax_gate_idle_cpu_percent\":" << Num(x.full_cpu_percent)
      << ",\"floor_idle_cpu_percent\":" << Num(x.floor_cpu_percent) << ",\"ax_gate_wakeups\":" << x.full_wakeups
      << ",\"floor_wakeups\":" << x.floor_wakeups << ",\"ax_gate_wakeups_after_last_left\":" << x.full_wakeups_gone
      << ",\"met\":{\"rss\":"
      << (x.full_rss_per_device_kib <= kRssTargetKib ? "true" : "false")
      << ",\"wakeups\":" << (x.full_wakeups == 0 ? "true" : "false")
      << ",\"wakeups_after_last_left\":" << (x.full_wakeups_gone == 0 ? "true" : "false")
      << ",\"cpu\":" << (x.full_cpu_percent < kIdleCpuTargetPercent ? "true" : "false") << "}}";
  }
  j << "\n  ],\n  \"flood\": [";
  for (std::size_t i = 0; i < r.flood.size(); ++i) {
    const auto& x = r.flood[i];
    j << (i ? "," : "") << "\n    {\"idle_connections\":" << x.idle << ",\"seconds\":" << x.seconds
      << ",\"flood_lines_per_s\":" << Num(x.flood_lines_per_s) << ",\"flood_lines_sent\":" << x.flood_lines_sent
      << ",\"flood_lines_read\":" << x.flood_lines_read << "," << Answers(x.echo, "echo") << ","
      << Answers(x.card_go, "card_go") << ",\"cards_skipped\":" << x.cards_skipped << ",\"check_requests\":"
      << x.requests << ",\"other_checks\":" << x.other_checks << ",\"checks_lost\":" << x.checks_lost
      << ",\"cpu_percent\":" << Num(x.cpu_percent) << ",\"peak_rss_kib\":" << x.peak_rss_kib << ","
      << Callbacks(x.callbacks, "callbacks") << ",\"met\":{\"echo_p99\":"
      << (EchoMet(x.echo, kFloodEchoP99Ms) ? "true" : "false") << ",\"checks\":" << (x.checks_ok ? "true" : "false")
      << ",\"peak_rss\":" << (x.peak_rss_kib > 0 && x.peak_rss_kib <= kFloodPeakRssKib ? "true" : "false")
      << ",\"callback\":" << (CallbackMet(x.callbacks, kFloodCallbackMs) ? "true" : "false") << "}}";
  }
  j << "\n  ],\n  \"site\": [";
  for (std::size_t i = 0; i < r.site.size(); ++i) {
    const auto& x = r.site[i];
    j << (i ? "," : "") << "\n    {\"site\":" << SiteJson(x.site) << ",\"met\":{\"echo_p99\":"
      << (EchoMet(x.site.echo, kSiteEchoP99Ms) ? "true" : "false")
      << ",\"cpu\":" << (x.site.cpu_percent <= kSiteCpuPercent ? "true" : "false")
      << ",\"callback\":" << (CallbackMet(x.site.callbacks, kSiteCallbackMs) ? "true" : "false")
      << "},\"search\":[";
    for (std::size_t k = 0; k < x.search.size(); ++k) j << (k ? "," : "") << SiteJson(x.search[k]);
    j << "],\"best_lines_per_s\":" << Num(x.best_rate) << "}";
  }
  j << "\n  ],\n  \"descriptor_exhaustion\": [";
  for (std::size_t i = 0; i < r.exhaust.size(); ++i) {
    const auto& x = r.exhaust[i];
    j << (i ? "," : "") << "\n    {\"files\":" << x.files << ",\"clients\":" << x.clients << ",\"taken\":" << x.greeted
      << ",\"limit_reached\":" << (x.limit_reached ? "true" : "false") << ",\"seconds\":" << x.seconds
      << ",\"cpu_percent\":" << Num(x.cpu_percent) << ",\"again_tried\":"
      << x.again_tried << ",\"again_taken\":" << x.again_greeted << ",\"met\":{\"cpu\":"
      << (x.cpu_percent <= kExhaustCpuPercent ? "true" : "false") << ",\"accepts_again\":"
      << (AgainMet(x) ? "true" : "false") << "}}";
  }
  j << "\n  ],\n  \"slow_script\": [";
  for (std::size_t i = 0; i < r.script.size(); ++i) {
    const auto& x = r.script[i];
    j << (i ? "," : "") << "\n    {\"devices\":" << x.row.devices << ",\"card_every_ms\":" << x.row.card_ms
      << ",\"script_us_per_check\":" << x.row.check_us << ",\"script_us_per_other_event\":" << x.row.other_us
      << ",\"events_setting\":" << (x.every ? "\"all\"" : "\"default\"") << ",\"seconds\":" << x.seconds << ",\"thread_share_in_script\":" << Num(x.script_share)
      << ",\"events\":" << x.events << ",\"events_lost\":" << x.events_lost << ",\"cards\":" << x.cards
      << ",\"check_requests\":" << x.requests << ",\"checks\":" << x.checks << ",\"checks_lost\":" << x.checks_lost
      << ",\"opened\":" << x.opened << ",\"timed_out\":" << x.timed_out << ",\"no_answer\":" << x.no_answer
      << ",\"keepalive_events\":" << x.alive_events << ",\"events_per_card\":" << Num(x.EventsPerCard())
      << ",\"card_to_go_p50_ms\":" << Num(x.frame.p50_ms) << ",\"card_to_go_p99_ms\":" << Num(x.frame.p99_ms) << "}";
  }
  j << "\n  ],\n  \"rush\": [";
  for (std::size_t i = 0; i < r.rush.size(); ++i) {
    const auto& x = r.rush[i];
    j << (i ? "," : "") << "\n    {\"devices\":" << x.devices << ",\"cards_per_s\":" << Num(x.cards_per_s)
      << ",\"seconds\":" << x.seconds << ",\"cards\":" << x.cards << ",\"card_go\":" << Pct(x.card_go.p)
      << ",\"waiting\":" << x.card_go.Unanswered() << ",\"timed_out\":" << x.timed_out
      << ",\"cpu_percent\":" << Num(x.cpu_percent) << ",\"longest_callback_ms\":" << Num(x.callbacks.Longest())
      << ",\"met\":" << (RushMet(x) ? "true" : "false") << "}";
  }
  j << "\n  ],\n  \"errors\": [";
  for (std::size_t i = 0; i < r.errors.size(); ++i) j << (i ? "," : "") << Quote(r.errors[i]);
  j << "]\n}\n";
  std::ofstream out(path);
  out << j.str();
  return static_cast<bool>(out);
}

}  // namespace axg::bench
