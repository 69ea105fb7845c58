#include "trace/TTrace.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/worker.h"
#include "trace/TraceFormat.h"
#include "trace/TraceJson.h"

namespace axg {

namespace {

namespace fs = std::filesystem;
namespace f = tracefmt;

std::atomic<long> g_writers{0};

// The most entry ids one "dropped" record lists.
constexpr std::size_t kDroppedIds = 32;
// Records one line's handling holds before they go on unfolded.
constexpr std::size_t kLineRecords = 256;
// Head without the wall-clock time.
constexpr std::int64_t kNoWallTime = INT64_MIN;

std::u16string Older(const std::u16string& path, int n) { return path + u"." + IntToStr(n); }

std::u16string SystemReason() {
  const int code = errno;
  if (code == 0) return u"input/output error";
  return FromUtf8(std::error_code(code, std::generic_category()).message());
}

std::string Field(std::string_view name, const std::string& json) {
  std::string out = ",\"";
  out += name;
  out += "\":";
  out += json;
  return out;
}

// The message of the exception being handled.
std::u16string CaughtText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return FromUtf8(e.what());
  } catch (...) {
    return u"unknown error";
  }
}

std::string Number(std::int64_t n) { return std::to_string(n); }
std::string Id(std::uint64_t id) { return std::to_string(id); }

bool Has(std::u16string_view text, std::u16string_view part) {
  return text.find(part) != std::u16string_view::npos;
}

}  // namespace

// What the host's thread and the writer share. The host's thread only appends
// to `queue` (or counts a drop) under the mutex; the file belongs to the writer.
struct TraceShared {
  TraceOptions options;
  std::mutex mu;
  std::condition_variable wake;   // the writer waits on it
  std::condition_variable moved;  // Open, Flush and the end wait on it
  std::string queue;
  std::uint64_t queued = 0, written = 0;  // records handed over, records in the file
  std::uint64_t dropped = 0;
  std::int64_t drop_t = 0, drop_us = 0, drop_last_us = 0;
  std::vector<std::uint64_t> drop_ids;
  bool drop_more = false;
  std::int64_t last_t = 0, last_us = 0;  // times of the latest record handed over
  bool urgent = false, stop = false;
  bool opened = false, finished = false;
  std::atomic<bool> failed{false};
  std::u16string failure;  // under mu

  // ---- the writer's own ----
  std::ofstream file;
  std::uint64_t size = 0;
  bool rotate_failing = false;

  static void Run(std::shared_ptr<TraceShared> self);
  void Work();
  bool OpenFile(bool truncate);
  bool Write(std::string_view data);
  bool WriteRecords(std::string_view data);
  bool Rotate();
  void Fail(std::u16string why);
};

bool TraceShared::OpenFile(bool truncate) {
  const fs::path path(options.path);
  size = 0;
  bool ends_line = true;
  if (!truncate) {
    const std::optional<std::uint64_t> existing = FileSize(options.path);
    if (existing && *existing > 0) {
      size = *existing;
      // A write cut short (a full disk, a power loss) leaves a line unfinished;
      // the next record must not be glued to it.
      std::ifstream in(path, std::ios::binary);
      in.seekg(-1, std::ios::end);
      char last = '\n';
      if (in.get(last) && last != '\n') ends_line = false;
    }
  }
  errno = 0;
  file.open(path, std::ios::binary | std::ios::out | (truncate ? std::ios::trunc : std::ios::app));
  if (!file.is_open()) return false;
  return ends_line || Write("\n");
}

bool TraceShared::Write(std::string_view data) {
  errno = 0;
  file.write(data.data(), static_cast<std::streamsize>(data.size()));
  file.flush();
  if (!file) {
    Fail(u"Trace: cannot write " + options.path + u": " + SystemReason());
    return false;
  }
  size += data.size();
  return true;
}

bool TraceShared::Rotate() {
  file.close();
  if (options.files > 1) {
    RemoveFile(Older(options.path, options.files - 1));
    for (int n = options.files - 2; n >= 1; --n) {
      if (FileExists(Older(options.path, n)))
        RenameFile(Older(options.path, n), Older(options.path, n + 1), nullptr);
    }
    std::u16string why;
    if (!RenameFile(options.path, Older(options.path, 1), &why)) {
      // Another program holds a file open (Windows does not rename it then): the
      // current file goes on growing, and the next rotation tries again.
      if (!OpenFile(false)) {
        Fail(u"Trace: cannot open " + options.path + u": " + SystemReason());
        return false;
      }
      if (!rotate_failing) {
        rotate_failing = true;
        std::string note = "{\"t\":" + Number(last_t) + ",\"us\":" + Number(last_us) + ",\"ev\":\"error\"";
        note += Field(f::kText, JsonText(u"Trace: cannot rotate " + options.path + u": " + why +
                                       u"; trying again at the next rotation"));
        note += "}\n";
        return Write(note);
      }
      return true;
    }
  }
  rotate_failing = false;
  if (!OpenFile(true)) {
    Fail(u"Trace: cannot open " + options.path + u": " + SystemReason());
    return false;
  }
  return true;
}

bool TraceShared::WriteRecords(std::string_view rest) {
  bool stuck = false;  // a rotation failed: tried again at the next write, not before
  while (!rest.empty()) {
    // The longest run of whole records that fits in the current file; a file
    // never ends inside a record.
    const std::uint64_t room = size < options.file_limit ? options.file_limit - size : 0;
    std::size_t take = 0;
    for (std::size_t end = rest.find('\n'); end != std::string_view::npos && end + 1 <= room;
         end = rest.find('\n', end + 1))
      take = end + 1;
    if (take == 0 && size > 0 && !stuck) {
      if (!Rotate()) return false;
      stuck = rotate_failing;
      continue;
    }
    if (take == 0) {
      // A record larger than a whole file, or a file that could not rotate: the
      // rest goes to the current file all the same.
      take = stuck ? rest.size() : rest.find('\n') + 1;
    }
    if (!Write(rest.substr(0, take))) return false;
    rest.remove_prefix(take);
  }
  return true;
}

void TraceShared::Fail(std::u16string why) {
  if (file.is_open()) file.close();
  std::lock_guard<std::mutex> lock(mu);
  if (failed.load()) return;
  failure = std::move(why);
  failed.store(true);
  queue.clear();
  queue.shrink_to_fit();
}

void TraceShared::Run(std::shared_ptr<TraceShared> self) {
  TraceShared& s = *self;
  try {
    s.Work();
  } catch (...) {
    // Nothing may leave the thread, which would end the host: out of memory, or
    // a name the file system cannot take (an unpaired surrogate), fails the trace.
    try {
      s.Fail(u"Trace: cannot use " + s.options.path + u": " + CaughtText());
    } catch (...) {
      s.failed.store(true);  // without its reason
    }
  }
  if (s.file.is_open()) s.file.close();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.opened = true;
    s.finished = true;
  }
  s.moved.notify_all();
  self.reset();
  g_writers.fetch_sub(1);
}

void TraceShared::Work() {
  TraceShared& s = *this;
  bool ok = s.OpenFile(false);
  if (!ok) s.Fail(u"Trace: cannot open " + s.options.path + u": " + SystemReason());
  if (ok && s.size >= s.options.file_limit) ok = s.Rotate();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.opened = true;
  }
  s.moved.notify_all();
  const auto interval = std::chrono::milliseconds(s.options.flush_interval_ms);
  while (ok) {
    std::string batch;
    std::string note;
    std::uint64_t count = 0;
    bool stopping = false;
    {
      std::unique_lock<std::mutex> lock(s.mu);
      s.wake.wait_for(lock, interval, [&] { return s.stop || s.urgent; });
      batch.swap(s.queue);
      s.urgent = false;
      stopping = s.stop;
      count = s.queued - s.written;
      if (s.dropped > 0) {
        // The records lost came after those taken now and before any later one.
        note = "{\"t\":" + Number(s.drop_t) + ",\"us\":" + Number(s.drop_us) + ",\"ev\":\"dropped\"";
        note += Field(f::kCount, Number(static_cast<std::int64_t>(s.dropped)));
        if (!s.drop_ids.empty()) {
          std::string ids = "[";
          for (std::size_t i = 0; i < s.drop_ids.size(); ++i) {
            if (i) ids += ',';
            ids += Id(s.drop_ids[i]);
          }
          note += Field(f::kIds, ids + "]");
        }
        if (s.drop_more) note += Field(f::kMore, "true");
        note += Field(f::kLast, Number(s.drop_last_us));
        note += "}\n";
        s.dropped = 0;
        s.drop_ids.clear();
        s.drop_more = false;
      }
    }
    if (!batch.empty()) ok = s.WriteRecords(batch);
    if (ok && !note.empty()) ok = s.WriteRecords(note);
    {
      std::lock_guard<std::mutex> lock(s.mu);
      s.written += count;
    }
    s.moved.notify_all();
    if (stopping) {
      std::lock_guard<std::mutex> lock(s.mu);
      if (s.queue.empty() && s.dropped == 0) break;
    }
  }
}

// ---- the host's side ----

TTrace::TTrace(TraceOptions options) : options_(std::move(options)) {
  if (options_.files < 1) options_.files = 1;
}

TTrace::~TTrace() {
  if (!started_) return;
  try {
    if (!failed_) {
      if (line_.open) EndLine(false);
      for (const auto& [key, a] : alive_) WriteAlive(key.first, key.second, a);
    }
  } catch (...) {
    // Out of memory for the last records: the file ends without them.
  }
  std::unique_lock<std::mutex> lock(shared_->mu);
  shared_->stop = true;
  shared_->wake.notify_all();
  // A file that hangs must not hang the host: after the bound the writer is left
  // to end by itself, holding what it shares.
  shared_->moved.wait_for(lock, std::chrono::milliseconds(options_.close_wait_ms),
                          [&] { return shared_->finished; });
}

long TTrace::WritersAlive() { return g_writers.load(); }

bool TTrace::Open() {
  if (options_.path.empty()) {
    Fail(u"Trace: no file name", false);
    return false;
  }
  shared_ = std::make_shared<TraceShared>();
  shared_->options = options_;
  g_writers.fetch_add(1);
  try {
    StartWorker([shared = shared_] { TraceShared::Run(shared); });
  } catch (const Error& e) {
    g_writers.fetch_sub(1);
    Fail(u"Trace: cannot start its writer: " + e.Message(), false);
    return false;
  }
  started_ = true;
  bool opened = false;
  {
    std::unique_lock<std::mutex> lock(shared_->mu);
    opened = shared_->moved.wait_for(lock, std::chrono::milliseconds(options_.open_wait_ms),
                                     [&] { return shared_->opened; });
  }
  if (CheckWriter()) return false;
  Add(Begin(f::kStart, 0) + Field(f::kFiles, Number(options_.files)) +
          Field(f::kLimit, Number(static_cast<std::int64_t>(options_.file_limit))) + Field(f::kFormat, Number(f::kVersion)),
      0);
  // Written at once, so that a file that takes nothing is known before the first
  // device line rather than later; a file that did not even open in time is not
  // waited for again.
  if (opened) Flush(options_.open_wait_ms);
  return !CheckWriter();
}

// True when the writer has failed; the failure is then taken over here.
bool TTrace::CheckWriter() {
  if (failed_) return true;
  if (!shared_ || !shared_->failed.load(std::memory_order_relaxed)) return false;
  std::u16string why;
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    why = shared_->failure;
  }
  Fail(why, true);
  return true;
}

std::string TTrace::Head(std::string_view ev, std::int64_t t, std::int64_t us) const {
  std::string out = "{";
  if (t != kNoWallTime) {
    out += "\"t\":";
    out += Number(t);
    out += ',';
  }
  out += "\"us\":";
  out += Number(us);
  out += ",\"ev\":\"";
  out += ev;
  out += '"';
  return out;
}

// Starts a record: its times (the wall clock only where the record starts
// something a reader looks up by the time of day; the others are that plus their
// monotonic distance), its kind, and its entry with the count of that entry's
// STATUS events folded since its previous record.
std::string TTrace::Begin(std::string_view ev, std::uint64_t id, bool wall) {
  Clock& clock = CurrentClock();
  std::string out = Head(ev, wall ? clock.WallMs() : kNoWallTime, clock.MonotonicUs());
  if (id != 0) {
    out += Field(f::kId, Id(id));
    auto it = folds_.find(id);
    if (it != folds_.end() && it->second.rep > 0) {
      out += Field(f::kRep, Number(it->second.rep));
      it->second.rep = 0;
    }
  }
  return out;
}

void TTrace::Add(std::string record, std::uint64_t id) {
  record += "}\n";  // Begin left the object open for the fields
  if (line_.open) {
    if (line_.id == 0) line_.id = id;
    line_.records.push_back(std::move(record));
    if (line_.records.size() >= kLineRecords) EndLine(false);
    return;
  }
  Enqueue(std::move(record), id);
}

void TTrace::Enqueue(std::string record, std::uint64_t id) {
  if (CheckWriter()) return;
  TraceShared& s = *shared_;
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.queue.size() + record.size() > options_.memory_limit) {
    Clock& clock = CurrentClock();
    const std::int64_t us = clock.MonotonicUs();
    if (s.dropped++ == 0) {
      s.drop_t = clock.WallMs();
      s.drop_us = us;
    }
    s.drop_last_us = us;
    if (id != 0 && (s.drop_ids.empty() || s.drop_ids.back() != id)) {
      bool listed = false;
      for (std::uint64_t known : s.drop_ids) listed = listed || known == id;
      if (!listed && s.drop_ids.size() < kDroppedIds) s.drop_ids.push_back(id);
      else if (!listed) s.drop_more = true;
    }
    return;
  }
  s.queue += record;
  ++s.queued;
  if (s.queue.size() >= options_.flush_threshold && !s.urgent) {
    s.urgent = true;
    s.wake.notify_one();
  }
}

bool TTrace::Flush(unsigned wait_ms) {
  if (CheckWriter() || !started_) return false;
  if (line_.open) EndLine(false);
  for (const auto& [key, a] : alive_) WriteAlive(key.first, key.second, a);
  alive_.clear();
  TraceShared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mu);
  const std::uint64_t target = s.queued;
  s.urgent = true;
  s.wake.notify_one();
  const bool done = s.moved.wait_for(lock, std::chrono::milliseconds(wait_ms),
                                     [&] { return s.written >= target || s.failed.load() || s.finished; });
  lock.unlock();
  return done && !CheckWriter();
}

std::uint64_t TTrace::Dropped() const {
  if (!shared_) return 0;
  std::lock_guard<std::mutex> lock(shared_->mu);
  return shared_->dropped;
}

void TTrace::Fail(const std::u16string& why, bool notify) {
  if (failed_) return;
  failed_ = true;
  failure_ = why;
  // What is held for folding stays until the trace goes: the failure is found
  // inside Enqueue, whose callers still refer into it. No hook adds to it now.
  if (notify && OnFailure) {
    // Told from a later turn: a failure found inside a hook must not run the
    // host's handlers in the middle of the hook's caller.
    std::weak_ptr<int> alive = life_;
    PostTracked(MessageLoop::Current(), [this, alive] {
      if (!alive.expired() && OnFailure) OnFailure(failure_);
    });
  }
}

// ---- a line's road and the keep-alives ----

void TTrace::EndLine(bool may_fold) {
  Line line = std::move(line_);
  line_ = Line();
  const std::u16string device = line.line.size() >= 5 ? line.line.substr(1, 4) : std::u16string();
  const bool ping = !line.line.empty() && line.line[0] == u'$' && Has(line.line, u"PING");
  if (ping) {
    auto key = std::make_pair(line.addr, device);
    if (may_fold && line.echo_us >= 0 && !line.unusual && line.id == 0) {
      Alive& a = alive_[key];
      if (a.n > 0 && line.us - a.us >= options_.alive_ms * 1000) {
        WriteAlive(key.first, key.second, a);
        const std::int64_t last = a.last_us;
        a = Alive();
        a.last_us = last;
      }
      if (a.n == 0) {
        a.t = line.t;
        a.us = line.us;
      }
      if (a.last_us > 0 && line.us - a.last_us > a.gap_us) a.gap_us = line.us - a.last_us;
      a.last_us = line.us;
      a.rtt_us = line.echo_us - line.us;
      ++a.n;
      WriteOverdueAlive(line.us);
      return;
    }
    // Written in full: the usual ones before it go first.
    auto it = alive_.find(key);
    if (it != alive_.end() && it->second.n > 0) {
      WriteAlive(key.first, key.second, it->second);
      alive_.erase(it);
    }
  }
  std::string record = Head(f::kLine, kNoWallTime, line.us);
  if (line.id != 0) record += Field(f::kId, Id(line.id));
  record += Field(f::kAddr, JsonText(line.addr)) + Field(f::kBytes, JsonBytes(ToAnsi(line.line)));
  if (line.logged) record += Field(f::kLogged, "1");
  if (line.all >= 0 && line.all != last_all_) {
    record += Field(f::kAll, Number(line.all));  // until a line says otherwise
    last_all_ = line.all;
  }
  record += "}\n";
  Enqueue(std::move(record), line.id);
  for (std::string& r : line.records) Enqueue(std::move(r), 0);
  if (!alive_.empty()) WriteOverdueAlive(line.us);
}

void TTrace::WriteAlive(const std::u16string& addr, const std::u16string& device, const Alive& a) {
  if (a.n == 0) return;
  Enqueue(Head(f::kAlive, a.t, a.us) + Field(f::kAddr, JsonText(addr)) + Field(f::kDevice, JsonText(device)) +
              Field(f::kCount, Number(a.n)) + Field(f::kGap, Number(a.gap_us / 1000)) + Field(f::kRtt, Number(a.rtt_us)) +
              Field(f::kLast, Number(a.last_us)) + "}\n",
          0);
}

void TTrace::WriteAliveOf(const std::u16string& addr) {
  for (auto it = alive_.lower_bound({addr, u""}); it != alive_.end() && it->first.first == addr;) {
    WriteAlive(it->first.first, it->first.second, it->second);
    it = alive_.erase(it);
  }
}

// A device that stops sending keep-alives still gets its count written.
void TTrace::WriteOverdueAlive(std::int64_t now_us) {
  if (now_us < next_alive_check_us_) return;
  next_alive_check_us_ = now_us + 1000000;
  const std::int64_t span = options_.alive_ms * 1000;
  for (auto it = alive_.begin(); it != alive_.end();) {
    const Alive& a = it->second;
    if (a.n > 0 && now_us - a.us >= span && now_us - a.last_us >= 2 * a.gap_us + 1000000) {
      WriteAlive(it->first.first, it->first.second, it->second);
      it = alive_.erase(it);
    } else {
      ++it;
    }
  }
}

// ---- records ----

void TTrace::Accepted(const std::u16string& addr, const std::u16string& port) {
  if (failed_) return;
  Add(Begin(f::kAccept, 0) + Field(f::kAddr, JsonText(addr)) + Field(f::kPort, JsonText(port)), 0);
}

void TTrace::Closed(const std::u16string& addr, const std::u16string& port, int error) {
  if (failed_) return;
  if (line_.open) line_.unusual = true;
  else WriteAliveOf(addr);
  const std::u16string why =
      error == 0 ? std::u16string(u"closed") : u"socket error " + IntToStr(error) + u": " + SocketErrorText(error);
  Add(Begin(f::kClose, 0) + Field(f::kAddr, JsonText(addr)) + Field(f::kPort, JsonText(port)) + Field(f::kWhy, JsonText(why)), 0);
}

void TTrace::LineIn(const std::u16string& addr, const std::u16string&, std::u16string_view line) {
  if (failed_) return;
  if (line_.open) EndLine(false);  // one line's handling inside another's: both written
  Clock& clock = CurrentClock();
  line_.open = true;
  line_.addr = addr;
  line_.line = line;
  line_.t = clock.WallMs();
  line_.us = clock.MonotonicUs();
}

void TTrace::LineDone() {
  if (failed_ || !line_.open) return;
  EndLine(true);
}

void TTrace::FrameOut(const std::u16string& addr, const std::u16string&, std::u16string_view frame) {
  if (failed_) return;
  if (line_.open && line_.echo_us < 0 && Has(frame, u"ECHO") && addr == line_.addr)
    line_.echo_us = CurrentClock().MonotonicUs();
  std::string record = Begin(f::kFrame, entry_, false);
  // A frame to its entry's own address does not repeat the address.
  auto fold = entry_ != 0 ? folds_.find(entry_) : folds_.end();
  if (fold == folds_.end() || fold->second.ip != addr) record += Field(f::kAddr, JsonText(addr));
  Add(std::move(record) + Field(f::kBytes, JsonBytes(ToAnsi(frame))), entry_);
}

void TTrace::FrameToAll(std::u16string_view frame, int connections) {
  if (failed_) return;
  if (line_.open) {
    line_.all = connections;  // the line's record says so
    return;
  }
  Add(Begin(f::kFrame, 0) + Field(f::kAddr, "\"*\"") + Field(f::kCount, Number(connections)) +
          Field(f::kBytes, JsonBytes(ToAnsi(frame))),
      0);
}

void TTrace::HostEvent(const std::u16string& name, const std::u16string& data, long hr) {
  if (failed_) return;
  const std::uint64_t id = entry_;
  if (line_.open && (hr != 0 || name == u"ERROR")) line_.unusual = true;
  // The log line of the line being handled, as read, is said by the line's record.
  const std::u16string_view log_in = f::kLogIn, log_out = f::kLogOut;
  if (line_.open && !line_.logged && id == 0 && hr == 0 && name == u"LOG" && line_.line.size() > 1 &&
      data.size() > log_in.size() && data.compare(0, log_in.size(), log_in) == 0) {
    std::u16string_view rest = std::u16string_view(line_.line).substr(1);
    while (!rest.empty() && (rest.back() == u'\r' || rest.back() == u'\n')) rest.remove_suffix(1);
    if (data == std::u16string(log_in) + u"$" + line_.addr + u":" + std::u16string(rest.substr(0, 1000))) {
      line_.logged = true;
      return;
    }
  }
  Fold* fold = id != 0 ? &folds_[id] : nullptr;
  const std::string name8 = ToUtf8(name);
  const bool status = name8 == f::kStatus;
  if (fold && status && hr == 0 && fold->status == data) {
    ++fold->rep;
    return;
  }
  // The four events of the add-in are a kind of record of their own.
  const bool known = status || name8 == f::kCheck || name8 == f::kLog || name8 == f::kErrorEvent;
  std::string record = Begin(known ? std::string_view(name8) : f::kEvent, id, false);
  if (!known) record += Field(f::kName, JsonText(name));
  // An entry's report starts with what the entry's first record said (address,
  // device, type, card): only the rest is written. The log lines of what was read
  // and sent carry their words as one short field each.
  if (name8 == f::kLog && data.compare(0, log_in.size(), log_in) == 0)
    record += Field(f::kIn, JsonText(std::u16string_view(data).substr(log_in.size())));
  else if (name8 == f::kLog && data.compare(0, log_out.size(), log_out) == 0)
    record += Field(f::kOut, JsonText(std::u16string_view(data).substr(log_out.size())));
  else if (fold && !fold->prefix.empty() && data.compare(0, fold->prefix.size(), fold->prefix) == 0)
    record += Field(f::kRest, JsonText(std::u16string_view(data).substr(fold->prefix.size())));
  else
    record += Field(f::kData, JsonText(data));
  if (hr != 0) {
    char code[16];
    std::snprintf(code, sizeof code, "\"0x%08lX\"", static_cast<unsigned long>(hr) & 0xFFFFFFFFul);
    record += Field(f::kHr, code);
  }
  if (fold && status) fold->status = data;
  Add(std::move(record), id);
}

void TTrace::HostCall(std::u16string_view method, const std::vector<std::u16string>& args,
                      const std::u16string& answer, const std::u16string& error) {
  const std::uint64_t id = call_entry_;
  call_entry_ = 0;
  if (failed_) return;
  std::string list = "[";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) list += ',';
    list += JsonText(args[i]);
  }
  list += "]";
  std::string record = Begin(f::kCall, id) + Field(f::kMethod, JsonText(method)) + Field(f::kArgs, list) +
                       Field(f::kAnswer, JsonText(answer));
  if (!error.empty()) record += Field(f::kFailure, JsonText(error));
  Add(std::move(record), id);
}

void TTrace::State(std::uint64_t id, const std::u16string& ip, const std::u16string& device,
                   const std::u16string& type, const std::u16string& card, std::u16string_view from,
                   std::u16string_view to) {
  if (failed_) return;
  Fold& f = folds_[id];
  std::string record = Begin(f::kState, id, from.empty());
  // "from" only where it is not the entry's previous "to" (a new entry's "").
  if (from.empty() || from != f.to) record += Field(f::kFrom, JsonText(from));
  record += Field(f::kTo, JsonText(to));
  if (from.empty() || (!to.empty() && f.device != device)) {
    if (from.empty()) record += Field(f::kIp, JsonText(ip));
    record += Field(f::kDevice, JsonText(device));
    if (from.empty()) record += Field(f::kType, JsonText(type)) + Field(f::kCard, JsonText(card));
    f.device = device;
    f.ip = ip;
    f.prefix = ip + u";" + device + u";" + type + u";" + card + u";";
  }
  f.to = to;
  // The report of the new word that follows a state change repeats it.
  f.status = f.prefix + std::u16string(to);
  if (to.empty()) folds_.erase(id);
  Add(std::move(record), id);
}

void TTrace::Fault(const std::u16string& text) {
  if (failed_) return;
  if (line_.open) line_.unusual = true;
  Add(Begin(f::kError, entry_) + Field(f::kText, JsonText(text)), entry_);
}

}  // namespace axg
