#pragma once
// TTrace: what the add-in saw, sent and told the host, for the support engineer
// at a site where the host has no console. One JSON object a line, each with the
// monotonic time in microseconds ("us"), its kind ("ev") and, on the records that
// start something, the wall-clock time in milliseconds since 1970 UTC ("t"; the
// others are the latest "t" plus their distance in "us"):
//
//   start   the trace was opened (files, limit, v: the record format)
//   accept  a device connection was accepted (a: address, p: port)
//   close   a device connection was closed (a, p, why: "closed", or the socket
//           error with its text)
//   line    a line came from a device (a, b: the bytes; all: connections the
//           "test" frame it made went to, when that changed; log: its log line
//           "%Считано с порта% $a:..." went to the host)
//   frame   a frame went to a device (a, unless it is its entry's address; b)
//   STATUS, CHECK, LOG, ERROR (or "event" with a name): an external event went to
//           the host (data, or rest: what follows its entry's "ip;device;type;
//           card;"; a log line of what was read or sent as in/out: its words;
//           hr when ExternalEvent failed)
//   call    the host called an acting method (method, args, answer, error)
//   state   an entry of the event stack changed its state word (to; from unless
//           it is the entry's previous "to"; a new entry, from "", also ip, d:
//           device, type, card; d again when the device changes); to "" is a
//           dropped entry
//   alive   the keep-alives of one device that went as usual (a, d, n: PINGs, each
//           answered, gap: the longest ms between two, rtt: µs from the latest
//           PING to its ECHO, last: "us" of the latest)
//   error   an error the add-in reported (text)
//   dropped records were lost because the file did not keep up (n, ids: entries
//           whose records were lost, more: true when there were more, last: "us"
//           of the last one lost; the record's own time is the first one's)
//
// Every record that belongs to a request of the event stack carries the entry's
// "id" (a line: the entry its handling touched first). Repetition is folded: a
// STATUS event that repeats its entry's latest word (its previous STATUS, or the
// state just written) is counted, and the entry's next record carries the count
// ("rep"); a keep-alive that goes as usual (PING, its ECHO, the reports it makes,
// no error, no close) is counted in its device's "alive" record, one a minute,
// instead of being written.
//
// Every hook is called through a pointer that is null while the trace is off, so
// that an add-in without a trace pays one comparison per hook. On, a hook formats
// its record on the host's thread and appends it to a bounded queue; a writer
// thread of the trace's own writes the queue to the file every 200 ms (sooner when
// 64 KiB wait), rotates the files and never makes the host's thread wait: what
// does not fit while the file stalls is counted and dropped, and a "dropped"
// record follows once writing resumes. The file rotates at a size limit (the
// current file and files-1 older ones, ".1" the newest of those); a rename that
// fails (a reader holding an older file open) is tried again at the next
// rotation. A file that cannot be opened or written switches the trace off;
// OnFailure says why, once.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <map>
#include <unordered_map>
#include <vector>

namespace axg {

struct TraceShared;

struct TraceOptions {
  std::u16string path;
  std::uint64_t file_limit = 32u << 20;      // bytes of one file before it rotates
  int files = 8;                             // the current file and the older ones
  std::size_t memory_limit = 4u << 20;       // bytes of records waiting for the file
  unsigned flush_interval_ms = 200;          // records wait at most this long
  std::size_t flush_threshold = 64u << 10;   // beyond this, the writer is woken at once
  unsigned open_wait_ms = 2000;              // Open waits this long for the file to open
  unsigned close_wait_ms = 1000;             // the end waits this long for the file
  std::int64_t alive_ms = 60000;             // one "alive" record per device per this
};

class TTrace {
 public:
  explicit TTrace(TraceOptions options);
  // Writes what is waiting, within close_wait_ms; a writer still stuck in the
  // file after that is left to finish on its own (see WritersAlive).
  ~TTrace();
  TTrace(const TTrace&) = delete;
  TTrace& operator=(const TTrace&) = delete;

  // Starts the writer, which opens the file for appending (creating it; an
  // unfinished last line is ended first) and writes the "start" record. False,
  // with Failure() saying why, when it cannot be opened or written. A file that
  // does not answer within open_wait_ms counts as open: records wait or drop.
  bool Open();
  bool Failed() const { return failed_; }
  const std::u16string& Failure() const { return failure_; }
  // Raised once, on the loop's thread, when the file fails after Open; the trace
  // is off from then on and every hook returns at once.
  std::function<void(const std::u16string& why)> OnFailure;

  void Accepted(const std::u16string& addr, const std::u16string& port);
  void Closed(const std::u16string& addr, const std::u16string& port, int error);
  // A device line, and the end of its handling: the records made in between are
  // the line's road (held until LineDone, to fold a usual keep-alive).
  void LineIn(const std::u16string& addr, const std::u16string& port, std::u16string_view line);
  void LineDone();
  void FrameOut(const std::u16string& addr, const std::u16string& port, std::u16string_view frame);
  void FrameToAll(std::u16string_view frame, int connections);
  void HostEvent(const std::u16string& name, const std::u16string& data, long hr);
  // The entry the acting call in progress works on; its "call" record carries it.
  void CallEntry(std::uint64_t id) { call_entry_ = id; }
  void HostCall(std::u16string_view method, const std::vector<std::u16string>& args,
                const std::u16string& answer, const std::u16string& error = {});
  void State(std::uint64_t id, const std::u16string& ip, const std::u16string& device,
             const std::u16string& type, const std::u16string& card, std::u16string_view from,
             std::u16string_view to);
  void Fault(const std::u16string& text);

  // The entry the records made from now on belong to (0: none); gives the one
  // before. TraceEntry sets it for a scope.
  std::uint64_t Enter(std::uint64_t id) {
    const std::uint64_t before = entry_;
    entry_ = id;
    return before;
  }

  // Hands everything made so far to the writer (the keep-alive counts too) and
  // waits, at most wait_ms, until it is in the file. False when the file failed
  // or did not take it in time.
  bool Flush(unsigned wait_ms = 2000);
  // Records lost since the last "dropped" record was written.
  std::uint64_t Dropped() const;
  // Writer threads still running, those of traces already destroyed included:
  // the module must stay loaded while one runs.
  static long WritersAlive();

 private:
  struct Fold {  // what an entry's records fold
    std::u16string status;  // data of its latest STATUS event
    std::uint32_t rep = 0;  // times it came again since
    std::u16string ip, device, to;
    std::u16string prefix;  // "ip;device;type;card;" that its reports start with
  };
  struct Alive {  // a device's usual keep-alives not yet written
    std::int64_t t = 0, us = 0, last_us = 0, gap_us = 0, rtt_us = 0;
    std::uint32_t n = 0;
  };
  struct Line {  // the line whose handling is in progress
    bool open = false;
    std::u16string addr, line;
    std::int64_t t = 0, us = 0;
    std::uint64_t id = 0;  // the first entry a record of its handling belongs to
    int all = -1;
    std::int64_t echo_us = -1;
    bool unusual = false;
    bool logged = false;  // its log line, as read, went to the host
    std::vector<std::string> records;
  };

  std::string Begin(std::string_view ev, std::uint64_t id, bool wall = true);
  std::string Head(std::string_view ev, std::int64_t t, std::int64_t us) const;
  void Add(std::string record, std::uint64_t id);
  void Enqueue(std::string record, std::uint64_t id);
  void EndLine(bool may_fold);
  void WriteAlive(const std::u16string& addr, const std::u16string& device, const Alive& a);
  void WriteAliveOf(const std::u16string& addr);
  void WriteOverdueAlive(std::int64_t now_us);
  bool CheckWriter();
  void Fail(const std::u16string& why, bool notify);

  TraceOptions options_;
  std::shared_ptr<TraceShared> shared_;
  bool started_ = false;
  bool failed_ = false;
  std::u16string failure_;
  std::uint64_t entry_ = 0;
  std::uint64_t call_entry_ = 0;
  std::unordered_map<std::uint64_t, Fold> folds_;
  std::map<std::pair<std::u16string, std::u16string>, Alive> alive_;
  std::int64_t next_alive_check_us_ = 0;
  int last_all_ = -1;
  Line line_;
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

// Records made while it lives belong to the entry `id`.
class TraceEntry {
 public:
  TraceEntry(TTrace* trace, std::uint64_t id) : trace_(trace), before_(trace ? trace->Enter(id) : 0) {}
  ~TraceEntry() {
    if (trace_) trace_->Enter(before_);
  }
  TraceEntry(const TraceEntry&) = delete;
  TraceEntry& operator=(const TraceEntry&) = delete;

 private:
  TTrace* trace_;
  std::uint64_t before_;
};

}  // namespace axg
