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
    std::printf("\nCard throughput (closed loop; bound = one request per %.0f ms timer interval; target >= %.0f %%)\n",
                kTimerMs, kCardTarget * 100);
    std::printf("%8s %12s %10s %8s %8s %8s %10s %10s %8s %6s %8s\n", "devices", "requests/s", "bound/s", "of bound",
                "ticks/s", "model", "presented", "finished", "other", "lost", "target");
    for (const auto& c : r.cards)
      std::printf("%8d %12.1f %10.0f %7.0f%% %8.1f %7.0f%% %10llu %10llu %8llu %6llu %8s\n", c.devices,
                  c.completed_per_s, c.bound_per_s, c.fraction * 100, c.ticks_per_s, c.model_fraction * 100,
                  static_cast<unsigned long long>(c.presented),
                  static_cast<unsigned long long>(c.finished), static_cast<unsigned long long>(c.other_end),
                  static_cast<unsigned long long>(c.lost), Mark(c.fraction >= kCardTarget && c.lost == 0));
    std::printf("ticks/s: 10 ms ticks the loop delivered; model: share of the bound the sweep's own rules allow\n"
                "(a pass ends at the entry it drops), with every other delay zero; other: requests that ended\n"
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
  }
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
      << ",\"floor_wakeups\":" << x.floor_wakeups << ",\"met\":{\"rss\":"
      << (x.full_rss_per_device_kib <= kRssTargetKib ? "true" : "false")
      << ",\"wakeups\":" << (x.full_wakeups == 0 ? "true" : "false")
      << ",\"cpu\":" << (x.full_cpu_percent < kIdleCpuTargetPercent ? "true" : "false") << "}}";
  }
  j << "\n  ],\n  \"errors\": [";
  for (std::size_t i = 0; i < r.errors.size(); ++i) j << (i ? "," : "") << Quote(r.errors[i]);
  j << "]\n}\n";
  std::ofstream out(path);
  out << j.str();
  return static_cast<bool>(out);
}

}  // namespace axg::bench
