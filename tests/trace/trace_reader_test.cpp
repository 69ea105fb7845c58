// The trace reader: the roads and figures it makes of a known trace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "tools/trace/reader.h"

namespace axg::trace {
namespace {

// 2026-12-09 12:00:00 UTC.
constexpr std::int64_t kT0 = 1796817600000;

std::string R(std::int64_t ms, const std::string& ev, const std::string& fields) {
  return "{\"t\":" + std::to_string(kT0 + ms) + ",\"us\":" + std::to_string(5000000 + ms * 1000) +
         ",\"ev\":\"" + ev + "\"" + (fields.empty() ? "" : "," + fields) + "}\n";
}
std::string State(std::int64_t ms, const std::string& ip, const std::string& dev, const std::string& card,
                  const std::string& from, const std::string& to) {
  return R(ms, "state", "\"ip\":\"" + ip + "\",\"device\":\"" + dev + "\",\"type\":\"T\",\"card\":\"" + card +
                            "\",\"from\":\"" + from + "\",\"to\":\"" + to + "\"");
}
std::string Check(std::int64_t ms, const std::string& ip, const std::string& dev, const std::string& card,
                  int kind) {
  return R(ms, "event", "\"name\":\"CHECK\",\"data\":\"" + ip + ";" + dev + ";T;" + card + ";" +
                            std::to_string(kind) + "\",\"hr\":\"0x00000000\"");
}
std::string Gate(std::int64_t ms, const std::string& ip, const std::string& dev, const std::string& word) {
  return R(ms, "call", "\"method\":\"GateOpen\",\"args\":[\"" + ip + "\",\"" + dev + "\",\"" + word +
                           "\"],\"answer\":\"TRUE\"");
}
std::string Bytes(std::int64_t ms, const std::string& ev, const std::string& ip, const std::string& bytes) {
  return R(ms, ev, "\"addr\":\"" + ip + "\",\"port\":\"5000\",\"bytes\":\"" + bytes + "\"");
}

// Three requests: one opened and passed (card, CHECK, GateOpen, GO, relay,
// FINISH), one refused, one the script never answered; and the trace's first
// file holding the later records, as a rotated trace given as "x x.1" does.
std::string Later() {
  return State(3000, "127.0.0.3", "0002", "555", "", "NEW") + Check(3001, "127.0.0.3", "0002", "555", 0) +
         State(3001, "127.0.0.3", "0002", "555", "NEW", "WAIT") +
         State(10000, "127.0.0.3", "0002", "555", "WAIT", "TIMEOUT") +
         Check(10000, "127.0.0.3", "0002", "555", 1) + State(10001, "127.0.0.3", "0002", "555", "TIMEOUT", "");
}
std::string Earlier() {
  return R(0, "start", "\"files\":4,\"limit\":8388608") + R(1, "accept", "\"addr\":\"127.0.0.2\",\"port\":\"5000\"") +
         Bytes(100, "line", "127.0.0.2", "$0001RQ000012345678\\u000D\\u000A") +
         State(101, "127.0.0.2", "0001", "0000123456", "", "NEW") + Bytes(101, "frame", "*", "test5A") +
         Check(102, "127.0.0.2", "0001", "0000123456", 0) +
         State(102, "127.0.0.2", "0001", "0000123456", "NEW", "WAIT") + Gate(140, "127.0.0.2", "0001", "TRUE") +
         State(140, "127.0.0.2", "0001", "0000123456", "WAIT", "TRUE") +
         Bytes(150, "frame", "127.0.0.2", "$0001GO1F") + Bytes(150, "frame", "127.0.0.2", "$0001GR3C") +
         State(150, "127.0.0.2", "0001", "0000123456", "TRUE", "OPEN") +
         Bytes(400, "line", "127.0.0.2", "#0001GR\\u000D\\u000A") +
         State(900, "127.0.0.2", "0001", "0000123456", "OPEN", "FINISH") +
         Check(910, "127.0.0.2", "0001", "0000123456", 2) +
         State(910, "127.0.0.2", "0001", "0000123456", "FINISH", "") +
         // The refused one: no device line (a manual request's placeholder card).
         State(1000, "127.0.0.2", "0003", "-1-1-1-1-1", "", "NEW") +
         Check(1002, "127.0.0.2", "0003", "-1-1-1-1-1", 0) + Gate(1022, "127.0.0.2", "0003", "FALSE") +
         Bytes(1030, "frame", "127.0.0.2", "$0003PHA1") +
         State(1030, "127.0.0.2", "0003", "-1-1-1-1-1", "FALSE", "CLOSE") +
         State(1031, "127.0.0.2", "0003", "-1-1-1-1-1", "CLOSE", "") + "this line is not a record\n";
}

std::vector<Record> Load() {
  std::istringstream later(Later()), earlier(Earlier());
  auto a = ReadRecords(later), b = ReadRecords(earlier);
  EXPECT_EQ(a.bad_lines, 0u);
  EXPECT_EQ(b.bad_lines, 1u);
  return MergeFiles({a.records, b.records});
}

class TraceReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz ? tz : "";
    had_ = tz != nullptr;
    ::setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_)
      ::setenv("TZ", saved_.c_str(), 1);
    else
      ::unsetenv("TZ");
    tzset();
  }
  std::string saved_;
  bool had_ = false;
};

TEST_F(TraceReaderTest, PrintsEachRoadWithItsStepsAndTheSummary) {
  const auto roads = BuildRoads(Load(), {});
  EXPECT_EQ(FormatText(roads, Summarize(roads)),
            "127.0.0.2 device 0001: 1 request\n"
            "  12:00:00.100  card 0000123456 (T): opened, finished\n"
            "       +2.0 ms  CHECK\n"
            "      +40.0 ms  GateOpen TRUE\n"
            "      +50.0 ms  GO\n"
            "     +300.0 ms  relay\n"
            "     +800.0 ms  finished\n"
            "     +810.0 ms  dropped\n"
            "127.0.0.2 device 0003: 1 request\n"
            "  12:00:01.000  card -1-1-1-1-1 (T): refused\n"
            "       +2.0 ms  CHECK\n"
            "      +22.0 ms  GateOpen FALSE\n"
            "      +30.0 ms  PH\n"
            "      +30.0 ms  closed\n"
            "      +31.0 ms  dropped\n"
            "127.0.0.3 device 0002: 1 request\n"
            "  12:00:03.000  card 555 (T): not answered, timed out\n"
            "       +1.0 ms  CHECK\n"
            "    +7000.0 ms  timed out\n"
            "    +7001.0 ms  dropped\n"
            "summary: 3 requests, 1 opened, 1 refused, 1 timed out, 1 finished\n"
            "card to frame: p50 30.0 ms, p99 50.0 ms (2)\n"
            "script answer: p50 20.0 ms, p99 38.0 ms (2)\n");
}

TEST_F(TraceReaderTest, FiltersByDeviceAndTime) {
  const auto records = Load();
  struct Case {
    Filter filter;
    std::size_t requests;
  } cases[] = {
      {{"127.0.0.2", std::nullopt}, 2},
      {{"0002", std::nullopt}, 1},
      {{"127.0.0.2/0003", std::nullopt}, 1},
      {{"127.0.0.9", std::nullopt}, 0},
      {{"", ParseTime("12:00:00.500", kT0)}, 2},
      {{"", ParseTime("2026-12-09 12:00:02", 0)}, 1},
      {{"", kT0 + 100}, 3},
  };
  for (const auto& c : cases) {
    const auto summary = Summarize(BuildRoads(records, c.filter));
    EXPECT_EQ(summary.requests, c.requests) << c.filter.device;
  }
  EXPECT_EQ(ParseTime("12:61", kT0), std::nullopt);
  EXPECT_EQ(ParseTime("yesterday", kT0), std::nullopt);
}

TEST_F(TraceReaderTest, JsonHoldsTheSameRoadsAndFigures) {
  const auto roads = BuildRoads(Load(), {"127.0.0.2/0001", std::nullopt});
  const std::string json = FormatJson(roads, Summarize(roads));
  for (const char* part :
       {"{\"ip\":\"127.0.0.2\",\"device\":\"0001\"", "\"card\":\"0000123456\"", "\"opened\":true",
        "\"card_to_frame_ms\":50.000", "\"answer_ms\":38.000", "{\"step\":\"relay\",\"ms\":300.000}",
        "\"summary\":{\"requests\":1,\"opened\":1,\"refused\":0,\"timed_out\":0,\"finished\":1",
        "\"card_to_frame\":{\"n\":1,\"p50_ms\":50.000,\"p99_ms\":50.000}"})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
}

}  // namespace
}  // namespace axg::trace
