#include "tools/trace/reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "platform/clock.h"
#include "platform/text.h"

namespace axg::trace {
namespace {

// ---- a JSON reader for the trace's flat objects ----

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
      const std::string key = ToUtf8(key16);
      Space();
      if (!Eat(':')) return false;
      Space();
      if (Peek() == '"') {
        std::u16string value;
        if (!String(value)) return false;
        if (key == "bytes") {
          std::string bytes;
          for (char16_t c : value) bytes += static_cast<char>(c & 0xFF);
          r.text[key] = bytes;
        } else {
          r.text[key] = ToUtf8(value);
        }
      } else if (Peek() == '[') {
        ++i_;
        Space();
        if (!Eat(']')) {
          for (;;) {
            std::u16string item;
            Space();
            if (!String(item)) return false;
            r.args.push_back(ToUtf8(item));
            Space();
            if (Eat(']')) break;
            if (!Eat(',')) return false;
          }
        }
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
std::string DeviceOf(const std::string& bytes) { return bytes.size() >= 5 ? bytes.substr(1, 4) : ""; }

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

// Puts the requests together as the records come.
class Builder {
 public:
  explicit Builder(const Filter& filter) : filter_(filter) {}

  void Take(const Record& r) {
    if (r.ev == "start") {
      // A new run of the add-in: its monotonic clock and its stack start afresh.
      for (auto& [key, req] : open_) Finish(req);
      open_.clear();
      last_card_line_.clear();
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
    }
  }

  std::vector<Road> Roads() {
    for (auto& [key, req] : open_) Finish(req);
    open_.clear();
    std::vector<Road> out;
    for (auto& [key, road] : roads_) out.push_back(std::move(road));
    return out;
  }

 private:
  using Key = std::pair<std::string, std::string>;

  Request* Find(const std::string& ip, const std::string& device) {
    auto it = open_.find({ip, device});
    return it == open_.end() ? nullptr : &it->second;
  }
  static void AddStep(Request& req, std::string name, std::int64_t us, std::string detail = {}) {
    req.steps.push_back({std::move(name), us, std::move(detail)});
  }

  void Line(const Record& r) {
    const std::string bytes = r.Get("bytes");
    const std::string ip = r.Get("addr");
    if (!bytes.empty() && bytes[0] == '$' && bytes.find("RQ") != std::string::npos) {
      last_card_line_[{ip, DeviceOf(bytes)}] = r;
    } else if (!bytes.empty() && bytes[0] == '#' && bytes.find("GR") != std::string::npos) {
      if (Request* req = Find(ip, DeviceOf(bytes))) AddStep(*req, "relay", r.us);
    }
  }

  void State(const Record& r) {
    const std::string ip = r.Get("ip"), device = r.Get("device"), from = r.Get("from"), to = r.Get("to");
    if (from.empty() && to == "NEW") {
      if (Request* old = Find(ip, device)) Finish(*old);
      Request req;
      req.ip = ip;
      req.device = device;
      req.type = r.Get("type");
      req.card = r.Get("card");
      std::int64_t us = r.us, t = r.t;
      // The card step is the arrival of the device's line, when there was one.
      auto line = last_card_line_.find({ip, device});
      if (line != last_card_line_.end() && line->second.us <= r.us && r.us - line->second.us < 1000000) {
        us = line->second.us;
        t = line->second.t;
        last_card_line_.erase(line);
      }
      req.t = t;
      AddStep(req, "card", us, req.card);
      open_[{ip, device}] = std::move(req);
      return;
    }
    Request* req = Find(ip, device);
    if (!req) return;
    if (to.empty()) {
      AddStep(*req, "dropped", r.us);
      Finish(*req);
      open_.erase({ip, device});
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
    if (r.Get("name") != "CHECK") return;
    const auto f = Split(r.Get("data"), ';');
    if (f.size() < 5 || f[4] != "0") return;
    Request* req = Find(f[0], f[1]);
    if (!req) return;
    const std::string hr = r.Get("hr");
    AddStep(*req, "CHECK", r.us, hr == "0x00000000" || hr.empty() ? "" : "failed " + hr);
  }

  void Call(const Record& r) {
    if (r.Get("method") != "GateOpen" || r.args.size() < 3) return;
    const std::string& ip = r.args[0];
    Request* req = Find(ip, r.args[1]);
    if (!req) {
      // The add-in finds the entry for an answer by its address alone.
      for (auto& [key, open] : open_)
        if (key.first == ip) {
          req = &open;
          break;
        }
    }
    if (!req) return;
    std::string detail = r.args[2];
    if (!r.Get("error").empty()) detail += " (" + r.Get("error") + ")";
    if (!req->answer_us) {
      for (const Step& s : req->steps)
        if (s.name == "CHECK") req->answer_us = r.us - s.us;
    }
    AddStep(*req, "GateOpen", r.us, detail);
  }

  void Frame(const Record& r) {
    const std::string bytes = r.Get("bytes");
    if (bytes.size() < 7 || bytes[0] != '$') return;
    const std::string code = bytes.substr(5, 2);
    if (code != "GO" && code != "PH") return;
    Request* req = Find(r.Get("addr"), DeviceOf(bytes));
    if (!req) return;
    (code == "GO" ? req->opened : req->refused) = true;
    if (!req->card_to_frame_us && !req->steps.empty()) req->card_to_frame_us = r.us - req->steps.front().us;
    AddStep(*req, code, r.us);
  }

  void Finish(Request& req) {
    if (filter_.since && req.t < *filter_.since) return;
    if (!filter_.device.empty() && filter_.device != req.ip && filter_.device != req.device &&
        filter_.device != req.ip + "/" + req.device)
      return;
    req.ended = !req.steps.empty() && req.steps.back().name == "dropped";
    Road& road = roads_[{req.ip, req.device}];
    road.ip = req.ip;
    road.device = req.device;
    road.requests.push_back(req);
  }

  const Filter& filter_;
  std::map<Key, Request> open_;
  std::map<Key, Record> last_card_line_;
  std::map<Key, Road> roads_;
};

}  // namespace

std::optional<Record> ParseRecord(const std::string& line) {
  Record r;
  Parser p(line);
  if (!p.Object(r)) return std::nullopt;
  auto ev = r.text.find("ev");
  auto t = r.number.find("t");
  auto us = r.number.find("us");
  if (ev == r.text.end() || t == r.number.end() || us == r.number.end()) return std::nullopt;
  r.ev = ev->second;
  r.t = t->second;
  r.us = us->second;
  return r;
}

ReadResult ReadRecords(std::istream& in) {
  ReadResult out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (auto r = ParseRecord(line))
      out.records.push_back(std::move(*r));
    else
      ++out.bad_lines;
  }
  return out;
}

std::vector<Record> MergeFiles(std::vector<std::vector<Record>> files) {
  files.erase(std::remove_if(files.begin(), files.end(), [](const auto& f) { return f.empty(); }), files.end());
  std::stable_sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
    return a.front().t != b.front().t ? a.front().t < b.front().t : a.front().us < b.front().us;
  });
  std::vector<Record> out;
  for (auto& f : files)
    for (auto& r : f) out.push_back(std::move(r));
  return out;
}

std::string Request::Outcome() const {
  std::string out = opened ? "opened" : refused ? "refused" : "not answered";
  if (finished) out += ", finished";
  else if (timed_out) out += ", timed out";
  if (!ended) out += ", still open at the end of the trace";
  return out;
}

std::vector<Road> BuildRoads(const std::vector<Record>& records, const Filter& filter) {
  Builder b(filter);
  for (const Record& r : records) b.Take(r);
  return b.Roads();
}

Summary Summarize(const std::vector<Road>& roads) {
  Summary s;
  std::vector<std::int64_t> frame, answer;
  for (const Road& road : roads) {
    for (const Request& r : road.requests) {
      ++s.requests;
      s.opened += r.opened;
      s.refused += r.refused;
      s.timed_out += r.timed_out;
      s.finished += r.finished;
      if (r.card_to_frame_us) frame.push_back(*r.card_to_frame_us);
      if (r.answer_us) answer.push_back(*r.answer_us);
    }
  }
  s.card_to_frame = Percentiles(frame);
  s.answer = Percentiles(answer);
  return s;
}

std::string LocalTime(std::int64_t ms) {
  const std::optional<CivilTime> t = LocalTimeAt(ms);
  if (!t) return "??:??:??.???";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t->hour, t->minute, t->second, t->ms);
  return buf;
}

std::string FormatText(const std::vector<Road>& roads, const Summary& s) {
  std::ostringstream out;
  for (const Road& road : roads) {
    out << road.ip << " device " << road.device << ": " << road.requests.size()
        << (road.requests.size() == 1 ? " request\n" : " requests\n");
    for (const Request& r : road.requests) {
      out << "  " << LocalTime(r.t) << "  card " << r.card << " (" << r.type << "): " << r.Outcome() << "\n";
      const std::int64_t start = r.steps.empty() ? 0 : r.steps.front().us;
      for (std::size_t i = 1; i < r.steps.size(); ++i) {
        const Step& step = r.steps[i];
        std::string when = "+" + Ms(step.us - start) + " ms";
        if (when.size() < 12) when.insert(0, 12 - when.size(), ' ');
        out << "  " << when << "  " << step.name;
        if (!step.detail.empty()) out << " " << step.detail;
        out << "\n";
      }
    }
  }
  out << "summary: " << s.requests << " requests, " << s.opened << " opened, " << s.refused << " refused, "
      << s.timed_out << " timed out, " << s.finished << " finished\n";
  auto figures = [&](const char* name, const Figures& f) {
    out << name;
    if (f.count == 0)
      out << ": none\n";
    else
      out << ": p50 " << Ms(std::llround(f.p50_ms * 1000)) << " ms, p99 " << Ms(std::llround(f.p99_ms * 1000))
          << " ms (" << f.count << ")\n";
  };
  figures("card to frame", s.card_to_frame);
  figures("script answer", s.answer);
  return out.str();
}

std::string FormatJson(const std::vector<Road>& roads, const Summary& s) {
  std::ostringstream out;
  out << "{\"devices\":[";
  for (std::size_t d = 0; d < roads.size(); ++d) {
    const Road& road = roads[d];
    out << (d ? "," : "") << "{\"ip\":" << Json(road.ip) << ",\"device\":" << Json(road.device)
        << ",\"requests\":[";
    for (std::size_t i = 0; i < road.requests.size(); ++i) {
      const Request& r = road.requests[i];
      const std::int64_t start = r.steps.empty() ? 0 : r.steps.front().us;
      out << (i ? "," : "") << "{\"t\":" << r.t << ",\"card\":" << Json(r.card) << ",\"type\":" << Json(r.type)
          << ",\"opened\":" << (r.opened ? "true" : "false") << ",\"refused\":" << (r.refused ? "true" : "false")
          << ",\"timed_out\":" << (r.timed_out ? "true" : "false")
          << ",\"finished\":" << (r.finished ? "true" : "false") << ",\"ended\":" << (r.ended ? "true" : "false");
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
  auto figures = [&](const Figures& f) {
    std::ostringstream o;
    o << "{\"n\":" << f.count << ",\"p50_ms\":" << Number(f.p50_ms) << ",\"p99_ms\":" << Number(f.p99_ms) << "}";
    return o.str();
  };
  out << "],\"summary\":{\"requests\":" << s.requests << ",\"opened\":" << s.opened << ",\"refused\":" << s.refused
      << ",\"timed_out\":" << s.timed_out << ",\"finished\":" << s.finished
      << ",\"card_to_frame\":" << figures(s.card_to_frame) << ",\"answer\":" << figures(s.answer) << "}}\n";
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
  const int n = std::sscanf(clock_part, "%2d:%2d:%2d.%3d", &h, &mi, &sec, &ms);
  if (n < 2 || h > 23 || mi > 59 || sec > 60) return std::nullopt;
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
