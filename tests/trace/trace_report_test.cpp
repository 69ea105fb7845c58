// The trace's web page: what the trace's own text can and cannot do to it, and
// how it stays small. What it shows is checked in a browser (report_browser.py).
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace axg::trace
