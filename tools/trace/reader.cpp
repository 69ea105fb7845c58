#include "tools/trace/reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>

#include "platform/clock.h"
#include "platform/text.h"
#include "tools/trace/words.h"
#include "trace/TraceFormat.h"

namespace axg::trace {
namespace {

namespace f = tracefmt;

// ---- a JSON reader for the trace's flat objects ----

// The long name of a field the add-in writes short.
std::string LongName(std::string key) {
  for (const auto& [short_name, long_name] : f::kLongNames)
    if (key == short_name) return std::string(long_name);
  return key;
}

class Parser {
 public:
  explicit Parser(const std::string& s) : s_(s) {}

  bool Object(Record& r) {
    Space();
    if (!Eat('{')) return false;
    Space();
    if (Eat('}')) return End();
    for (;;) {
      std::u16string key16;
      Space();
      if (!String(key16)) return false;
      const std::string key = LongName(ToUtf8(key16));
      Space();
      if (!Eat(':')) return false;
      Space();
      if (Peek() == '"') {
        std::u16string value;
        if (!String(value)) return false;
        if (key == "bytes") {
          // One character per byte: the bytes, read in the code page they were sent in.
          std::string bytes;
          for (char16_t c : value) bytes += static_cast<char>(c & 0xFF);
          r.text[key] = ToUtf8(FromAnsi(bytes));
        } else {
          r.text[key] = ToUtf8(value);
        }
      } else if (Peek() == '[') {
        ++i_;
        Space();
        std::vector<std::string>& list = key == "args" ? r.args : r.lists[key];
        if (!Eat(']')) {
          for (;;) {
            Space();
            if (Peek() == '"') {
              std::u16string item;
              if (!String(item)) return false;
              list.push_back(ToUtf8(item));
            } else {
              std::int64_t n = 0;
              if (!Number(n)) return false;
              list.push_back(std::to_string(n));
            }
            Space();
            if (Eat(']')) break;
            if (!Eat(',')) return false;
          }
        }
      } else if (Peek() == 't' || Peek() == 'f') {
        const bool yes = Peek() == 't';
        if (s_.compare(i_, yes ? 4 : 5, yes ? "true" : "false") != 0) return false;
        i_ += yes ? 4 : 5;
        r.number[key] = yes;
      } else {
        std::int64_t n = 0;
        if (!Number(n)) return false;
        r.number[key] = n;
      }
      Space();
      if (Eat('}')) return End();
      if (!Eat(',')) return false;
    }
  }

 private:
  bool End() {
    Space();
    return i_ == s_.size();
  }
  char Peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  bool Eat(char c) {
    if (Peek() != c) return false;
    ++i_;
    return true;
  }
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) ++i_;
  }
  bool Number(std::int64_t& n) {
    const std::size_t start = i_;
    if (Peek() == '-') ++i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    if (i_ == start || (i_ == start + 1 && s_[start] == '-')) return false;
    try {
      n = std::stoll(s_.substr(start, i_ - start));
    } catch (...) {
      return false;
    }
    return true;
  }
  bool String(std::u16string& out) { return ReadJsonString(s_, i_, out); }

  const std::string& s_;
  std::size_t i_ = 0;
};

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == sep) {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

std::string Ms(std::int64_t us) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(us) / 1000.0);
  return buf;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

// The device part of a frame or line: the four characters after "$" or "#".
std::string DeviceOf(const std::string& text) {
  const std::u16string wide = FromUtf8(text);
  return wide.size() >= 5 ? ToUtf8(wide.substr(1, 4)) : "";
}

Figures Percentiles(std::vector<std::int64_t> us) {
  Figures f;
  f.count = us.size();
  if (us.empty()) return f;
  std::sort(us.begin(), us.end());
  auto rank = [&](double p) {
    std::size_t k = static_cast<std::size_t>(std::ceil(p * static_cast<double>(us.size())));
    if (k == 0) k = 1;
    return static_cast<double>(us[k - 1]) / 1000.0;
  };
  f.p50_ms = rank(0.50);
  f.p99_ms = rank(0.99);
  return f;
}

// Puts the requests together as the records come, each by its entry's id.
class Builder {
 public:
  explicit Builder(const Filter& filter) : filter_(filter) {}

  void Take(const Record& r) {
    if (r.ev == f::kStart) {
      // A new run of the add-in: its monotonic clock and its entry ids start afresh.
      for (auto& [id, req] : open_) Finish(req);
      open_.clear();
      card_lines_.clear();
      auto v = r.number.find(std::string(f::kFormat));
      formats_.push_back(v == r.number.end() ? 1 : static_cast<int>(v->second));
    } else if (r.ev == f::kError) {
      if (Request* req = Find(r.Id())) ++req->errors;
      else if (!filter_.since || r.t >= *filter_.since) address_errors_.push_back(r.Get("text"));
    } else if (r.ev == f::kAccept || r.ev == f::kClose) {
      addresses_.insert(r.Get("addr"));
    } else if (r.ev == "line") {
      Line(r);
    } else if (r.ev == "state") {
      State(r);
    } else if (r.ev == "event") {
      Event(r);
    } else if (r.ev == "call") {
      Call(r);
    } else if (r.ev == "frame") {
      Frame(r);
    } else if (r.ev == "dropped") {
      Dropped(r);
    } else if (r.ev == "alive") {
      Road& road = RoadOf(r.Get("addr"), r.Get("device"));
      road.pings += static_cast<std::uint64_t>(std::max<std::int64_t>(0, Num(r, "n")));
      road.longest_gap_ms = std::max(road.longest_gap_ms, Num(r, "gap"));
    }
  }

  std::vector<Road> Roads(TraceFacts* facts) {
    for (auto& [id, req] : open_) Finish(req);
    open_.clear();
    // An address known only by its connections still has a road of its own.
    for (const std::string& ip : addresses_) {
      auto at = roads_.lower_bound({ip, ""});
      if ((at == roads_.end() || at->first.first != ip) && Wanted(ip, "")) RoadOf(ip, "");
    }
    std::size_t loose = 0;
    for (const std::string& text : address_errors_) {
      bool placed = false;
      for (auto& [key, road] : roads_)
        if (Mentions(text, key.first)) {
          ++road.address_errors;  // the first road of the address
          placed = true;
          break;
        }
      loose += !placed && filter_.device.empty();
    }
    if (facts) *facts = TraceFacts{formats_, loose};
    std::vector<Road> out;
    for (auto& [key, road] : roads_)
      if (!road.requests.empty() || Wanted(road.ip, road.device)) out.push_back(std::move(road));
    return out;
  }

 private:
  static std::int64_t Num(const Record& r, const std::string& name) {
    auto it = r.number.find(name);
    return it == r.number.end() ? 0 : it->second;
  }
  Request* Find(std::uint64_t id) {
    if (id == 0) return nullptr;
    auto it = open_.find(id);
    return it == open_.end() ? nullptr : &it->second;
  }
  Road& RoadOf(const std::string& ip, const std::string& device) {
    Road& road = roads_[{ip, device}];
    road.ip = ip;
    road.device = device;
    return road;
  }
  bool Wanted(const std::string& ip, const std::string& device) const {
    return filter_.device.empty() || filter_.device == ip || filter_.device == device ||
           filter_.device == ip + "/" + device;
  }
  // The device the entry names now: the latest change's, else its own.
  static std::string DeviceNow(const Request& req) {
    std::string now = req.device;
    for (const Step& s : req.steps)
      if (s.name == "device") now = s.detail;
    return now;
  }
  static void AddStep(Request& req, std::string name, std::int64_t us, std::string detail = {}) {
    req.steps.push_back({std::move(name), us, std::move(detail)});
  }
  static std::string Trimmed(std::string bytes) {
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
    return bytes;
  }

  void Line(const Record& r) {
    const std::string bytes = r.Get("bytes");
    if (bytes.size() >= 5 && bytes[0] == '$' && bytes.find("PING") != std::string::npos) {
      // A keep-alive written in full (something about it was unusual).
      Road& road = RoadOf(r.Get("addr"), DeviceOf(bytes));
      ++road.pings;
      auto& last = last_ping_[{road.ip, road.device}];
      if (last != 0) road.longest_gap_ms = std::max(road.longest_gap_ms, (r.us - last) / 1000);
      last = r.us;
    }
    const std::uint64_t id = r.Id();
    Request* req = Find(id);
    if (!req) {
      // The line that makes an entry comes before the entry's first state.
      if (id != 0) card_lines_[id] = r;
      return;
    }
    if (r.Get("addr") != req->ip) {
      AddStep(*req, "line", r.us, "from " + r.Get("addr") + ": " + Trimmed(bytes));
    } else if (!bytes.empty() && bytes[0] == '#' && bytes.find("GR") != std::string::npos) {
      AddStep(*req, "relay", r.us);
    } else {
      AddStep(*req, "line", r.us, Trimmed(bytes));
    }
  }

  void State(const Record& r) {
    const std::uint64_t id = r.Id();
    if (id == 0) return;
    const std::string from = r.Get("from"), to = r.Get("to");
    if (from.empty() && to == "NEW") {
      if (Request* old = Find(id)) Finish(*old);
      Request req;
      req.id = id;
      req.ip = r.Get("ip");
      req.device = r.Get("device");
      req.type = r.Get("type");
      req.card = r.Get("card");
      std::int64_t us = r.us, t = r.t;
      // The card step is the arrival of the line that made the entry, when there was one.
      auto line = card_lines_.find(id);
      if (line != card_lines_.end()) {
        us = line->second.us;
        t = line->second.t;
        card_lines_.erase(line);
      }
      req.t = t;
      AddStep(req, "card", us, req.card);
      open_[id] = std::move(req);
      return;
    }
    Request* req = Find(id);
    if (!req) return;
    if (r.text.count("device") && r.Get("device") != DeviceNow(*req)) AddStep(*req, "device", r.us, r.Get("device"));
    if (to.empty()) {
      AddStep(*req, "dropped", r.us);
      req->ended = true;
      Finish(*req);
      open_.erase(id);
      return;
    }
    if (to == "FINISH") {
      req->finished = true;
      AddStep(*req, "finished", r.us);
    } else if (to == "TIMEOUT") {
      req->timed_out = true;
      AddStep(*req, "timed out", r.us);
    } else if (to == "NOANSWER") {
      if (!req->finished) req->timed_out = true;
      AddStep(*req, "no answer", r.us);
    } else if (to == "PROGRESS") {
      AddStep(*req, "passing", r.us);
    } else if (to == "CLOSE") {
      AddStep(*req, "closed", r.us);
    }
  }

  void Event(const Record& r) {
    Request* req = Find(r.Id());
    if (!req) return;
    const auto f = Split(r.Get("data"), ';');
    const std::string name = r.Get("name"), hr = r.Get("hr");
    const std::string failed = hr.empty() || hr == "0x00000000" ? "" : "failed " + hr;
    req->errors += !failed.empty();
    if (name == "CHECK") {
      std::string detail = f.size() >= 5 && f[4] != "0" ? "kind " + f[4] : "";
      if (!failed.empty()) detail += (detail.empty() ? "" : ", ") + failed;
      AddStep(*req, "CHECK", r.us, detail);
    } else if (name == "STATUS" && !f.empty() && f[0] != req->ip) {
      // Another address's report put to this entry (the add-in finds an entry by
      // its device alone).
      AddStep(*req, "STATUS", r.us, "from " + f[0] + ": " + r.Get("data"));
    } else if (!failed.empty()) {
      AddStep(*req, name, r.us, failed);
    }
  }

  void Call(const Record& r) {
    Request* req = Find(r.Id());
    if (!req || r.Get("method") != "GateOpen" || r.args.size() < 3) return;
    std::string detail = r.args[2];
    if (r.args[1] != req->device) detail += " (device " + r.args[1] + ")";
    if (!r.Get("error").empty()) {
      detail += " (" + r.Get("error") + ")";
      ++req->errors;
    }
    if (!req->answer_us) {
      for (const Step& s : req->steps)
        if (s.name == "CHECK") {
          req->answer_us = r.us - s.us;
          break;
        }
    }
    AddStep(*req, "GateOpen", r.us, detail);
  }

  void Frame(const Record& r) {
    Request* req = Find(r.Id());
    const std::string bytes = r.Get("bytes");
    if (!req || bytes.size() < 5 || bytes[0] != '$') return;
    // The frame's code follows the device: the one the entry names now (an answer
    // may have changed it, to "1" say), else four characters.
    const std::u16string text = FromUtf8(bytes);
    const std::u16string now = FromUtf8(DeviceNow(*req));
    const std::size_t at = text.compare(1, now.size(), now) == 0 && text.size() >= now.size() + 3 ? 1 + now.size() : 5;
    const std::string code = text.size() >= at + 2 ? ToUtf8(text.substr(at, 2)) : "";
    if (code != "GO" && code != "PH" && code != "CP") return;
    if (code != "CP") {
      (code == "GO" ? req->opened : req->refused) = true;
      if (!req->card_to_frame_us && !req->steps.empty()) req->card_to_frame_us = r.us - req->steps.front().us;
    }
    const std::string device = ToUtf8(text.substr(1, at - 1));
    AddStep(*req, code, r.us, device != req->device ? "device " + device : "");
  }

  void Dropped(const Record& r) {
    const std::string detail = "(" + std::to_string(Num(r, "n")) + " in all)";
    auto mark = [&](Request& req) {
      req.lost = true;
      AddStep(req, "records lost", r.us, detail);
    };
    if (Num(r, "more") != 0) {
      for (auto& [id, req] : open_) mark(req);
      return;
    }
    auto ids = r.lists.find("ids");
    if (ids == r.lists.end()) return;
    for (const std::string& id : ids->second)
      if (Request* req = Find(static_cast<std::uint64_t>(std::stoull(id)))) mark(*req);
  }

  void Finish(Request& req) {
    if (filter_.since && req.t < *filter_.since) return;
    if (!Wanted(req.ip, req.device)) return;
    RoadOf(req.ip, req.device).requests.push_back(req);
  }

  const Filter& filter_;
  std::map<std::uint64_t, Request> open_;
  std::map<std::uint64_t, Record> card_lines_;
  std::map<std::pair<std::string, std::string>, std::int64_t> last_ping_;
  std::map<std::pair<std::string, std::string>, Road> roads_;
  std::set<std::string> addresses_;
  std::vector<std::string> address_errors_;
  std::vector<int> formats_;
};

}  // namespace

std::optional<Record> ParseRecord(const std::string& line) {
  Record r;
  Parser p(line);
  if (!p.Object(r)) return std::nullopt;
  auto ev = r.text.find("ev");
  auto t = r.number.find("t");
  auto us = r.number.find("us");
  if (ev == r.text.end() || us == r.number.end()) return std::nullopt;
  r.ev = ev->second;
  r.t = t == r.number.end() ? 0 : t->second;  // MergeFiles fills in a missing one
  r.us = us->second;
  if (r.ev == f::kStatus || r.ev == f::kCheck || r.ev == f::kLog || r.ev == f::kErrorEvent) {
    r.text["name"] = r.ev;
    r.ev = "event";
  }
  return r;
}

ReadResult ReadRecords(std::istream& in) {
  ReadResult out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (auto r = ParseRecord(line)) {
      out.records.push_back(std::move(*r));
      continue;
    }
    ++out.bad_lines;
    // A record written after an unfinished line, on the same line.
    const std::size_t at = line.rfind("{\"t\":");
    if (at != std::string::npos && at > 0)
      if (auto r = ParseRecord(line.substr(at))) out.records.push_back(std::move(*r));
  }
  return out;
}

std::vector<std::string> OrderFiles(std::vector<std::string> paths) {
  // The number after the last dot; the current file (no number) is the newest.
  auto number = [](const std::string& path) -> long long {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot + 1 == path.size()) return 0;
    const std::string tail = path.substr(dot + 1);
    if (tail.size() > 9 || tail.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::stoll(tail);
  };
  std::stable_sort(paths.begin(), paths.end(),
                   [&](const std::string& a, const std::string& b) { return number(a) > number(b); });
  return paths;
}

std::vector<Record> MergeFiles(std::vector<std::vector<Record>> files) {
  std::vector<Record> out;
  for (auto& f : files)
    for (auto& r : f) out.push_back(std::move(r));
  // What the add-in leaves out because an earlier record says it: the wall time
  // (the latest one given plus the monotonic distance), a state's "from" (the
  // entry's previous "to"), the start of an entry's report ("rest" follows the
  // entry's address, device, type and card), a line's "all" (the latest one
  // given), the address of a frame to its entry's own, and the words of the
  // add-in's log lines of what it read ("in") and sent ("out").
  struct Entry {
    std::string ip, device, type, card, to;
  };
  std::map<std::uint64_t, Entry> entries;
  std::int64_t last_t = 0, last_us = 0, last_all = -1;
  bool have_t = false;
  for (Record& r : out) {
    if (r.ev == "start") entries.clear();
    if (r.number.count("t")) {
      last_t = r.t;
      last_us = r.us;
      have_t = true;
    } else if (have_t) {
      r.t = last_t + (r.us - last_us) / 1000;
    }
    if (r.ev == "line" && r.number.count("all")) last_all = r.number["all"];
    else if (r.ev == "line" && last_all >= 0) r.number["all"] = last_all;
    if (r.ev == "event" && r.Get("name") == "LOG" && !r.text.count("data")) {
      if (r.text.count("in")) r.text["data"] = ToUtf8(f::kLogIn) + r.Get("in");
      if (r.text.count("out")) r.text["data"] = ToUtf8(f::kLogOut) + r.Get("out");
    }
    const std::uint64_t id = r.Id();
    if (id == 0) continue;
    Entry& e = entries[id];
    if (r.ev == "frame" && !r.text.count("addr")) r.text["addr"] = e.ip;
    if (r.ev == "state") {
      if (!r.text.count("from")) r.text["from"] = e.to;
      if (r.Get("from").empty()) {
        e = Entry{r.Get("ip"), r.Get("device"), r.Get("type"), r.Get("card"), {}};
      } else if (r.text.count("device")) {
        e.device = r.Get("device");
      }
      e.to = r.Get("to");
      if (e.to.empty()) entries.erase(id);
    } else if (r.ev == "event" && r.text.count("rest") && !r.text.count("data")) {
      r.text["data"] = e.ip + ";" + e.device + ";" + e.type + ";" + e.card + ";" + r.Get("rest");
    }
  }
  return out;
}

std::string Request::Outcome(Lang lang) const {
  const Words& w = WordsOf(lang);
  std::string out = opened ? w.opened : refused ? w.refused : w.not_answered;
  if (finished) out += std::string(", ") + w.finished;
  else if (timed_out) out += std::string(", ") + w.timed_out;
  if (!ended) out += std::string(", ") + w.still_open;
  if (lost) out += std::string(", ") + w.lost;
  return out;
}

std::vector<Road> BuildRoads(const std::vector<Record>& records, const Filter& filter, TraceFacts* facts) {
  Builder b(filter);
  for (const Record& r : records) b.Take(r);
  return b.Roads(facts);
}

bool Summary::EarlierFormat() const {
  for (int v : formats)
    if (v < f::kFirstWithIds) return true;
  return false;
}

namespace {

Summary Sum(const Road* const* roads, std::size_t n) {
  Summary s;
  std::vector<std::int64_t> frame, answer;
  for (std::size_t i = 0; i < n; ++i) {
    s.errors += roads[i]->address_errors;
    for (const Request& r : roads[i]->requests) {
      ++s.requests;
      s.opened += r.opened;
      s.refused += r.refused;
      s.not_answered += !r.opened && !r.refused;
      s.timed_out += r.timed_out;
      s.finished += r.finished;
      s.errors += r.errors;
      if (r.card_to_frame_us) frame.push_back(*r.card_to_frame_us);
      if (r.answer_us) answer.push_back(*r.answer_us);
    }
  }
  s.card_to_frame = Percentiles(frame);
  s.answer = Percentiles(answer);
  return s;
}

}  // namespace

Summary Summarize(const Road& road) {
  const Road* one = &road;
  return Sum(&one, 1);
}

Summary Summarize(const std::vector<Road>& roads, const TraceFacts* facts) {
  std::vector<const Road*> all;
  for (const Road& r : roads) all.push_back(&r);
  Summary s = Sum(all.data(), all.size());
  if (facts) {
    s.formats = facts->formats;
    s.errors += facts->loose_errors;
  }
  return s;
}

bool Mentions(const std::string& text, const std::string& ip) {
  if (ip.empty()) return false;
  for (auto at = text.find(ip); at != std::string::npos; at = text.find(ip, at + 1)) {
    const std::size_t end = at + ip.size();
    if (end == text.size() || !std::isdigit(static_cast<unsigned char>(text[end]))) return true;
  }
  return false;
}

std::string LocalTime(std::int64_t ms, Lang lang) {
  const std::optional<CivilTime> t = LocalTimeAt(ms);
  if (!t) return "??:??:??.???";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%c%03d", t->hour, t->minute, t->second, WordsOf(lang).decimal,
                t->ms);
  return buf;
}

std::string FormatText(const std::vector<Road>& roads, const Summary& s, Lang lang) {
  const Words& w = WordsOf(lang);
  const auto ms = [&](std::int64_t us) { return Decimal(w, Ms(us)) + " " + w.ms; };
  // "8 opened"; Russian puts the number after the word ("открыто 8").
  const auto fig = [&](std::size_t n, const char* label) {
    return lang == Lang::kRu ? std::string(label) + " " + std::to_string(n) : std::to_string(n) + " " + label;
  };
  // The figures that say something went wrong, where there are any.
  const auto trouble = [&](const Summary& f) {
    std::string out;
    if (f.not_answered) out += ", " + fig(f.not_answered, w.not_answered);
    if (f.timed_out) out += ", " + fig(f.timed_out, w.timed_out);
    if (f.errors) out += ", " + Count(w, f.errors, w.errors_n);
    return out;
  };
  std::ostringstream out;
  for (const Road& road : roads) {
    out << road.ip << (road.device.empty() ? "" : " " + std::string(w.device) + " " + road.device) << ": "
        << Count(w, road.requests.size(), w.requests) << trouble(Summarize(road));
    if (road.pings > 0)
      out << ", " << Count(w, road.pings, w.keep_alives) << ", " << w.longest_gap << " "
          << ms(road.longest_gap_ms * 1000);
    out << "\n";
    for (const Request& r : road.requests) {
      out << "  " << LocalTime(r.t, lang) << "  " << w.card << " " << r.card << " (" << r.type << ") #" << r.id
          << ": " << r.Outcome(lang) << "\n";
      const std::int64_t start = r.steps.empty() ? 0 : r.steps.front().us;
      for (std::size_t i = 1; i < r.steps.size(); ++i) {
        const Step& step = r.steps[i];
        std::string when = ms(step.us - start);
        when.insert(0, 1, '+');
        const std::size_t width = FromUtf8(when).size();  // "мс" is two characters, four bytes
        if (width < 12) when.insert(0, 12 - width, ' ');
        out << "  " << when << "  " << StepName(w, step.name);
        if (!step.detail.empty()) out << " " << StepDetail(w, step.detail);
        out << "\n";
      }
    }
  }
  out << w.summary << ": " << Count(w, s.requests, w.requests) << ", " << fig(s.opened, w.opened) << ", "
      << fig(s.refused, w.refused) << ", " << fig(s.not_answered, w.not_answered) << ", "
      << fig(s.timed_out, w.timed_out) << ", " << fig(s.finished, w.finished_n) << ", "
      << (lang == Lang::kRu ? fig(s.errors, w.errors) : Count(w, s.errors, w.errors_n))
      << "\n";
  auto figures = [&](const char* name, const Figures& f) {
    out << name;
    if (f.count == 0)
      out << ": " << w.none << "\n";
    else
      out << ": p50 " << ms(std::llround(f.p50_ms * 1000)) << ", p99 " << ms(std::llround(f.p99_ms * 1000)) << " ("
          << f.count << ")\n";
  };
  figures(w.card_to_frame, s.card_to_frame);
  figures(w.script_answer, s.answer);
  const std::string note = FormatNote(w, s);
  if (!note.empty()) out << note << "\n";
  return out.str();
}

namespace {

std::string SummaryJson(const Summary& s) {
  auto figures = [&](const Figures& f) {
    std::ostringstream o;
    o << "{\"n\":" << f.count << ",\"p50_ms\":" << Number(f.p50_ms) << ",\"p99_ms\":" << Number(f.p99_ms) << "}";
    return o.str();
  };
  std::ostringstream out;
  out << "{\"requests\":" << s.requests << ",\"opened\":" << s.opened << ",\"refused\":" << s.refused
      << ",\"not_answered\":" << s.not_answered << ",\"timed_out\":" << s.timed_out << ",\"finished\":" << s.finished
      << ",\"errors\":" << s.errors << ",\"card_to_frame\":" << figures(s.card_to_frame)
      << ",\"answer\":" << figures(s.answer) << "}";
  return out.str();
}

}  // namespace

std::string FormatJson(const std::vector<Road>& roads, const Summary& s) {
  std::ostringstream out;
  out << "{\"devices\":[";
  for (std::size_t d = 0; d < roads.size(); ++d) {
    const Road& road = roads[d];
    out << (d ? "," : "") << "{\"ip\":" << Json(road.ip) << ",\"device\":" << Json(road.device)
        << ",\"pings\":" << road.pings << ",\"longest_gap_ms\":" << road.longest_gap_ms
        << ",\"summary\":" << SummaryJson(Summarize(road)) << ",\"requests\":[";
    for (std::size_t i = 0; i < road.requests.size(); ++i) {
      const Request& r = road.requests[i];
      const std::int64_t start = r.steps.empty() ? 0 : r.steps.front().us;
      out << (i ? "," : "") << "{\"id\":" << r.id << ",\"t\":" << r.t << ",\"card\":" << Json(r.card) << ",\"type\":" << Json(r.type)
          << ",\"opened\":" << (r.opened ? "true" : "false") << ",\"refused\":" << (r.refused ? "true" : "false")
          << ",\"timed_out\":" << (r.timed_out ? "true" : "false")
          << ",\"finished\":" << (r.finished ? "true" : "false") << ",\"ended\":" << (r.ended ? "true" : "false")
          << ",\"lost\":" << (r.lost ? "true" : "false");
      if (r.card_to_frame_us) out << ",\"card_to_frame_ms\":" << Number(*r.card_to_frame_us / 1000.0);
      if (r.answer_us) out << ",\"answer_ms\":" << Number(*r.answer_us / 1000.0);
      out << ",\"steps\":[";
      for (std::size_t k = 0; k < r.steps.size(); ++k) {
        const Step& step = r.steps[k];
        out << (k ? "," : "") << "{\"step\":" << Json(step.name)
            << ",\"ms\":" << Number((step.us - start) / 1000.0);
        if (!step.detail.empty()) out << ",\"detail\":" << Json(step.detail);
        out << "}";
      }
      out << "]}";
    }
    out << "]}";
  }
  out << "],\"summary\":" << SummaryJson(s);
  out << ",\"formats\":[";
  for (std::size_t i = 0; i < s.formats.size(); ++i) out << (i ? "," : "") << s.formats[i];
  const std::string note = FormatNote(WordsOf(Lang::kEn), s);
  out << "]";
  if (!note.empty()) out << ",\"note\":" << Json(note);
  out << "}\n";
  return out.str();
}

std::optional<std::int64_t> ParseTime(const std::string& text, std::int64_t reference_ms) {
  if (text.empty()) return std::nullopt;
  if (text.find_first_not_of("0123456789") == std::string::npos) {
    try {
      return std::stoll(text);
    } catch (...) {
      return std::nullopt;
    }
  }
  int h = 0, mi = 0, sec = 0, ms = 0;
  CivilTime t;
  const char* clock_part = text.c_str();
  if (text.size() >= 10 && text[4] == '-' && text[7] == '-') {
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d", &t.year, &t.month, &t.day) != 3) return std::nullopt;
    if (text.size() == 10) {
      clock_part = "00:00";
    } else if (text[10] == ' ' || text[10] == 'T') {
      clock_part = text.c_str() + 11;
    } else {
      return std::nullopt;
    }
  } else {
    const std::optional<CivilTime> today = LocalTimeAt(reference_ms);
    if (!today) return std::nullopt;
    t = *today;
  }
  int end = 0;
  int n = std::sscanf(clock_part, "%2d:%2d%n:%2d%n", &h, &mi, &end, &sec, &end);
  if (n < 2 || h > 23 || mi > 59 || sec > 60) return std::nullopt;
  if (n == 3 && (clock_part[end] == '.' || clock_part[end] == ',')) {
    // A decimal fraction of a second: ".5" is 500 ms, ".25" 250 ms.
    int scale = 100;
    for (const char* p = clock_part + end + 1; *p >= '0' && *p <= '9'; ++p, scale /= 10) ms += (*p - '0') * scale;
    n = 4;
  }
  t.hour = h;
  t.minute = mi;
  // A leap second (:60) is read as the first second of the next minute.
  t.second = n >= 3 ? std::min(sec, 59) : 0;
  t.ms = n >= 4 ? ms : 0;
  const std::optional<std::int64_t> when = UtcMsOfLocalTime(t);
  if (!when) return std::nullopt;
  return *when + (n >= 3 && sec == 60 ? 1000 : 0);
}

}  // namespace axg::trace
