#pragma once
// The measured scenarios and their results. Every network scenario runs the
// add-in and, where there is one, its floor in child processes of this program
// and drives them from this process's message loop.
#include <cstdint>
#include <string>
#include <vector>

namespace axg::bench {

// Targets of the load scenarios.
inline constexpr double kFloodEchoP99Ms = 50;
inline constexpr double kFloodPeakRssKib = 64 * 1024;
inline constexpr double kFloodCallbackMs = 20;
inline constexpr double kSiteEchoP99Ms = 20;
inline constexpr double kSiteCpuPercent = 15;
inline constexpr double kSiteCallbackMs = 10;
inline constexpr double kExhaustCpuPercent = 5;
// rush: card -> GO p99 up to 100 cards a second in all, and beyond.
inline constexpr double kRushP99Ms = 25;
inline constexpr double kRushHeavyP99Ms = 40;
inline constexpr double kRushHeavyCardsPerS = 100;

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
  // flood: one peer sends blank lines as fast as it can, idle connections never
  // read, one controller pings every 100 ms and presents a card every second.
  int flood_seconds = 10;
  int flood_idle = 500;
  int settle_seconds = 10;      // after a window: the longest wait for answers still due
  // site: every device pings once a second, one probe pings every 100 ms; then the
  // highest total line rate at which the probe's ECHO p99 stays within target.
  int site_devices = 1000;
  int site_seconds = 15;
  int search_step_seconds = 5;
  std::vector<int> search_rates = {50, 100, 200, 400, 1000, 2000, 4000, 8000};  // lines/s of all devices
  // descriptor exhaustion: the add-in's process may hold this few descriptors.
  int exhaust_files = 32;
  int exhaust_clients = 64;
  int exhaust_seconds = 3;
  // slow script: controllers with a keep-alive every 5 s and a card every card_ms
  // each (each at its own phase); the host's script holds the thread check_us for
  // a decision request (CHECK of kind 0) and other_us for every other event it is
  // handed, and answers every card "TRUE". A careless script pays the same for
  // every event; one that follows the guide looks the card up and leaves the rest
  // at once. Each row runs with the add-in's Events setting at its default and "all".
  struct ScriptRow {
    int devices, card_ms, check_us, other_us;
  };
  std::vector<ScriptRow> script_rows = {
      {100, 5000, 1000, 1000},     {100, 5000, 5000, 5000},     {100, 5000, 5000, 50},
      {100, 5000, 20000, 50},      {300, 20000, 1000, 1000},    {1000, 60000, 1000, 1000},
      {1000, 60000, 5000, 5000},   {1000, 60000, 5000, 50},     {1000, 60000, 20000, 50},
  };
  int script_seconds = 10;
  int script_settle_seconds = 9;  // a request lives at most TimeOut + 2 s after its card
  // rush: every controller presents cards at its own phase, `cards_per_s` each
  // (the next one once its last request has ended), a keep-alive every 5 s; the
  // host answers "TRUE" at once and the person passes 500 ms after the GO.
  struct RushRow {
    int devices;
    double cards_per_s;
  };
  std::vector<RushRow> rush = {{100, 0.2}, {300, 0.2}, {500, 0.2}, {1000, 0.5}};
  int rush_seconds = 30;
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
  double model_fraction = 0;   // requests a pass the sweep itself allows (SweepModelFraction)
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

// The window in which the add-in's thread is watched after the last device left.
inline constexpr int kGoneSeconds = 2;

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
  // Over kGoneSeconds after the last device left right after a line, while the
  // broadcast it set off was still owed to the others.
  long full_wakeups_gone = 0;
};

struct SweepResult {
  int entries = 0;
  bool traced = false;      // the trace on, writing to a file
  double ns_per_entry = 0;  // CPU time
  double pass_us = 0;       // CPU time of one pass
  double pass_wall_us = 0;  // wall-clock time of one pass
};

// How long the add-in's callbacks held its thread (its loop's own figures).
struct CallbackFigures {
  bool read = false;            // the server published them
  std::uint64_t callbacks = 0;
  double max_ms = 0, p99_ms = 0;
  double running_ms = 0;        // when read, a callback had been running this long and had not returned
  double stalled_ms = 0;        // when read, the loop's timer had not ticked for this long: a turn of
                                // many callbacks, the figures above are from before it
  double Longest() const { return max_ms > running_ms ? max_ms : running_ms; }
};

// Request -> answer times at one controller, with the requests left unanswered
// after the wait counted at their age then.
struct AnswerTimes {
  Percentiles p;
  int sent = 0;
  int answered = 0;
  int Unanswered() const { return sent - answered; }
};

struct FloodResult {
  int idle = 0;
  int seconds = 0;
  double flood_lines_per_s = 0;   // blank lines the flooding peer got into its socket
  long long flood_lines_read = -1;  // of those, read by the add-in by the window's end (-1: unknown)
  long long flood_lines_sent = 0;
  AnswerTimes echo;               // PING -> ECHO
  AnswerTimes card_go;            // card -> GO
  int cards_skipped = 0;          // a second passed with the previous card still waiting
  std::uint64_t requests = 0;     // its decision requests (CHECK kind 0) raised to the host
  std::uint64_t other_checks = 0; // its other CHECK events (pass finished, time limits)
  std::uint64_t checks_lost = 0;  // of all those, found the host's queue full
  bool checks_ok = false;         // a request for every card, none lost
  double cpu_percent = 0;         // of one core, over the window
  long peak_rss_kib = 0;
  CallbackFigures callbacks;
};

struct SiteStep {
  int devices = 0;
  double device_rate = 0;         // lines/s asked of the devices together
  double lines_per_s = 0;         // all lines sent, the probe's included
  AnswerTimes echo;               // the probe's PING -> ECHO
  double cpu_percent = 0;
  CallbackFigures callbacks;
  bool met = false;               // ECHO p99 within target, nothing unanswered
};

struct SiteResult {
  SiteStep site;                  // one PING per device per second
  std::vector<SiteStep> search;   // rising rates, up to the first that missed
  double best_rate = 0;           // the highest rate met (0: none)
};

struct ExhaustResult {
  long files = 0;                 // the add-in's process's descriptor limit
  int clients = 0;
  bool limit_reached = false;     // connections waited to be accepted while the add-in took none
  int greeted = 0;                // connections the add-in took while the limit held
  int seconds = 0;
  double cpu_percent = 0;         // while the limit held
  int again_tried = 0, again_greeted = 0;  // new clients once the others left
};

struct ScriptResult {
  Options::ScriptRow row{};
  bool every = false;             // Events = "all": every live request reported on every pass
  int seconds = 0;
  double script_share = 0;        // of the host's thread's time, the part spent in the script
  std::uint64_t events = 0;       // external events raised
  std::uint64_t events_lost = 0;  // of those, found the host's queue (depth 500) full
  std::uint64_t cards = 0;        // cards presented
  std::uint64_t requests = 0;     // decision requests (CHECK kind 0) raised
  std::uint64_t checks = 0;       // CHECK events of every kind raised
  std::uint64_t checks_lost = 0;  // of those, found the queue full
  std::uint64_t opened = 0;       // GO frames the controllers received
  std::uint64_t timed_out = 0;    // requests that ended in TIMEOUT (kind 1)
  std::uint64_t no_answer = 0;    // ended by kind 3
  std::uint64_t alive_events = 0; // events made by keep-alives (their STATUS "HardReset" and LOG)
  Percentiles frame;              // card line sent -> its GO frame at the controller
  double EventsPerCard() const {
    return cards ? static_cast<double>(events - alive_events) / static_cast<double>(cards) : 0;
  }
};

struct RushResult {
  int devices = 0;
  double cards_per_s = 0;         // per controller
  int seconds = 0;
  std::uint64_t cards = 0;        // presented in the window
  AnswerTimes card_go;            // card -> GO frame; cards still without one counted at their age
  std::uint64_t timed_out = 0;    // requests the add-in ended by a time limit (kinds 1 and 3)
  std::uint64_t checks_lost = 0;  // CHECK events that found the host's queue (depth 500) full
  std::uint64_t events_lost = 0;  // events of any name that did
  double cpu_percent = 0;
  CallbackFigures callbacks;
};

struct Results {
  std::vector<IngestResult> ingest;
  std::vector<CardResult> cards;
  std::vector<LatencyResult> latency;
  std::vector<FootprintResult> footprint;
  std::vector<SweepResult> sweep;
  std::vector<FloodResult> flood;
  std::vector<SiteResult> site;
  std::vector<ExhaustResult> exhaust;
  std::vector<ScriptResult> script;
  std::vector<RushResult> rush;
  std::vector<std::string> errors;
};

// Requests completed per sweep pass when nothing but the sweep delays them.
double SweepModelFraction(int devices);

void RunIngest(const Options& o, Results& r);
void RunCards(const Options& o, Results& r);
void RunLatency(const Options& o, Results& r);
void RunFootprint(const Options& o, Results& r);
void RunFlood(const Options& o, Results& r);
void RunSite(const Options& o, Results& r);
void RunExhaust(const Options& o, Results& r);
void RunScript(const Options& o, Results& r);
void RunRush(const Options& o, Results& r);
// Google Benchmark: InitSweep takes its own --benchmark_* arguments out of argv.
void InitSweep(int* argc, char** argv);
void RunSweep(Results& r);

void PrintTables(const Options& o, const Results& r);
bool WriteJson(const std::string& path, const Options& o, const Results& r);

// Child side: "--serve full|floor <shm fd> <notify fd> ticks|- [files=N]".
int ServeMain(int argc, char** argv);

}  // namespace axg::bench
