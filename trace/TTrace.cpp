#include "trace/TTrace.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "trace/TraceJson.h"

namespace axg {
namespace {

namespace fs = std::filesystem;

fs::path PathOf(const std::u16string& path) { return fs::path(path); }

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

std::string Number(std::int64_t n) { return std::to_string(n); }

}  // namespace

TTrace::TTrace(TraceOptions options) : options_(std::move(options)) {
  if (options_.files < 1) options_.files = 1;
  timer_ = std::make_unique<Timer>(
      [this] {
        Flush();
        if (pending_.empty() && timer_) timer_->SetEnabled(false);
      },
      options_.flush_interval_ms);
}

TTrace::~TTrace() {
  timer_.reset();
  if (!failed_) Flush();
  if (file_.is_open()) file_.close();
}

bool TTrace::OpenFile(bool truncate) {
  errno = 0;
  file_.open(PathOf(options_.path),
             std::ios::binary | std::ios::out | (truncate ? std::ios::trunc : std::ios::app));
  if (!file_.is_open()) return false;
  size_ = 0;
  if (!truncate) {
    if (const auto existing = FileSize(options_.path)) size_ = *existing;
  }
  return true;
}

bool TTrace::Open() {
  if (options_.path.empty()) {
    Fail(u"Trace: no file name", false);
    return false;
  }
  if (!OpenFile(false)) {
    Fail(u"Trace: cannot open " + options_.path + u": " + SystemReason(), false);
    return false;
  }
  if (size_ >= options_.file_limit && !Rotate()) return false;
  Add(Make("start", Field("files", Number(options_.files)),
      Field("limit", Number(static_cast<std::int64_t>(options_.file_limit)))));
  // Written at once, so that a file that takes nothing is known before the first
  // device line rather than on the first timer tick.
  return Flush();
}

std::string TTrace::Begin(std::string_view ev) const {
  Clock& clock = CurrentClock();
  std::string out = "{\"t\":";
  out += Number(clock.WallMs());
  out += ",\"us\":";
  out += Number(clock.MonotonicUs());
  out += ",\"ev\":\"";
  out += ev;
  out += '"';
  return out;
}

void TTrace::Add(std::string record) {
  if (failed_) return;
  record += "}\n";  // Begin left the object open for the fields
  if (pending_.size() + record.size() > options_.memory_limit) {
    ++dropped_;
    return;
  }
  pending_ += record;
  if (timer_ && !timer_->Enabled()) timer_->SetEnabled(true);
  if (pending_.size() >= options_.flush_threshold && !flush_posted_) {
    flush_posted_ = true;
    std::weak_ptr<int> alive = life_;
    PostTracked(MessageLoop::Current(), [this, alive] {
      if (alive.expired()) return;
      flush_posted_ = false;
      Flush();
    });
  }
}

bool TTrace::Write(std::string_view data) {
  errno = 0;
  file_.write(data.data(), static_cast<std::streamsize>(data.size()));
  file_.flush();
  if (!file_) {
    Fail(u"Trace: cannot write " + options_.path + u": " + SystemReason(), true);
    return false;
  }
  size_ += data.size();
  return true;
}

bool TTrace::Rotate() {
  file_.close();
  if (options_.files > 1) {
    RemoveFile(Older(options_.path, options_.files - 1));
    for (int n = options_.files - 2; n >= 1; --n) {
      if (FileExists(Older(options_.path, n)))
        RenameFile(Older(options_.path, n), Older(options_.path, n + 1), nullptr);
    }
    std::u16string why;
    if (!RenameFile(options_.path, Older(options_.path, 1), &why)) {
      Fail(u"Trace: cannot rotate " + options_.path + u": " + why, true);
      return false;
    }
  }
  if (!OpenFile(true)) {
    Fail(u"Trace: cannot open " + options_.path + u": " + SystemReason(), true);
    return false;
  }
  return true;
}

bool TTrace::Flush() {
  if (failed_) return false;
  if (dropped_ > 0 && pending_.size() < options_.memory_limit) {
    std::string note = Make("dropped", Field("n", Number(static_cast<std::int64_t>(dropped_))));
    note += "}\n";
    pending_.insert(0, note);
    dropped_ = 0;
  }
  std::string_view rest(pending_);
  while (!rest.empty()) {
    // The longest run of whole records that fits in the current file; a file
    // never ends inside a record.
    const std::uint64_t room = size_ < options_.file_limit ? options_.file_limit - size_ : 0;
    std::size_t take = 0;
    for (std::size_t end = rest.find('\n'); end != std::string_view::npos && end + 1 <= room;
         end = rest.find('\n', end + 1))
      take = end + 1;
    if (take == 0) {
      if (size_ > 0) {
        if (!Rotate()) return false;
        continue;
      }
      take = rest.find('\n') + 1;  // one record larger than a whole file
    }
    if (!Write(rest.substr(0, take))) return false;
    rest.remove_prefix(take);
  }
  pending_.clear();
  return true;
}

void TTrace::Fail(const std::u16string& why, bool notify) {
  if (failed_) return;
  failed_ = true;
  failure_ = why;
  pending_.clear();
  pending_.shrink_to_fit();
  if (file_.is_open()) file_.close();
  if (timer_) timer_->SetEnabled(false);
  if (notify && OnFailure) {
    // Told from a later turn: a failure found inside a hook must not run the
    // host's handlers in the middle of the hook's caller.
    std::weak_ptr<int> alive = life_;
    PostTracked(MessageLoop::Current(), [this, alive] {
      if (!alive.expired() && OnFailure) OnFailure(failure_);
    });
  }
}

// ---- records ----

void TTrace::Accepted(const std::u16string& addr, const std::u16string& port) {
  if (failed_) return;
  Add(Make("accept", Field("addr", JsonText(addr)), Field("port", JsonText(port))));
}

void TTrace::Closed(const std::u16string& addr, const std::u16string& port, int error) {
  if (failed_) return;
  const std::u16string why =
      error == 0 ? std::u16string(u"closed") : u"socket error " + IntToStr(error) + u": " + SocketErrorText(error);
  Add(Make("close", Field("addr", JsonText(addr)), Field("port", JsonText(port)),
      Field("why", JsonText(why))));
}

void TTrace::LineIn(const std::u16string& addr, const std::u16string& port, std::u16string_view line) {
  if (failed_) return;
  Add(Make("line", Field("addr", JsonText(addr)), Field("port", JsonText(port)),
      Field("bytes", JsonBytes(ToAnsi(line)))));
}

void TTrace::FrameOut(const std::u16string& addr, const std::u16string& port, std::u16string_view frame) {
  if (failed_) return;
  Add(Make("frame", Field("addr", JsonText(addr)), Field("port", JsonText(port)),
      Field("bytes", JsonBytes(ToAnsi(frame)))));
}

void TTrace::FrameToAll(std::u16string_view frame, int connections) {
  if (failed_) return;
  Add(Make("frame", Field("addr", "\"*\""), Field("n", Number(connections)),
      Field("bytes", JsonBytes(ToAnsi(frame)))));
}

void TTrace::HostEvent(const std::u16string& name, const std::u16string& data, long hr) {
  if (failed_) return;
  char code[16];
  std::snprintf(code, sizeof code, "\"0x%08lX\"", static_cast<unsigned long>(hr) & 0xFFFFFFFFul);
  Add(Make("event", Field("name", JsonText(name)), Field("data", JsonText(data)), Field("hr", code)));
}

void TTrace::HostCall(std::u16string_view method, const std::vector<std::u16string>& args,
                      const std::u16string& answer, const std::u16string& error) {
  if (failed_) return;
  std::string list = "[";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) list += ',';
    list += JsonText(args[i]);
  }
  list += "]";
  std::string record = Make("call", Field("method", JsonText(method)), Field("args", list),
                       Field("answer", JsonText(answer)));
  if (!error.empty()) record += Field("error", JsonText(error));
  Add(std::move(record));
}

void TTrace::State(const std::u16string& ip, const std::u16string& device, const std::u16string& type,
                   const std::u16string& card, std::u16string_view from, std::u16string_view to) {
  if (failed_) return;
  Add(Make("state", Field("ip", JsonText(ip)), Field("device", JsonText(device)),
      Field("type", JsonText(type)), Field("card", JsonText(card)), Field("from", JsonText(from)),
      Field("to", JsonText(to))));
}

void TTrace::Fault(const std::u16string& text) {
  if (failed_) return;
  Add(Make("error", Field("text", JsonText(text))));
}

}  // namespace axg
