#pragma once
// The measured scenarios and their results. Every network scenario runs the
// add-in and, where there is one, its floor in child processes of this program
// and drives them from this process's message loop.
#include <cstdint>
#include <string>
#include <vector>

namespace axg::bench {

struct Options {
  bool quick = false;
  int ingest_ms = 2000;        // measuring window per ingest phase
  int ingest_rounds = 2;       // floor, full, floor, full, ...
  int card_seconds = 6;        // closed-loop card run per device count
  int latency_samples = 150;   // per device count and timer state
  int idle_seconds = 30;       // footprint: idle window
  std::vector<int> ingest_devices = {1, 100, 1000};
  std::vector<int> card_devices = {10, 100};
  std::vector<int> latency_devices = {1, 100, 1000};
  int footprint_devices = 1000;
};

struct Percentiles {
  int samples = 0;
  double p50_ms = 0, p99_ms = 0, max_ms = 0;
};
Percentiles Summarise(std::vector<std::int64_t> ns);

struct IngestResult {
  int devices = 0;
  double full_lines_per_s = 0;
  double floor_lines_per_s = 0;
  double ratio = 0;
  // CPU per line in each server process, split into the program's own work and
  // the kernel's (socket calls), in microseconds.
  double full_user_us = 0, full_sys_us = 0, floor_user_us = 0, floor_sys_us = 0;
  std::uint64_t host_events = 0;
  std::uint64_t host_events_lost = 0;  // found the host's queue (depth 500) full
  std::string note;
};

struct CardResult {
  int devices = 0;
  double completed_per_s = 0;
  double bound_per_s = 0;
  double fraction = 0;
  double ticks_per_s = 0;      // 10 ms ticks the loop delivered per second
  double model_fraction = 0;   // what the sweep itself allows (SweepModelFraction)
  std::uint64_t presented = 0;
  std::uint64_t requests = 0;   // decision requests that reached the host
  std::uint64_t finished = 0;   // ended with the pass finished
  std::uint64_t other_end = 0;  // ended by a timeout or no answer
  std::uint64_t lost = 0;       // presented, never ended
  std::uint64_t host_events_lost = 0;
};

struct LatencyResult {
  int devices = 0;
  Percentiles card_timer_off;   // card line sent -> decision request at the host
  Percentiles card_timer_on;
  Percentiles go_frame;         // GateOpen -> "GO" frame at the device
  Percentiles tick_interval;    // between ticks of a 10 ms timer on the add-in's loop
  int misclassified = 0;        // samples whose stack did not match the phase
};

struct FootprintResult {
  int devices = 0;
  double full_rss_per_device_kib = 0;
  double floor_rss_per_device_kib = 0;
  long full_rss_idle_kib = 0;
  long floor_rss_idle_kib = 0;
  int idle_seconds = 0;
  double full_cpu_percent = 0;
  double floor_cpu_percent = 0;
  long full_wakeups = 0;
  long floor_wakeups = 0;
};

struct SweepResult {
  int entries = 0;
  bool traced = false;      // the trace on, writing to a file
  double ns_per_entry = 0;  // CPU time
  double pass_us = 0;       // CPU time of one pass
  double pass_wall_us = 0;  // wall-clock time of one pass
};

struct Results {
  std::vector<IngestResult> ingest;
  std::vector<CardResult> cards;
  std::vector<LatencyResult> latency;
  std::vector<FootprintResult> footprint;
  std::vector<SweepResult> sweep;
  std::vector<std::string> errors;
};

// Requests completed per sweep pass when nothing but the sweep delays them.
double SweepModelFraction(int devices);

void RunIngest(const Options& o, Results& r);
void RunCards(const Options& o, Results& r);
void RunLatency(const Options& o, Results& r);
void RunFootprint(const Options& o, Results& r);
// Google Benchmark: InitSweep takes its own --benchmark_* arguments out of argv.
void InitSweep(int* argc, char** argv);
void RunSweep(Results& r);

void PrintTables(const Options& o, const Results& r);
bool WriteJson(const std::string& path, const Options& o, const Results& r);

// Child side: "--serve full|floor <shm fd> <notify fd>".
int ServeMain(int argc, char** argv);

}  // namespace axg::bench
