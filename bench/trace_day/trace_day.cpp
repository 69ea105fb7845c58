// axg_trace_day: a day of a large site as the add-in's own trace writer writes it,
// to measure ax_gate-trace and its web page (--html) at that size.
//
//   axg_trace_day OUT.jsonl [--devices 1000] [--requests 100] [--ping 120] [--seed 1]
//                 [--date 2026-12-09] [--mib 32] [--files 8]
//
// A clock of its own runs through the day (UTC midnight to midnight) and TTrace's
// hooks are called in the order the add-in calls them for each thing that happens:
// controllers with two devices each connect at midnight and send a keep-alive every
// --ping seconds; every device presents about --requests cards over the day (busiest
// at 8, 13 and 17:30). Most cards open the gate, some are refused, a few the script
// never answers or the device never reports the pass; the script answers slowly from
// 14:00 to 15:00, a few controllers reconnect every hour, and one goes quiet at
// 10:30. While a gate stands open, the sweep reminds the script of it once a
// second, as it does by default. The same seed gives the same trace; the files rotate at --mib.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/text.h"
#include "trace/TTrace.h"

namespace axg {
namespace {

constexpr std::int64_t kDayMs = 86400 * 1000;

// The day's clock: moved to each event's time before its hooks run.
class DayClock : public Clock {
 public:
  std::int64_t midnight_ms = 0;
  std::int64_t at_us = 0;  // since midnight
  double TimeOfDay() override { return static_cast<double>(at_us % (kDayMs * 1000)) / (kDayMs * 1000.0); }
  double Now() override { return 25569.0 + static_cast<double>(midnight_ms + at_us / 1000) / kDayMs; }
  std::int64_t MonotonicMs() override { return MonotonicUs() / 1000; }
  std::int64_t WallMs() override { return midnight_ms + at_us / 1000; }
  std::int64_t MonotonicUs() override { return 5000000000 + at_us; }
};

struct Event {
  std::int64_t us;
  std::uint64_t seq;  // events of one time run in the order made
  std::function<void()> run;
};

struct Request {
  std::u16string ip, port, device, card, prefix;
  std::uint64_t id = 0;
};

struct Options {
  std::string out;
  int devices = 1000, requests = 100, ping_s = 120, mib = 32, files = 8;
  unsigned seed = 1;
  std::string date = "2026-12-09";
};

[[noreturn]] void Usage() {
  std::cerr << "usage: axg_trace_day OUT.jsonl [--devices N] [--requests N] [--ping S] [--seed N] "
               "[--date YYYY-MM-DD] [--mib N] [--files N]\n";
  std::exit(2);
}

class Day {
 public:
  Day(const Options& o, TTrace& trace) : o_(o), trace_(trace), rnd_(o.seed) {}

  void Make() {
    const int controllers = (o_.devices + 1) / 2;
    const int flaky = std::max(1, controllers / 100);
    At(0, [this] { trace_.HostCall(u"Start", {}, u"TRUE"); });
    for (int c = 0; c < controllers; ++c) {
      const std::u16string ip = FromUtf8("127." + std::to_string(1 + c / 65025) + "." +
                                         std::to_string((c / 255) % 255) + "." + std::to_string(1 + c % 255));
      auto port = std::make_shared<int>(40000 + c % 20000);
      const double start = Uniform(0, 2000);
      At(start, [this, ip, port] { trace_.Accepted(ip, IntToStr(*port)); });
      if (c >= 10 && c < 10 + flaky) {
        for (int h = 1; h < 24; ++h) {
          const double cut = h * 3600e3 + Uniform(0, 600e3);
          At(cut, [this, ip, port] { trace_.Closed(ip, IntToStr(*port), ECONNRESET); });
          At(cut + 3000, [this, ip, port] {
            ++*port;
            trace_.Accepted(ip, IntToStr(*port));
          });
        }
      }
      const bool quiet = c == 5;
      const double end = quiet ? 10.5 * 3600e3 : kDayMs - 1000;
      for (double t = start + Uniform(0, o_.ping_s * 1000.0); t < end; t += o_.ping_s * 1000.0)
        At(t, [this, ip, port] { Ping(ip, IntToStr(*port)); });
      if (c % 97 == 3)
        At(Uniform(9 * 3600e3, 18 * 3600e3), [this, ip, port] {
          trace_.Fault(u"Line limit exceeded from " + ip + u"/" + IntToStr(*port));
        });
      for (int d = 0; d < 2 && 2 * c + d < o_.devices; ++d)
        for (int i = 0; i < o_.requests; ++i) Card(ip, port, d == 0 ? u"0001" : u"0002", quiet ? end : kDayMs);
    }
  }

  void Run(DayClock& clock) {
    std::sort(events_.begin(), events_.end(),
              [](const Event& a, const Event& b) { return a.us != b.us ? a.us < b.us : a.seq < b.seq; });
    for (Event& e : events_) {
      clock.at_us = e.us;
      e.run();
      e.run = nullptr;
    }
  }
  std::size_t Requests() const { return requests_; }

 private:
  double Uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rnd_); }
  void At(double ms, std::function<void()> fn) {
    events_.push_back({static_cast<std::int64_t>(ms * 1000), seq_++, std::move(fn)});
  }

  // A line from a device, handled as the connector and the controller handle it:
  // the line, its log line as read, what `handle` makes of it.
  void Line(const std::u16string& ip, const std::u16string& port, const std::u16string& text,
            const std::function<void()>& handle) {
    trace_.LineIn(ip, port, text + u"\r\n");
    trace_.HostEvent(u"LOG", u"%Считано с порта% $" + ip + u":" + text.substr(1), 0);
    handle();
    trace_.LineDone();
  }

  void Ping(const std::u16string& ip, const std::u16string& port) {
    Line(ip, port, u"$0001PING", [&] { trace_.FrameOut(ip, port, u"$0001ECHO5B"); });
  }

  void State(const Request& r, std::u16string_view from, std::u16string_view to) {
    trace_.State(r.id, r.ip, r.device, u"T", r.card, from, to);
  }
  void Status(const Request& r, const std::u16string& word) { trace_.HostEvent(u"STATUS", r.prefix + word, 0); }

  void Card(const std::u16string& ip, std::shared_ptr<int> port, const std::u16string& device, double until) {
    static const double peaks[] = {8 * 3600e3, 13 * 3600e3, 17.5 * 3600e3};
    const int peak = std::discrete_distribution<int>({1.0, 0.6, 0.9})(rnd_);
    const double ms =
        std::min<double>(kDayMs - 30000, std::max(0.0, std::normal_distribution<double>(peaks[peak], 1.5 * 3600e3)(rnd_)));
    if (ms > until) return;
    ++requests_;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%010u", static_cast<unsigned>(rnd_() % 1000000000u));
    auto r = std::make_shared<Request>();
    r->ip = ip;
    r->device = device;
    r->card = FromUtf8(digits);
    r->prefix = ip + u";" + device + u";T;" + r->card + u";";
    const bool slow = ms >= 14 * 3600e3 && ms < 15 * 3600e3;
    const double answer = std::lognormal_distribution<double>(1.2, 0.6)(rnd_) * (slow ? 25 : 1);
    const double fate = Uniform(0, 1);
    const double sent = ms + answer + Uniform(0.2, 10);  // the next sweep pass
    At(ms, [this, r, port] {
      r->port = IntToStr(*port);
      r->id = ++ids_;
      Line(r->ip, r->port, u"$" + r->device + u"RQ" + r->card + u"4A", [&] {
        TraceEntry entry(&trace_, r->id);
        State(*r, u"", u"NEW");
        Status(*r, u"RQ");
        Status(*r, u"NEW");
        trace_.HostEvent(u"CHECK", r->prefix + u"0", 0);
        State(*r, u"NEW", u"WAIT");
      });
    });
    auto end = [this, r](double at, std::u16string_view from, std::u16string_view word, bool check) {
      At(at, [this, r, from, word, check] {
        TraceEntry entry(&trace_, r->id);
        State(*r, from, word);
        if (check) trace_.HostEvent(u"CHECK", r->prefix + (word == u"TIMEOUT" ? u"1" : u"2"), 0);
        State(*r, word, u"");
      });
    };
    if (fate < 0.01) return end(ms + 7000, u"WAIT", u"TIMEOUT", true);  // the script never answers
    const bool yes = fate > 0.12;
    const std::u16string word = yes ? u"TRUE" : u"FALSE";
    At(ms + answer, [this, r, word] {
      TraceEntry entry(&trace_, r->id);
      State(*r, u"WAIT", word);
      Status(*r, word);
      trace_.CallEntry(r->id);
      trace_.HostCall(u"GateOpen", {r->ip, r->device, word}, u"TRUE");
    });
    At(sent, [this, r, yes] {
      TraceEntry entry(&trace_, r->id);
      trace_.FrameOut(r->ip, r->port, u"$" + r->device + (yes ? u"GO65" : u"PH32"));
      if (yes) trace_.FrameOut(r->ip, r->port, u"$" + r->device + u"GR6A");
      trace_.HostEvent(u"LOG", u"%Отправлено на порт% " + std::u16string(yes ? u"GO" : u"PH") + r->ip + u":" + r->device, 0);
      State(*r, word_of(yes), yes ? u"OPEN" : u"CLOSE");
      if (!yes) State(*r, u"CLOSE", u"");
    });
    if (!yes) return;
    const bool reported = fate >= 0.14;
    const double done = reported ? sent + Uniform(1500, 6000) : std::max(sent + 10, ms + 1010);
    // While the gate stands open the sweep reports OPEN again once a second. The
    // trace counts those and writes the count on the entry's next record, so they
    // are made just before it, which writes the same and keeps the day's events few.
    const int passes = static_cast<int>((done - sent) / 1000);
    const auto open_passes = [this, r, passes] {
      TraceEntry entry(&trace_, r->id);
      for (int i = 0; i < passes; ++i) Status(*r, u"OPEN");
    };
    if (!reported) {
      At(done - 0.001, open_passes);
      return end(done, u"OPEN", u"NOANSWER", false);
    }
    At(sent + Uniform(0.3, 2), [this, r] {
      Line(r->ip, r->port, u"#" + r->device + u"GR", [&] {
        TraceEntry entry(&trace_, r->id);
        trace_.HostEvent(u"STATUS", r->ip + u";" + r->device + u";T;NOCARDNUMBER;Relay", 0);
      });
    });
    At(done, [this, r, open_passes] {
      open_passes();
      Line(r->ip, r->port, u"$" + r->device + u"GR6A", [&] {
        TraceEntry entry(&trace_, r->id);
        State(*r, u"OPEN", u"FINISH");
      });
    });
    At(done + 10, [this, r] {
      TraceEntry entry(&trace_, r->id);
      trace_.HostEvent(u"CHECK", r->prefix + u"2", 0);
      State(*r, u"FINISH", u"");
    });
  }
  static std::u16string_view word_of(bool yes) { return yes ? u"TRUE" : u"FALSE"; }

  const Options& o_;
  TTrace& trace_;
  std::mt19937_64 rnd_;
  std::vector<Event> events_;
  std::uint64_t seq_ = 0, ids_ = 0;
  std::size_t requests_ = 0;
};

int Main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto number = [&] {
      if (i + 1 >= argc) Usage();
      return std::atoi(argv[++i]);
    };
    if (a == "--devices") o.devices = number();
    else if (a == "--requests") o.requests = number();
    else if (a == "--ping") o.ping_s = number();
    else if (a == "--seed") o.seed = static_cast<unsigned>(number());
    else if (a == "--mib") o.mib = number();
    else if (a == "--files") o.files = number();
    else if (a == "--date" && i + 1 < argc) o.date = argv[++i];
    else if (!a.empty() && a[0] != '-' && o.out.empty()) o.out = a;
    else Usage();
  }
  CivilTime day;
  if (o.out.empty() || o.devices < 1 || o.ping_s < 1 || o.mib < 1 ||
      std::sscanf(o.date.c_str(), "%d-%d-%d", &day.year, &day.month, &day.day) != 3)
    Usage();
  DayClock clock;
  clock.midnight_ms = DaysFromCivil(day.year, day.month, day.day) * kDayMs;
  ScopedClock scoped(clock);

  TraceOptions options;
  options.path = FromUtf8(o.out);
  options.file_limit = static_cast<std::uint64_t>(o.mib) << 20;
  options.files = o.files;
  options.memory_limit = std::size_t{1} << 30;  // the day runs faster than a disk: nothing is dropped
  options.close_wait_ms = 600000;
  std::size_t requests = 0;
  {
    TTrace trace(options);
    if (!trace.Open()) {
      std::cerr << "axg_trace_day: " << ToUtf8(trace.Failure()) << "\n";
      return 1;
    }
    Day d(o, trace);
    d.Make();
    d.Run(clock);
    requests = d.Requests();
    if (!trace.Flush(600000) || trace.Dropped() > 0) {
      std::cerr << "axg_trace_day: the trace did not take the whole day (" << trace.Dropped() << " dropped)\n";
      return 1;
    }
  }
  std::cout << o.out << ": " << requests << " requests, " << (o.devices + 1) / 2 << " controllers, " << o.devices
            << " devices\n";
  return 0;
}

}  // namespace
}  // namespace axg

int main(int argc, char** argv) { return axg::Main(argc, argv); }
