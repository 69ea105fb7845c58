#include "tools/trace/report.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>

#include "platform/clock.h"
#include "platform/text.h"
#include "tools/trace/words.h"

namespace axg::trace {
namespace {

using Ms = std::int64_t;  // wall clock, ms since 1970 UTC

// Records stamped outside 1970 to 3000 are damaged; they do not stretch the page.
constexpr Ms kLatest = 32503680000000;

// a - b and a + b, held at the ends of the range instead of overflowing.
std::int64_t Minus(std::int64_t a, std::int64_t b) {
  if (b > 0 && a < INT64_MIN + b) return INT64_MIN;
  if (b < 0 && a > INT64_MAX + b) return INT64_MAX;
  return a - b;
}
std::int64_t Plus(std::int64_t a, std::int64_t b) { return b == INT64_MIN ? Minus(a, INT64_MAX) - 1 : Minus(a, -b); }

// ---- how a request ended, as the lanes colour it ----

enum Kind { kOpened, kRefused, kTimedOut, kUnanswered, kKinds };
const char* const kKindName[kKinds] = {"opened", "refused", "timedout", "unanswered"};

const char* KindLabel(const Words& w, Kind k) {
  return k == kOpened ? w.opened : k == kRefused ? w.refused : k == kTimedOut ? w.timed_out : w.not_answered;
}

// A text with "%s" (or "%zu") filled in.
template <class... Args>
std::string Fill(const char* format, Args... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

// A GO or PH frame decides the colour; without one, whether the entry timed out.
Kind KindOf(const Request& r) {
  if (r.opened) return kOpened;
  if (r.refused) return kRefused;
  return r.timed_out ? kTimedOut : kUnanswered;
}

// ---- text helpers ----

std::string Html(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// A JSON string that may stand inside <script>: no "<" can close the element.
std::string Js(const std::string& s) {
  const std::string q = JsonQuote(s);
  std::string out;
  for (char c : q) {
    if (c == '<')
      out += "\\u003C";
    else
      out += c;
  }
  return out;
}

std::string Fixed(double v, int decimals) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// Milliseconds as the reader computes them ("12.3").
std::string MsText(std::int64_t us) { return Fixed(static_cast<double>(us) / 1000.0, 1); }

// The reader's rounding of a step time, in tenths of a millisecond.
long long Tenths(std::int64_t us) {
  const double tenths = std::strtod(MsText(us).c_str(), nullptr) * 10.0;
  return std::llround(std::clamp(tenths, -9e15, 9e15));
}

std::string Duration(const Words& w, double ms) {
  if (ms < 1000) return Decimal(w, Fixed(ms, ms < 10 ? 2 : 1)) + " " + w.ms;
  if (ms < 120000) return Decimal(w, Fixed(ms / 1000, 1)) + " " + w.sec;
  if (ms < 7200000) return Decimal(w, Fixed(ms / 60000, 1)) + " " + w.min;
  return Decimal(w, Fixed(ms / 3600000, 1)) + " " + w.hour;
}

// The UTC offset of local time at `t`, in minutes.
long long OffsetMinutes(Ms t) {
  const std::optional<CivilTime> lt = LocalTimeAt(t);
  if (!lt) return 0;
  const long long local = DaysFromCivil(lt->year, lt->month, lt->day) * 86400 + lt->hour * 3600 +
                          lt->minute * 60 + lt->second;
  return (local - (t >= 0 ? t : t - 999) / 1000) / 60;
}

// A round value on a log axis: "0.1 ms", "10 ms", "1 s".
std::string Decade(const Words& w, double ms) {
  if (ms >= 1000) return Decimal(w, Fixed(ms / 1000, ms >= 10000 || std::fmod(ms, 1000) == 0 ? 0 : 1)) + " " + w.sec;
  return Decimal(w, Fixed(ms, ms >= 1 ? 0 : ms >= 0.1 ? 1 : 2)) + " " + w.ms;
}

// The width of a bucket: "minute", "5 min", "10.0 s".
std::string Per(const Words& w, Ms ms) {
  if (ms == 60000) return w.per_minute;
  if (ms == 1000) return w.per_second;
  if (ms % 60000 == 0) return std::to_string(ms / 60000) + " " + w.min;
  return Duration(w, static_cast<double>(ms));
}

// "2026-12-09"; "09.12.2026" in Russian.
std::string LocalDate(const Words& w, Ms t) {
  const std::optional<CivilTime> lt = LocalTimeAt(t);
  if (!lt) return "";
  char buf[32];
  if (w.decimal == ',')
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", lt->day, lt->month, lt->year);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", lt->year, lt->month, lt->day);
  return buf;
}

// p-th percentile by rank, as the reader's summary takes it.
double Rank(std::vector<std::int64_t>& us, double p) {
  if (us.empty()) return 0;
  std::sort(us.begin(), us.end());
  std::size_t k = static_cast<std::size_t>(std::ceil(p * static_cast<double>(us.size())));
  if (k == 0) k = 1;
  return static_cast<double>(us[k - 1]) / 1000.0;
}

// ---- what the page is made of ----

struct Item {
  const Request* r = nullptr;
  std::size_t lane = 0;
  Kind kind = kOpened;
  bool detail = true;
  std::size_t index = 0;  // among the lane's detailed requests
};

// What happened at one controller address besides its requests.
struct Address {
  std::vector<std::pair<Ms, Ms>> connected;  // spans with at least one connection
  std::vector<std::pair<Ms, Ms>> gaps;       // silences longer than three keep-alive intervals
  std::vector<std::pair<Ms, std::string>> marks;  // disconnections and errors
  std::vector<std::pair<Ms, Ms>> heard;  // lines, and spans of counted keep-alives
  std::vector<Ms> pings;
  // Keep-alives the trace counted instead of writing: the interval each count
  // implies, and the longest silence inside it (from, length).
  std::vector<Ms> intervals;
  std::vector<std::pair<Ms, Ms>> counted_gaps;
  int open = 0;
  Ms since = 0;
  std::size_t accepts = 0, closes = 0;
};

struct Lane {
  std::string ip, device;
  Summary fig;  // the reader's figures of the lane's road
  std::vector<std::size_t> items;
  std::size_t detailed = 0;
  std::map<Ms, std::array<std::size_t, kKinds>> buckets;  // aggregated requests by bucket start
};

class Report {
 public:
  Report(const ReportInput& in, const ReportLimits& limits) : in_(in), limits_(limits), w_(WordsOf(in.lang)) {}

  std::string Build() {
    Collect();
    Place();
    Choose();
    std::ostringstream out;
    Head(out);
    Overview(out);
    Lanes(out);
    Charts(out);
    Worst(out);
    out << "<script type=\"application/json\" id=\"data\">";
    Data(out);
    out << "</script>\n<script>" << kScript << "</script>\n</body></html>\n";
    return out.str();
  }

 private:
  bool WantAddress(const std::string& ip) const {
    const std::string& f = in_.filter.device;
    if (f.empty() || f == ip) return true;
    const auto slash = f.find('/');
    if (slash != std::string::npos) return f.substr(0, slash) == ip;
    return with_requests_.count(ip) > 0;  // a device number: the addresses where it has requests
  }

  // Requests from the roads; connections, keep-alives, errors and the time range
  // from the records.
  void Collect() {
    for (std::size_t l = 0; l < in_.roads->size(); ++l) {
      const Road& road = (*in_.roads)[l];
      lanes_.push_back(Lane{road.ip, road.device, Summarize(road), {}, 0, {}});
      for (const Request& r : road.requests) {
        Item item;
        item.r = &r;
        item.kind = KindOf(r);
        item.lane = l;
        items_.push_back(item);
        with_requests_.insert(r.ip);
      }
    }
    std::sort(items_.begin(), items_.end(), [](const Item& a, const Item& b) { return a.r->t < b.r->t; });

    const std::int64_t since = in_.filter.since.value_or(INT64_MIN);
    bool any = false;
    for (const Record& rec : *in_.records) {
      if (rec.t < since || rec.t < 0 || rec.t > kLatest) continue;
      if (!any || rec.t < first_) first_ = rec.t;
      if (!any || rec.t > last_) last_ = rec.t;
      any = true;
      if (rec.ev == "start") {
        ++runs_;
        for (auto& [ip, a] : addresses_) Disconnect(a, rec.t, true);
      } else if (rec.ev == "dropped") {
        auto n = rec.number.find("n");
        dropped_ += n == rec.number.end() ? 0 : static_cast<std::size_t>(std::max<std::int64_t>(0, n->second));
      } else if (rec.ev == "error") {
        // Counted by the reader (Summary::errors); here they are marks on their address.
        const std::string text = rec.Get("text");
        bool placed = false;
        for (auto& [ip, a] : addresses_)
          if (Mentions(text, ip)) {
            a.marks.push_back({rec.t, "error: " + text});
            placed = true;
          }
        if (!placed && in_.filter.device.empty()) loose_errors_.push_back({rec.t, text});
      } else if (rec.ev == "accept" || rec.ev == "close" || rec.ev == "line") {
        const std::string ip = rec.Get("addr");
        if (!WantAddress(ip)) continue;
        Address& a = addresses_[ip];
        if (rec.ev != "accept" && !a.accepts && a.connected.empty() && a.open == 0) {
          // Connected before the trace's oldest file begins.
          a.open = 1;
          a.since = first_;
        }
        if (rec.ev == "accept") {
          ++connections_;
          ++a.accepts;
          if (a.open++ == 0) a.since = rec.t;
        } else if (rec.ev == "close") {
          ++disconnections_;
          ++a.closes;
          const std::string why = rec.Get("why");
          a.marks.push_back({rec.t, "disconnected" + (why.empty() ? std::string() : ": " + why)});
          if (a.open > 0 && --a.open == 0) a.connected.push_back({a.since, rec.t});
        } else {
          a.heard.push_back({rec.t, rec.t});
          if (rec.Get("bytes").find("PING") != std::string::npos) a.pings.push_back(rec.t);
        }
      } else if (rec.ev == "alive") {
        // A minute of usual keep-alives as one count: its first and last PING
        // are lines, the spacing of the rest is the count's.
        const std::string ip = rec.Get("addr");
        if (!WantAddress(ip)) continue;
        Address& a = addresses_[ip];
        const auto number = [&](const char* name) {
          auto it = rec.number.find(name);
          return it == rec.number.end() ? std::int64_t{0} : it->second;
        };
        const Ms last = Plus(rec.t, Minus(number("last"), rec.us) / 1000);
        a.heard.push_back({rec.t, last > rec.t && last <= kLatest ? last : rec.t});
        if (number("n") >= 2 && last > rec.t) a.intervals.push_back((last - rec.t) / (number("n") - 1));
        if (number("gap") > 0) a.counted_gaps.push_back({rec.t, number("gap")});
      }
    }
    for (auto& [ip, a] : addresses_) {
      Disconnect(a, last_, false);
      Gaps(a);
    }
    for (const Item& i : items_) {
      const Ms t = i.r->t, end = End(*i.r);
      if (t < 0 || end > kLatest) continue;
      if (!any || t < first_) first_ = t;
      if (!any || end > last_) last_ = end;
      any = true;
    }
  }

  static void Disconnect(Address& a, Ms t, bool run_ended) {
    if (a.open > 0) a.connected.push_back({a.since, t});
    if (run_ended && a.open > 0) a.marks.push_back({t, "the add-in started again"});
    a.open = 0;
  }

  // A silence of a connected address longer than three of its keep-alive
  // intervals (the median between its PINGs).
  static void Gaps(Address& a) {
    if (a.pings.size() + 2 * a.intervals.size() < 3) return;
    std::sort(a.heard.begin(), a.heard.end());  // the wall clock may have been set back
    std::sort(a.pings.begin(), a.pings.end());
    std::vector<Ms> d = a.intervals;
    for (std::size_t i = 1; i < a.pings.size(); ++i) d.push_back(a.pings[i] - a.pings[i - 1]);
    if (d.empty()) return;
    std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
    const Ms limit = std::max<Ms>(1000, 3 * d[d.size() / 2]);
    for (const auto& [from, to] : a.connected) {
      Ms prev = from;
      for (auto it = std::lower_bound(a.heard.begin(), a.heard.end(), std::pair<Ms, Ms>{from, INT64_MIN});
           it != a.heard.end() && it->first <= to; ++it) {
        if (it->first - prev > limit) a.gaps.push_back({prev, it->first});
        prev = std::max(prev, std::min(it->second, to));
      }
      if (to - prev > limit) a.gaps.push_back({prev, to});
    }
    for (const auto& [from, length] : a.counted_gaps)
      if (length > limit) a.gaps.push_back({from, Plus(from, length)});
  }

  static Ms End(const Request& r) {
    if (r.steps.empty()) return r.t;
    return Plus(r.t, Minus(r.steps.back().us, r.steps.front().us) / 1000);
  }

  // One lane per road of the reader (a device, or an address with none), one per
  // address the records show without a road.
  void Place() {
    std::set<std::string> with_road;
    for (const Lane& l : lanes_) with_road.insert(l.ip);
    for (const auto& [ip, a] : addresses_)
      if (!with_road.count(ip)) lanes_.push_back(Lane{ip, "", {}, {}, 0, {}});
    std::vector<std::size_t> order(lanes_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    // The busiest first; among equals, those with trouble first, then by address.
    std::vector<std::size_t> trouble(lanes_.size());
    for (std::size_t i = 0; i < lanes_.size(); ++i) {
      const Address* a = AddressOf(lanes_[i]);
      const Summary& f = lanes_[i].fig;
      trouble[i] = f.timed_out + f.not_answered + f.errors + (a ? a->gaps.size() + a->accepts : 0);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      const auto na = Requests(lanes_[a]), nb = Requests(lanes_[b]);
      if (na != nb) return na > nb;
      if (trouble[a] != trouble[b]) return trouble[a] > trouble[b];
      return std::pair(AddressOrder(lanes_[a].ip), lanes_[a].device) <
             std::pair(AddressOrder(lanes_[b].ip), lanes_[b].device);
    });
    std::vector<std::size_t> rank(lanes_.size());
    for (std::size_t i = 0; i < order.size(); ++i) rank[order[i]] = i;
    // Lanes are numbered in the page's order.
    std::vector<Lane> sorted;
    for (std::size_t i : order) sorted.push_back(std::move(lanes_[i]));
    lanes_ = std::move(sorted);
    for (Item& item : items_) item.lane = rank[item.lane];
    for (std::size_t i = 0; i < items_.size(); ++i) lanes_[items_[i].lane].items.push_back(i);
  }

  // "127.0.0.10" after "127.0.0.9": the numbers of an address compared as numbers.
  static std::vector<long> AddressOrder(const std::string& ip) {
    std::vector<long> out;
    for (const std::string& part : Split(ip)) out.push_back(std::strtol(part.c_str(), nullptr, 10));
    return out;
  }
  static std::vector<std::string> Split(const std::string& ip) {
    std::vector<std::string> out(1);
    for (char c : ip) {
      if (c == '.')
        out.emplace_back();
      else
        out.back().push_back(c);
    }
    return out;
  }

  static std::size_t Requests(const Lane& l) { return l.fig.requests; }

  const Address* AddressOf(const Lane& l) const {
    auto it = addresses_.find(l.ip);
    return it == addresses_.end() ? nullptr : &it->second;
  }

  // Which requests keep a mark and road of their own.
  void Choose() {
    slow_frame_ = Slowest([](const Request& r) { return r.card_to_frame_us; });
    slow_answer_ = Slowest([](const Request& r) { return r.answer_us; });
    if (items_.size() > limits_.detail) {
      std::size_t left = limits_.detail;
      for (Item& i : items_) i.detail = false;
      for (auto* list : {&slow_frame_, &slow_answer_})
        for (std::size_t k : *list)
          if (!items_[k].detail && left > 0) items_[k].detail = true, --left;
      for (Item& i : items_)
        if (!i.detail && left > 0 && (i.kind >= kTimedOut || i.r->timed_out)) i.detail = true, --left;
      // Per minute, or per a longer span where that gives too many marks.
      for (Ms minutes : {1, 2, 5, 10, 15, 30, 60, 120, 240, 1440}) {
        bucket_ = minutes * 60000;
        std::set<std::pair<std::size_t, Ms>> marks;
        for (const Item& i : items_)
          if (!i.detail) marks.insert({i.lane, Rel(i.r->t) / bucket_});
        if (marks.size() <= limits_.aggregates) break;
      }
      for (const Item& i : items_)
        if (!i.detail) ++lanes_[i.lane].buckets[Rel(i.r->t) / bucket_ * bucket_ + first_][i.kind];
    }
    for (Item& i : items_)
      if (i.detail) i.index = lanes_[i.lane].detailed++;
  }

  template <class Get>
  std::vector<std::size_t> Slowest(Get get) const {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < items_.size(); ++i)
      if (get(*items_[i].r)) out.push_back(i);
    const std::size_t n = std::min<std::size_t>(10, out.size());
    std::partial_sort(out.begin(), out.begin() + n, out.end(),
                      [&](std::size_t a, std::size_t b) { return *get(*items_[a].r) > *get(*items_[b].r); });
    out.resize(n);
    return out;
  }

  std::string Clock(Ms t) const { return LocalTime(t, in_.lang); }
  // Where t falls, from the start of the page's range.
  Ms Rel(Ms t) const { return std::clamp(t, first_, last_) - first_; }
  std::string LaneName(const Lane& l) const {
    return l.device.empty() ? l.ip : l.ip + " " + w_.device + " " + l.device;
  }

  // ---- the page ----

  void Head(std::ostringstream& out) const {
    std::string files;
    for (const std::string& f : in_.files) files += (files.empty() ? "" : " ") + f;
    out << "<!DOCTYPE html>\n<html lang=\"" << w_.html_lang << "\"><head><meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
           "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<title>" << w_.title << " " << Html(LocalDate(w_, first_) + " " + Clock(first_)) << "</title>\n<style>"
        << kStyle << "</style></head>\n<body>\n<h1>" << w_.title << "</h1>\n<p class=\"sub\">" << Html(files);
    if (!in_.filter.device.empty()) out << " &middot; " << w_.device_filter << " " << Html(in_.filter.device);
    if (in_.filter.since) out << " &middot; " << w_.since << " " << Html(Clock(*in_.filter.since));
    out << "</p>\n";
    const std::string note = FormatNote(w_, *in_.summary);
    if (!note.empty()) out << "<p class=\"warn\" data-k=\"format\">" << Html(note) << "</p>\n";
  }

  void Fig(std::ostringstream& out, const char* key, const std::string& value, const char* label,
           const char* cls = "") const {
    out << "<div class=\"fig " << cls << "\" data-k=\"" << key << "\"><b>" << Html(value) << "</b><span>" << label
        << "</span></div>";
  }

  void Overview(std::ostringstream& out) const {
    const Summary& s = *in_.summary;
    out << "<section id=\"overview\"><h2>" << w_.overview << "</h2>\n<p class=\"range\" data-k=\"range\">"
        << Html(LocalDate(w_, first_)) << " " << Html(Clock(first_)) << " &ndash; " << Html(LocalDate(w_, last_))
        << " " << Html(Clock(last_)) << " (" << Html(Duration(w_, static_cast<double>(last_ - first_))) << ", "
        << Count(w_, lanes_.size(), w_.lanes) << ", " << RunsText() << " " << w_.runs_of_addin << ")</p>\n"
        << "<div class=\"figs\">";
    Fig(out, "requests", std::to_string(s.requests), w_.requests_fig);
    Fig(out, "opened", std::to_string(s.opened), w_.opened, "opened");
    Fig(out, "refused", std::to_string(s.refused), w_.refused, "refused");
    Fig(out, "not_answered", std::to_string(s.not_answered), w_.not_answered_fig, "unanswered");
    Fig(out, "timed_out", std::to_string(s.timed_out), w_.timed_out, "timedout");
    Fig(out, "finished", std::to_string(s.finished), w_.finished_fig);
    out << "</div>\n<div class=\"figs\">";
    Fig(out, "connections", std::to_string(connections_), w_.connections);
    Fig(out, "disconnections", std::to_string(disconnections_), w_.disconnections);
    Fig(out, "errors", std::to_string(s.errors), w_.errors);
    Fig(out, "dropped", std::to_string(dropped_), w_.dropped);
    if (in_.bad_lines) Fig(out, "bad_lines", std::to_string(in_.bad_lines), w_.bad_lines);
    out << "</div>\n<div class=\"figs\">";
    auto figures = [&](const char* key, const Figures& f, const char* label) {
      const std::string k = key;
      const auto text = [&](double ms) { return Decimal(w_, MsText(std::llround(ms * 1000))) + " " + w_.ms; };
      Fig(out, (k + "_p50").c_str(), f.count ? text(f.p50_ms) : w_.none, (std::string(label) + " p50").c_str());
      Fig(out, (k + "_p99").c_str(), f.count ? text(f.p99_ms) : w_.none,
          (std::string(label) + " p99 (" + std::to_string(f.count) + ")").c_str());
    };
    figures("card_to_frame", s.card_to_frame, w_.card_to_frame);
    figures("answer", s.answer, w_.script_answer);
    out << "</div>\n";
    if (!loose_errors_.empty()) {
      out << "<details><summary>" << loose_errors_.size() << " " << w_.loose_errors << "</summary><ul>";
      for (std::size_t i = 0; i < loose_errors_.size() && i < 200; ++i)
        out << "<li>" << Html(Clock(loose_errors_[i].first)) << " " << Html(loose_errors_[i].second) << "</li>";
      out << "</ul></details>\n";
    }
    out << "</section>\n";
  }

  double X(Ms t, double width) const {
    const double span = static_cast<double>(std::max<Ms>(1, last_ - first_));
    return static_cast<double>(Rel(t)) / span * width;
  }

  // Ticks of the time axis, on round local times.
  std::vector<Ms> Ticks(int most) const {
    static const Ms steps[] = {1000,    2000,    5000,     10000,    15000,    30000,    60000,   120000,
                               300000,  600000,  900000,   1800000,  3600000,  7200000,  10800000, 21600000,
                               43200000, 86400000};
    const Ms span = std::max<Ms>(1, last_ - first_);
    Ms step = (span / most / 86400000 + 1) * 86400000;
    for (Ms s : steps)
      if (span / s < most) {
        step = s;
        break;
      }
    const Ms off = OffsetMinutes(first_) * 60000;
    std::vector<Ms> out;
    for (Ms t = ((first_ + off) / step + 1) * step - off; t <= last_; t += step) out.push_back(t);
    return out;
  }

  std::string TickLabel(Ms t) const {
    const Ms span = last_ - first_;
    const std::string c = Clock(t);
    return span >= 600000 ? c.substr(0, 5) : c.substr(0, 8);
  }

  void Lanes(std::ostringstream& out) const {
    const bool ru = in_.lang == Lang::kRu;
    out << "<section id=\"timeline\"><h2>" << w_.timeline << "</h2>\n<p class=\"note\">" << w_.timeline_note
        << " <i class=\"k opened\"></i>" << w_.opened << " <i class=\"k refused\"></i>" << w_.refused
        << " <i class=\"k timedout\"></i>" << w_.timed_out << " <i class=\"k unanswered\"></i>" << w_.not_answered
        << "; " << w_.ring_note << " " << w_.under_note << " <i class=\"k conn\"></i>"
        << (ru ? "подключено" : "connected") << ", <i class=\"k gap\"></i>"
        << (ru ? "нет проверки связи три интервала" : "no keep-alive for three intervals")
        << ", <i class=\"k mark\"></i>" << (ru ? "отключение или ошибка" : "disconnection or error") << ". "
        << w_.hover_note;
    if (bucket_) out << " " << Fill(w_.counted_per, Per(w_, bucket_).c_str());
    out << "</p>\n<div class=\"bar\"><input id=\"find\" placeholder=\"" << w_.find << "\"> "
           "<button id=\"prev\">&lsaquo;</button> <span id=\"pages\"></span> <button id=\"next\">&rsaquo;</button>"
           "</div>\n<div class=\"axis\">";
    for (Ms t : Ticks(12))
      out << "<span style=\"left:" << Fixed(X(t, 100), 2) << "%\">" << Html(TickLabel(t)) << "</span>";
    out << "</div>\n<div id=\"lanes\"></div>\n<pre id=\"road\">" << w_.road_here << "</pre>\n"
           "<div id=\"tip\" hidden></div></section>\n";
  }

  // ---- charts ----

  Ms ChartBucket() const {
    const Ms span = last_ - first_;
    for (Ms s : {1000, 2000, 5000, 10000, 15000, 30000})
      if (span / s <= 240) return s;
    // Per minute up to a day and a day, then longer, so that no chart has more
    // than about 1500 points.
    return std::max<Ms>(60000, (span / 1500 + 59999) / 60000 * 60000);
  }

  static double LogY(double ms, double lo, double hi, double height) {
    const double v = std::log10(std::max(ms, lo)), a = std::log10(lo), b = std::log10(hi);
    return height - (v - a) / (b - a) * height;
  }

  void Charts(std::ostringstream& out) const {
    const Ms width = ChartBucket();
    const std::size_t n = static_cast<std::size_t>((last_ - first_) / width + 1);
    std::vector<std::vector<std::int64_t>> frame(n), answer(n);
    std::vector<std::array<std::size_t, kKinds>> counts(n, std::array<std::size_t, kKinds>{});
    for (const Item& i : items_) {
      const std::size_t b = static_cast<std::size_t>(Rel(i.r->t) / width);
      if (b >= n) continue;
      ++counts[b][i.kind];
      if (i.r->card_to_frame_us) frame[b].push_back(*i.r->card_to_frame_us);
      if (i.r->answer_us) answer[b].push_back(*i.r->answer_us);
    }
    const std::string per = Per(w_, width);
    out << "<section id=\"latency\"><h2>" << w_.over_time << "</h2>\n";
    constexpr double L = 60, R = 990, W = R - L, H = 100, T = 10;
    auto xaxis = [&](std::ostringstream& o) {
      for (Ms t : Ticks(10)) {
        const double x = L + X(t, W);
        o << "<line class=\"grid\" x1=\"" << Fixed(x, 1) << "\" x2=\"" << Fixed(x, 1) << "\" y1=\"" << T
          << "\" y2=\"" << T + H << "\"/><text x=\"" << Fixed(x, 1) << "\" y=\"" << T + H + 14
          << "\" text-anchor=\"middle\">" << Html(TickLabel(t)) << "</text>";
      }
    };
    auto bx = [&](std::size_t b) { return L + X(first_ + static_cast<Ms>(b) * width, W); };
    const double bw = std::max(0.6, W * static_cast<double>(width) / static_cast<double>(std::max<Ms>(1, last_ - first_)));

    // Requests per bucket, stacked by outcome.
    std::size_t most = 1;
    for (const auto& c : counts) most = std::max(most, c[0] + c[1] + c[2] + c[3]);
    out << "<h3>" << Html(Fill(w_.requests_per, per.c_str(), most)) << "</h3>\n<svg class=\"chart\" viewBox=\"0 0 1000 "
        << H + T + 20 << "\">";
    xaxis(out);
    std::vector<double> base(n, 0);
    for (int k = 0; k < kKinds; ++k) {
      std::string d;
      for (std::size_t b = 0; b < n; ++b) {
        if (!counts[b][k]) continue;
        const double h = H * static_cast<double>(counts[b][k]) / static_cast<double>(most);
        d += "M" + Fixed(bx(b), 1) + " " + Fixed(T + H - base[b] - h, 1) + "h" + Fixed(bw, 1) + "v" + Fixed(h, 1) +
             "h-" + Fixed(bw, 1) + "z";
        base[b] += h;
      }
      if (!d.empty()) out << "<path class=\"" << kKindName[k] << "\" d=\"" << d << "\"/>";
    }
    out << "</svg>\n";

    // p50 and p99 per bucket, on a log scale.
    auto series = [&](const char* title, std::vector<std::vector<std::int64_t>>& data) {
      std::vector<double> p50(n, -1), p99(n, -1);
      double hi = 10;
      for (std::size_t b = 0; b < n; ++b)
        if (!data[b].empty()) {
          p50[b] = Rank(data[b], 0.5);
          p99[b] = Rank(data[b], 0.99);
          hi = std::max(hi, p99[b]);
        }
      const double lo = 0.1, top = std::pow(10.0, std::ceil(std::log10(hi)));
      out << "<h3>" << Html(Fill(w_.p50_p99_per, title, per.c_str())) << "</h3>\n<svg class=\"chart\" viewBox=\"0 0 1000 "
          << H + T + 20 << "\">";
      xaxis(out);
      for (double v = lo; v <= top * 1.001; v *= 10) {
        const double y = T + LogY(v, lo, top, H);
        out << "<line class=\"grid\" x1=\"" << L << "\" x2=\"" << R << "\" y1=\"" << Fixed(y, 1) << "\" y2=\""
            << Fixed(y, 1) << "\"/><text x=\"" << L - 4 << "\" y=\"" << Fixed(y + 4, 1)
            << "\" text-anchor=\"end\">" << Decade(w_, v) << "</text>";
      }
      for (auto [cls, vals] : {std::pair<const char*, std::vector<double>*>{"p99", &p99}, {"p50", &p50}}) {
        std::string d;
        bool pen = false;
        for (std::size_t b = 0; b < n; ++b) {
          if ((*vals)[b] < 0) {
            pen = false;
            continue;
          }
          d += (pen ? "L" : "M") + Fixed(bx(b) + bw / 2, 1) + " " + Fixed(T + LogY((*vals)[b], lo, top, H), 1);
          if (!pen) d += "h0.8";
          pen = true;
        }
        out << "<path class=\"line " << cls << "\" d=\"" << d << "\"/>";
      }
      out << "<text class=\"key p99\" x=\"" << R << "\" y=\"" << T + 10 << "\" text-anchor=\"end\">p99</text>"
          << "<text class=\"key p50\" x=\"" << R - 30 << "\" y=\"" << T + 10 << "\" text-anchor=\"end\">p50</text>"
          << "</svg>\n";
    };
    series(w_.card_to_frame_title, frame);
    series(w_.script_answer_title, answer);

    // Histograms: four buckets a decade, from 10 µs to 100 s.
    auto histogram = [&](const char* title, auto get) {
      constexpr int kPer = 4, kLo = -2, kBins = 7 * kPer + 1;
      std::size_t bins[kBins] = {}, total = 0;
      for (const Item& i : items_)
        if (auto us = get(*i.r)) {
          const double ms = std::max(0.01, static_cast<double>(*us) / 1000.0);
          const int b = std::clamp(static_cast<int>(std::floor((std::log10(ms) - kLo) * kPer)), 0, kBins - 1);
          ++bins[b];
          ++total;
        }
      const std::size_t top = std::max<std::size_t>(1, *std::max_element(bins, bins + kBins));
      out << "<div class=\"hist\"><h3>" << title << " (" << total << ")</h3><svg viewBox=\"0 0 480 150\">";
      const double w = 440.0 / kBins;
      for (int b = 0; b < kBins; ++b) {
        const double lo = std::pow(10.0, kLo + static_cast<double>(b) / kPer);
        const double hi = std::pow(10.0, kLo + static_cast<double>(b + 1) / kPer);
        const double h = 110.0 * static_cast<double>(bins[b]) / static_cast<double>(top);
        out << "<rect class=\"bin\" x=\"" << Fixed(30 + b * w, 1) << "\" y=\"" << Fixed(120 - h, 1)
            << "\" width=\"" << Fixed(w - 1, 1) << "\" height=\"" << Fixed(h, 1) << "\"><title>"
            << Html(Duration(w_, lo)) << " " << w_.to << " " << Html(Duration(w_, hi)) << ": " << bins[b]
            << "</title></rect>";
        if (b % kPer == 0)
          out << "<text x=\"" << Fixed(30 + b * w, 1) << "\" y=\"136\" text-anchor=\"middle\">" << Decade(w_, lo)
              << "</text>";
      }
      out << "</svg></div>";
    };
    out << "<div class=\"hists\">";
    histogram(w_.card_to_frame_title, [](const Request& r) { return r.card_to_frame_us; });
    histogram(w_.script_answer_title, [](const Request& r) { return r.answer_us; });
    out << "</div></section>\n";
  }

  // ---- the worst ----

  std::string RequestLink(std::size_t k) const {
    const Item& i = items_[k];
    return "<a href=\"#r=" + std::to_string(i.lane) + "." + std::to_string(i.index) + "\">" + Html(Clock(i.r->t)) +
           "</a>";
  }
  std::string LaneLink(std::size_t lane, bool address = false) const {
    return "<a href=\"#lane=" + std::to_string(lane) + "\">" +
           Html(address ? lanes_[lane].ip : LaneName(lanes_[lane])) + "</a>";
  }

  void Worst(std::ostringstream& out) const {
    out << "<section id=\"worst\"><h2>" << w_.worst << "</h2><div class=\"worst\">\n";
    auto slow = [&](const char* title, const std::vector<std::size_t>& list, auto get) {
      out << "<div><h3>" << title << "</h3><table>";
      for (std::size_t k : list) {
        const Request& r = *items_[k].r;
        out << "<tr><td>" << RequestLink(k) << "</td><td>" << LaneLink(items_[k].lane) << "</td><td>"
            << Html(r.card) << "</td><td class=\"num\">" << Decimal(w_, MsText(*get(r))) << " " << w_.ms
            << "</td><td>" << KindLabel(w_, items_[k].kind) << "</td></tr>";
      }
      if (list.empty()) out << "<tr><td>" << w_.none_row << "</td></tr>";
      out << "</table></div>\n";
    };
    slow(w_.slowest_frame, slow_frame_, [](const Request& r) { return r.card_to_frame_us; });
    slow(w_.slowest_answer, slow_answer_, [](const Request& r) { return r.answer_us; });
    auto most = [&](const char* title, bool per_address, auto count, auto show) {
      std::vector<std::pair<std::size_t, std::size_t>> rows;
      std::set<std::string> seen;  // address figures are listed once per address
      for (std::size_t l = 0; l < lanes_.size(); ++l) {
        const std::size_t n = count(lanes_[l]);
        if (n > 0 && (!per_address || seen.insert(lanes_[l].ip).second)) rows.push_back({n, l});
      }
      std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
      out << "<div><h3>" << title << "</h3><table>";
      for (std::size_t i = 0; i < rows.size() && i < 10; ++i)
        out << "<tr><td>" << LaneLink(rows[i].second, per_address) << "</td><td class=\"num\">" << show(rows[i].first)
            << "</td></tr>";
      if (rows.empty()) out << "<tr><td>" << w_.none_row << "</td></tr>";
      out << "</table></div>\n";
    };
    const auto number = [](std::size_t n) { return std::to_string(n); };
    most(w_.most_timeouts, false, [](const Lane& l) { return l.fig.timed_out; }, number);
    most(w_.most_errors, false, [](const Lane& l) { return l.fig.errors; }, number);
    most(w_.most_reconnects, true, [&](const Lane& l) {
      const Address* a = AddressOf(l);
      return a && a->accepts > 1 ? a->accepts - 1 : std::size_t{0};
    }, number);
    most(w_.longest_silence, true, [&](const Lane& l) {
      std::size_t longest = 0;
      if (const Address* a = AddressOf(l))
        for (const auto& [from, to] : a->gaps) longest = std::max(longest, static_cast<std::size_t>(to - from));
      return longest;
    }, [&](std::size_t ms) { return Duration(w_, static_cast<double>(ms)); });
    out << "</div></section>\n";
  }

  // ---- the lanes' data, for the script ----

  void Data(std::ostringstream& out) const {
    std::vector<std::string> names, outs;
    std::map<std::string, std::size_t> name_index, out_index;
    auto intern = [](std::vector<std::string>& list, std::map<std::string, std::size_t>& index,
                     const std::string& s) {
      auto [it, added] = index.insert({s, list.size()});
      if (added) list.push_back(s);
      return it->second;
    };
    auto rel = [&](Ms t) { return std::to_string(Rel(t)); };
    std::ostringstream lanes;
    for (std::size_t l = 0; l < lanes_.size(); ++l) {
      const Lane& lane = lanes_[l];
      const Address* a = AddressOf(lane);
      const Summary& f = lane.fig;
      lanes << (l ? ",\n" : "") << "{\"ip\":" << Js(lane.ip) << ",\"dev\":" << Js(lane.device) << ",\"f\":["
            << f.requests << "," << f.opened << "," << f.refused << "," << f.not_answered << "," << f.timed_out << ","
            << f.errors << "],\"rc\":" << (a && a->accepts > 1 ? a->accepts - 1 : 0);
      auto spans = [&](const char* key, const std::vector<std::pair<Ms, Ms>>* list) {
        lanes << ",\"" << key << "\":[";
        if (list)
          for (std::size_t i = 0; i < list->size(); ++i)
            lanes << (i ? "," : "") << "[" << rel((*list)[i].first) << "," << rel((*list)[i].second) << "]";
        lanes << "]";
      };
      spans("c", a ? &a->connected : nullptr);
      spans("g", a ? &a->gaps : nullptr);
      lanes << ",\"k\":[";
      if (a)
        for (std::size_t i = 0; i < a->marks.size(); ++i)
          lanes << (i ? "," : "") << "[" << rel(a->marks[i].first) << "," << Js(a->marks[i].second) << "]";
      lanes << "],\"r\":[";
      bool first = true;
      for (std::size_t k : lane.items) {
        const Item& item = items_[k];
        if (!item.detail) continue;
        const Request& r = *item.r;
        lanes << (first ? "" : ",") << "[" << rel(r.t) << "," << item.kind << ","
              << intern(outs, out_index, r.Outcome(in_.lang)) << "," << Js(r.card) << "," << Js(r.type) << ",[";
        first = false;
        const std::int64_t start = r.steps.empty() ? 0 : r.steps.front().us;
        for (std::size_t s = 1; s < r.steps.size(); ++s) {
          const Step& step = r.steps[s];
          std::string enc = std::to_string(intern(names, name_index, StepName(w_, step.name))) + "," +
                            std::to_string(Tenths(Minus(step.us, start)));
          if (!step.detail.empty()) enc += "," + StepDetail(w_, step.detail);
          lanes << (s > 1 ? "," : "") << Js(enc);
        }
        // A dark ring: opened, and the pass never reported.
        lanes << "]," << r.id << "," << (r.opened && r.timed_out && !r.finished) << "]";
      }
      lanes << "],\"a\":[";
      first = true;
      for (const auto& [t, kinds] : lane.buckets) {
        lanes << (first ? "" : ",") << "[" << rel(t) << "," << kinds[0] << "," << kinds[1] << "," << kinds[2] << ","
              << kinds[3] << "]";
        first = false;
      }
      lanes << "]}";
    }
    out << "{\"t0\":" << first_ << ",\"t1\":" << last_ << ",\"bucket\":" << bucket_
        << ",\"per\":" << limits_.lanes_per_page << ",\"tz\":[";
    long long last_off = 0;
    bool any = false;
    // Looked up on quarter hours, where clocks change.
    const Ms step = std::max<Ms>(15 * 60000, (last_ - first_) / 2000 / 900000 * 900000);
    for (Ms t = first_;; t = std::min(last_, (t / step + 1) * step)) {
      const long long off = OffsetMinutes(t);
      if (!any || off != last_off) out << (any ? "," : "") << "[" << rel(t) << "," << off << "]";
      any = true;
      last_off = off;
      if (t >= last_) break;
    }
    out << "],\"names\":[";
    for (std::size_t i = 0; i < names.size(); ++i) out << (i ? "," : "") << Js(names[i]);
    out << "],\"outs\":[";
    for (std::size_t i = 0; i < outs.size(); ++i) out << (i ? "," : "") << Js(outs[i]);
    out << "],\"w\":" << ScriptWords() << ",\"lanes\":[\n" << lanes.str() << "]}";
  }

  // "1 run", "2 runs"; "1 запуск", "2 запуска".
  std::string RunsText() const {
    static const Noun en{"run", "runs", "runs"}, ru{"запуск", "запуска", "запусков"};
    return Count(w_, runs_, in_.lang == Lang::kRu ? ru : en);
  }

  // The words the page's script writes.
  std::string ScriptWords() const {
    const auto noun = [](const Noun& n) { return "[" + Js(n.one) + "," + Js(n.few) + "," + Js(n.many) + "]"; };
    return std::string("{\"ru\":") + (in_.lang == Lang::kRu ? "true" : "false") + ",\"dec\":" +
           Js(std::string(1, w_.decimal)) + ",\"ms\":" + Js(w_.ms) + ",\"device\":" + Js(w_.device) +
           ",\"card\":" + Js(w_.card) + ",\"requests\":" + noun(w_.requests) + ",\"errors\":" + noun(w_.errors_n) +
           ",\"not_answered\":" + Js(w_.not_answered) + ",\"timed_out\":" + Js(w_.timed_out) +
           ",\"reconnects\":" + Js(w_.js_reconnects) + ",\"kinds\":[" + Js(w_.opened) + "," + Js(w_.refused) +
           "," + Js(w_.timed_out) + "," + Js(w_.not_answered) + "],\"well\":" + Js(w_.js_requests_went_well) +
           ",\"to\":" + Js(w_.to) + ",\"gap\":" + Js(w_.js_no_keep_alive) + ",\"lanes\":" + Js(w_.js_lanes) +
           ",\"page\":" + Js(w_.js_page) + "}";
  }

  static const char kStyle[];
  static const char kScript[];

  const ReportInput& in_;
  const ReportLimits& limits_;
  const Words& w_;
  std::vector<Item> items_;
  std::vector<Lane> lanes_;
  std::set<std::string> with_requests_;
  std::map<std::string, Address> addresses_;
  std::vector<std::pair<Ms, std::string>> loose_errors_;
  std::vector<std::size_t> slow_frame_, slow_answer_;
  Ms first_ = 0, last_ = 0, bucket_ = 0;
  std::size_t runs_ = 0, connections_ = 0, disconnections_ = 0, dropped_ = 0;
};

const char Report::kStyle[] = R"CSS(
body{font:14px/1.4 system-ui,sans-serif;margin:16px 24px;color:#222;background:#fafafa}
h1{margin:0;font-size:22px}h2{margin:24px 0 8px;font-size:18px;border-bottom:1px solid #ccc}h3{margin:12px 0 4px;font-size:14px}
.sub,.note{color:#555;margin:4px 0}.warn{background:#fff3bf;border:1px solid #e8c547;padding:6px 10px;white-space:pre-line}.range{margin:4px 0 8px}
.figs{display:flex;flex-wrap:wrap;gap:8px;margin:6px 0}
.fig{background:#fff;border:1px solid #ddd;border-radius:6px;padding:6px 12px;min-width:90px}
.fig b{display:block;font-size:20px}.fig span{color:#555;font-size:12px}
.fig.opened b{color:#2b8a3e}.fig.refused b{color:#c77c00}.fig.timedout b{color:#c92a2a}.fig.unanswered b{color:#666}
.opened{fill:#2f9e44}.refused{fill:#f08c00}.timedout{fill:#e03131}.unanswered{fill:#868e96}
i.k{display:inline-block;width:10px;height:10px;margin:0 3px 0 8px;vertical-align:middle}
i.opened{background:#2f9e44}i.refused{background:#f08c00}i.timedout{background:#e03131}i.unanswered{background:#868e96}
i.conn{background:#a5d8ff}i.gap{background:#ffa8a8}i.mark{background:#5f3dc4}
.bar{margin:6px 0}.bar input{width:200px}
.axis{position:relative;height:16px;margin-left:220px;font-size:11px;color:#555}
.axis span{position:absolute;transform:translateX(-50%)}
.lane{display:flex;align-items:center;border-top:1px solid #eee}
.lane.hit{background:#fff3bf}
.lane .name{width:212px;padding-right:8px;font-size:12px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.lane .name small{color:#777}
.lane svg{flex:1;height:22px;background:#fff}
rect.conn{fill:#a5d8ff}rect.gap{fill:#ffa8a8}rect.mk{fill:#5f3dc4}
rect.m{cursor:pointer}rect.m.ring{stroke:#000;stroke-width:1;vector-effect:non-scaling-stroke}
rect.m.sel{stroke:#1c7ed6;stroke-width:2;vector-effect:non-scaling-stroke}
#road{background:#fff;border:1px solid #ddd;padding:8px;min-height:3em;white-space:pre;overflow:auto}
#tip{position:fixed;z-index:9;background:#fff;border:1px solid #888;padding:4px 6px;font:12px monospace;white-space:pre;pointer-events:none}
.chart{width:100%;height:auto;background:#fff}
svg text{font-size:11px;fill:#555}line.grid{stroke:#e5e5e5}
path.line{fill:none;stroke-width:1.5}path.p50,text.p50{stroke:#1c7ed6;fill:#1c7ed6}path.p99,text.p99{stroke:#e8590c;fill:#e8590c}
path.line{fill:none}text.key{stroke:none}
.hists{display:flex;flex-wrap:wrap;gap:16px}.hist{flex:1;min-width:320px}.hist svg{width:100%;background:#fff}
rect.bin{fill:#4c6ef5}
.worst{display:flex;flex-wrap:wrap;gap:24px}.worst table{border-collapse:collapse;font-size:12px}
.worst td{padding:1px 6px;border-bottom:1px solid #eee}.num{text-align:right}
)CSS";

// Draws the lanes of one page from the data, shows a mark's road, follows the
// links of the worst lists (#lane=N, #r=N.I).
const char Report::kScript[] = R"JS(
(function(){
var D=JSON.parse(document.getElementById('data').textContent),$=function(i){return document.getElementById(i);};
var K=['opened','refused','timedout','unanswered'],W=D.w,span=Math.max(1,D.t1-D.t0),page=0,shown=[],pinned=null;
function X(t){return t/span*1000;}
function f(v){return v.toFixed(1);}
function esc(s){return s.replace(/[&<>"']/g,function(c){return '&#'+c.charCodeAt(0)+';';});}
function p(n,k){n=String(n);while(n.length<(k||2))n='0'+n;return n;}
function pl(n,f){var t=n%10,h=n%100;if(!W.ru)return n+' '+(n==1?f[0]:f[1]);
 return n+' '+(t==1&&h!=11?f[0]:t>=2&&t<=4&&(h<12||h>14)?f[1]:f[2]);}
function fill(s,a){return s.replace(/%(\d)/g,function(m,i){return a[i-1];});}
function clock(t){var o=0;D.tz.forEach(function(z){if(z[0]<=t)o=z[1];});var a=D.t0+t,d=new Date(a+o*60000);
 return p(d.getUTCHours())+':'+p(d.getUTCMinutes())+':'+p(d.getUTCSeconds())+W.dec+p(a%1000,3);}
function name(l){return l.ip+(l.dev?' '+W.device+' '+l.dev:'');}
function road(L,i){var l=D.lanes[L],r=l.r[i],s=name(l)+'\n  '+clock(r[0])+'  '+W.card+' '+r[3]+' ('+r[4]+') #'+r[6]+': '+D.outs[r[2]]+'\n';
 r[5].forEach(function(e){var a=e.split(','),w='+'+(a[1]/10).toFixed(1).replace('.',W.dec)+' '+W.ms,d=a.slice(2).join(',');
  while(w.length<12)w=' '+w;s+='  '+w+'  '+D.names[+a[0]]+(d?' '+d:'')+'\n';});return s;}
function bucket(L,j){var l=D.lanes[L],a=l.a[j],s=name(l)+'\n  '+clock(a[0]).slice(0,8)+' '+W.to+' '+clock(a[0]+D.bucket).slice(0,8)+':';
 var n=0;K.forEach(function(k,i){n+=a[i+1];});s+=' '+n+' '+W.well;
 W.kinds.forEach(function(k,i){if(a[i+1])s+=', '+a[i+1]+' '+k;});return s+'\n';}
function text(el){var v;if((v=el.getAttribute('data-r'))){v=v.split('.');return road(+v[0],+v[1]);}
 if((v=el.getAttribute('data-a'))){v=v.split('.');return bucket(+v[0],+v[1]);}
 if((v=el.getAttribute('data-k'))){v=v.split('.');var m=D.lanes[+v[0]].k[+v[1]];return clock(m[0])+'  '+m[1];}
 if((v=el.getAttribute('data-g'))){v=v.split('.');var g=D.lanes[+v[0]].g[+v[1]];return fill(W.gap,[clock(g[0]),clock(g[1])]);}
 return null;}
function lane(L){var l=D.lanes[L],h=[],i;
 l.c.forEach(function(c){h.push('<rect class="conn" x="'+f(X(c[0]))+'" y="18" width="'+f(Math.max(0.5,X(c[1])-X(c[0])))+'" height="4"/>');});
 l.g.forEach(function(g,j){h.push('<rect class="gap" data-g="'+L+'.'+j+'" x="'+f(X(g[0]))+'" y="16" width="'+f(Math.max(1,X(g[1])-X(g[0])))+'" height="6"/>');});
 l.k.forEach(function(k,j){h.push('<rect class="mk" data-k="'+L+'.'+j+'" x="'+f(X(k[0])-0.5)+'" y="0" width="1.2" height="22"/>');});
 var w=Math.max(1,X(D.bucket));
 l.a.forEach(function(a,j){var c=3;while(c>0&&!a[c+1])c--;h.push('<rect class="m '+K[c]+'" data-a="'+L+'.'+j+'" x="'+f(X(a[0]))+'" y="5" width="'+f(w)+'" height="9" opacity="0.6"/>');});
 l.r.forEach(function(r,j){var ring=r[7]==1;
  h.push('<rect class="m '+K[r[1]]+(ring?' ring':'')+'" data-r="'+L+'.'+j+'" data-o="'+K[r[1]]+'" x="'+f(X(r[0])-2)+'" y="2" width="4" height="14"/>');});
 // The reader's figures of the road: requests, opened, refused, not answered, timed out, errors.
 var F=l.f,fig=function(k,t){return '<span data-f="'+k+'">'+t+'</span>';},x=[fig('requests',pl(F[0],W.requests))];
 if(F[3])x.push(fig('not_answered',F[3])+' '+W.not_answered);if(F[4])x.push(fig('timed_out',F[4])+' '+W.timed_out);
 if(F[5])x.push(fig('errors',pl(F[5],W.errors)));if(l.rc)x.push(l.rc+' '+W.reconnects);
 return '<div class="lane" id="lane-'+L+'" data-lane="'+esc(l.ip+'/'+l.dev)+'"><div class="name" title="'+esc(name(l))+'">'+esc(name(l))+
  '<br><small>'+x.join(' &middot; ')+'</small></div><svg viewBox="0 0 1000 22" preserveAspectRatio="none">'+h.join('')+'</svg></div>';}
function filter(){var q=$('find').value.trim();shown=[];D.lanes.forEach(function(l,i){if(!q||(l.ip+'/'+l.dev).indexOf(q)>=0)shown.push(i);});}
function draw(){var n=Math.max(1,Math.ceil(shown.length/D.per));page=Math.min(Math.max(0,page),n-1);
 var part=shown.slice(page*D.per,(page+1)*D.per);$('lanes').innerHTML=part.map(lane).join('');
 $('pages').textContent=fill(W.lanes,[part.length?page*D.per+1:0,page*D.per+part.length,shown.length])+(n>1?' ('+fill(W.page,[page+1,n])+')':'');}
function show(L){filter();var i=shown.indexOf(L);if(i<0){$('find').value='';filter();i=shown.indexOf(L);}page=Math.floor(i/D.per);draw();
 var el=$('lane-'+L);if(el){el.classList.add('hit');el.scrollIntoView({block:'nearest'});}return el;}
function hash(){var m=/^#(lane|r)=(\d+)(?:\.(\d+))?$/.exec(location.hash);if(!m||!D.lanes[+m[2]])return;var el=show(+m[2]);
 if(m[1]=='r'&&el){var mk=el.querySelector('[data-r="'+m[2]+'.'+m[3]+'"]');if(mk){mk.classList.add('sel');$('road').textContent=text(mk);}}}
var tip=$('tip');
document.addEventListener('mouseover',function(e){var t=e.target.getAttribute&&text(e.target);if(!t){tip.hidden=true;return;}
 tip.textContent=t;tip.hidden=false;tip.style.left=Math.min(e.clientX+12,innerWidth-tip.offsetWidth-4)+'px';tip.style.top=(e.clientY+14)+'px';});
document.addEventListener('click',function(e){var t=e.target.getAttribute&&text(e.target);if(!t)return;
 if(pinned)pinned.classList.remove('sel');pinned=e.target;pinned.classList.add('sel');$('road').textContent=t;});
$('find').addEventListener('input',function(){page=0;filter();draw();});
$('prev').onclick=function(){page--;draw();};$('next').onclick=function(){page++;draw();};
window.addEventListener('hashchange',hash);
filter();draw();hash();
// How long the page took to open, for whoever measures it.
document.documentElement.setAttribute('data-ready-ms',Math.round(performance.now()));
})();
)JS";

}  // namespace

std::string FormatHtml(const ReportInput& input, const ReportLimits& limits) {
  return Report(input, limits).Build();
}

}  // namespace axg::trace
