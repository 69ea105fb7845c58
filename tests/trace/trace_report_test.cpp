// The trace's web page: what the trace's own text can and cannot do to it, and
// how it stays small. What it shows is checked in a browser (report_browser.py).
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tools/trace/report.h"

namespace axg::trace {
namespace {

constexpr std::int64_t kT0 = 1796817600000;  // 2026-12-09 12:00:00 UTC

std::string R(std::int64_t ms, const std::string& ev, const std::string& fields) {
  return "{\"t\":" + std::to_string(kT0 + ms) + ",\"us\":" + std::to_string(5000000 + ms * 1000) + ",\"ev\":\"" +
         ev + "\"," + fields + "}\n";
}
// One request: card, decision, and the frame `code` (GO or PH) after `ms_to_frame`,
// or none when empty; "timed out" ends it unanswered.
std::string Request(std::int64_t ms, const std::string& ip, const std::string& card, const std::string& code,
                    int ms_to_frame) {
  static int next_id = 0;
  const std::string id = "\"id\":" + std::to_string(++next_id) + ",";
  std::string out = R(ms, "state", id + "\"ip\":\"" + ip + "\",\"d\":\"0001\",\"type\":\"T\",\"card\":\"" + card +
                                       "\",\"from\":\"\",\"to\":\"NEW\"");
  if (!code.empty())
    out += R(ms + ms_to_frame, "frame", id + "\"a\":\"" + ip + "\",\"b\":\"$0001" + code + "00\"");
  else
    out += R(ms + 7000, "state", id + "\"from\":\"WAIT\",\"to\":\"TIMEOUT\"");
  return out + R(ms + 7001, "state", id + "\"from\":\"X\",\"to\":\"\"");
}

std::string Page(const std::string& trace, const ReportLimits& limits = {}) {
  std::istringstream in(trace);
  const std::vector<Record> records = ReadRecords(in).records;
  const std::vector<Road> roads = BuildRoads(records, {});
  const Summary summary = Summarize(roads);
  return FormatHtml({&records, &roads, &summary, {}, {"trace.jsonl"}, 0}, limits);
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(TraceReportTest, TextFromTheTraceStaysText) {
  const std::string evil = "</script><script>alert(1)</script><b x='";
  const std::string page =
      Page(R(0, "accept", "\"addr\":\"10.0.0.1\",\"port\":\"1\"") + Request(10, "10.0.0.1", evil, "GO", 30) +
           R(20, "error", "\"text\":\"from 10.0.0.1: <img src=x>\""));
  EXPECT_EQ(Count(page, "<script"), 2u);  // the data and the page's own script
  EXPECT_EQ(Count(page, "<img"), 0u);
  EXPECT_EQ(Count(page, "alert(1)"), 2u);  // in the slowest list and the lane's data, both harmless
  EXPECT_NE(page.find("&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt;&lt;b x=&#39;"), std::string::npos);
  EXPECT_NE(page.find("\\u003C/script>\\u003Cscript>alert(1)"), std::string::npos);
}

TEST(TraceReportTest, DamagedTimeStampsDoNotStretchThePage) {
  const std::string ok = Request(0, "10.0.0.1", "1", "GO", 20) + Request(60000, "10.0.0.1", "2", "PH", 20);
  for (const char* bad : {"9223372036854775807", "-9223372036854775808", "99999999999999"}) {
    const std::string damaged = std::string("{\"t\":") + bad + ",\"us\":" + bad +
                                ",\"ev\":\"state\",\"id\":999,\"ip\":\"10.0.0.2\",\"device\":\"0001\",\"card\":\"3\","
                                "\"from\":\"\",\"to\":\"NEW\"}\n";
    const std::string page = Page(ok + damaged);
    EXPECT_LT(page.size(), 100000u) << bad;
    EXPECT_NE(page.find("Requests per second"), std::string::npos) << bad;  // the span is the good records' minute
  }
}

// Beyond the limit, the requests that went well are counted per minute, and the
// ones that went wrong keep their own mark: nothing is lost either way.
TEST(TraceReportTest, BeyondTheLimitRequestsAreCountedPerMinute) {
  std::string trace;
  for (int i = 0; i < 300; ++i) trace += Request(i * 20000, "10.0.0.1", std::to_string(1000 + i), "GO", 20 + i % 7);
  trace += Request(5000, "10.0.0.1", "lost-1", "", 0);
  for (const std::size_t detail : {std::size_t{1000}, std::size_t{15}}) {
    const std::string page = Page(trace, {detail, 1000, 40});
    const std::string data = page.substr(page.find("\"lanes\":["));
    std::size_t counted = 0, marks = 0;
    for (auto at = data.find("\"a\":["); at != std::string::npos; at = data.find("\"a\":[", at + 1)) {
      std::istringstream row(data.substr(at + 5, data.find("]]", at) - at - 5));
      for (char c; row >> c && c == '[';) {
        long long t, n[4];
        row >> t >> c >> n[0] >> c >> n[1] >> c >> n[2] >> c >> n[3] >> c >> c;
        counted += static_cast<std::size_t>(n[0] + n[1] + n[2] + n[3]);
        ++marks;
        if (c != ',') break;
      }
    }
    const std::size_t own = Count(data, "\",[\"");  // a request's steps follow its card and type
    EXPECT_EQ(own + counted, 301u) << detail;
    EXPECT_NE(data.find("\"lost-1\""), std::string::npos) << detail;
    if (detail == 15) {
      EXPECT_EQ(own, 11u);  // the ten slowest and the lost one
      EXPECT_EQ(marks, 100u);  // three requests a minute
      EXPECT_NE(page.find("counted per minute"), std::string::npos);
    } else {
      EXPECT_EQ(own, 301u);
    }
  }
}

// Each lane's figures are its road's, in the page and in --json alike, and the
// overview's are their sum: a finished pass (CHECK kind 2) is no error, a request
// still waiting at the end is not answered and did not time out, an error goes to
// its request's lane or to its address's first, a trace of the earlier format
// shows its keep-alives and says why it shows no requests.
TEST(TraceReportTest, EachLaneShowsItsRoadsFigures) {
  const std::string a = "\"a\":\"10.0.0.1\"", waiting = R(100, "state", "\"id\":9,\"from\":\"\",\"to\":\"NEW\","
                                                                        "\"ip\":\"10.0.0.2\",\"d\":\"0001\",\"card\":\"7\"");
  const std::string v2 = R(0, "start", "\"v\":2");
  struct Case {
    const char* name;
    std::string trace;
    std::map<std::string, std::vector<std::size_t>> lanes;  // requests, opened, refused, not answered, timed out, errors
    const char* page_has;
  } cases[] = {
      {"a finished pass", v2 + R(10, "state", "\"id\":8,\"from\":\"\",\"to\":\"NEW\",\"ip\":\"10.0.0.1\",\"d\":\"0001\"") +
                              R(30, "frame", "\"id\":8,\"b\":\"$0001GO00\"") + R(40, "state", "\"id\":8,\"to\":\"FINISH\"") +
                              R(50, "CHECK", "\"id\":8,\"data\":\"10.0.0.1;0001;T;1;2\"") + R(50, "state", "\"id\":8,\"to\":\"\""),
       {{"10.0.0.1/0001", {1, 1, 0, 0, 0, 0}}}, "data-k=\"errors\"><b>0<"},
      {"waiting at the end", v2 + Request(10, "10.0.0.1", "2", "", 0) + waiting,
       {{"10.0.0.1/0001", {1, 0, 0, 1, 1, 0}}, {"10.0.0.2/0001", {1, 0, 0, 1, 0, 0}}}, "data-k=\"timed_out\"><b>1<"},
      {"errors", v2 + R(1, "accept", a + ",\"p\":\"5\"") + Request(10, "10.0.0.1", "3", "PH", 20) + waiting +
                     R(200, "error", "\"id\":9,\"text\":\"x\"") + R(300, "error", "\"text\":\"limit from 10.0.0.1/5\"") +
                     R(400, "CHECK", "\"id\":9,\"data\":\"x\",\"hr\":\"0x80004005\"") + R(500, "error", "\"text\":\"loose\""),
       {{"10.0.0.1/0001", {1, 0, 1, 0, 0, 1}}, {"10.0.0.2/0001", {1, 0, 0, 1, 0, 2}}}, "data-k=\"errors\"><b>4<"},
      {"format 1", R(0, "start", "\"files\":4") + R(1, "accept", "\"addr\":\"10.0.0.3\",\"port\":\"5\"") +
                       R(5, "line", "\"addr\":\"10.0.0.3\",\"bytes\":\"$0001PING\"") +
                       R(9, "state", "\"ip\":\"10.0.0.3\",\"device\":\"0001\",\"card\":\"5\",\"from\":\"\",\"to\":\"NEW\""),
       {{"10.0.0.3/0001", {0, 0, 0, 0, 0, 0}}}, "record format 1"},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.trace);
    const std::vector<Record> records = ReadRecords(in).records;
    TraceFacts facts;
    const std::vector<Road> roads = BuildRoads(records, {}, &facts);
    const Summary summary = Summarize(roads, &facts);
    const std::string json = FormatJson(roads, summary);
    for (const Lang lang : {Lang::kEn, Lang::kRu}) {
      const std::string page = FormatHtml({&records, &roads, &summary, {}, {"trace.jsonl"}, 0, lang});
      for (const auto& [lane, f] : c.lanes) {
        const std::string ip = lane.substr(0, lane.find('/')), dev = lane.substr(lane.find('/') + 1);
        std::string want = "{\"ip\":\"" + ip + "\",\"dev\":\"" + dev + "\",\"f\":[";
        for (std::size_t i = 0; i < f.size(); ++i) want += (i ? "," : "") + std::to_string(f[i]);
        EXPECT_NE(page.find(want + "]"), std::string::npos) << c.name << ": " << want;
        const std::string road = "{\"ip\":\"" + ip + "\",\"device\":\"" + dev + "\"";
        const std::size_t at = json.find(road);
        ASSERT_NE(at, std::string::npos) << c.name << ": " << road;
        const std::string fig = "\"requests\":" + std::to_string(f[0]) + ",\"opened\":" + std::to_string(f[1]) +
                                ",\"refused\":" + std::to_string(f[2]) + ",\"not_answered\":" + std::to_string(f[3]) +
                                ",\"timed_out\":" + std::to_string(f[4]);
        EXPECT_EQ(json.find(fig, at), json.find("\"summary\":{", at) + 11) << c.name << ": " << lane;
        EXPECT_NE(json.find(",\"errors\":" + std::to_string(f[5]), at), std::string::npos) << c.name;
      }
      if (lang == Lang::kEn) {
        EXPECT_NE(page.find(c.page_has), std::string::npos) << c.name;
      }
    }
  }
}

}  // namespace
}  // namespace axg::trace
