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
std::string Id(int id) { return "\"id\":" + std::to_string(id) + ","; }
// A new entry's state record names its request; the later ones only the entry.
std::string State(std::int64_t ms, int id, const std::string& ip, const std::string& dev, const std::string& card,
                  const std::string& from, const std::string& to) {
  return R(ms, "state", Id(id) + "\"from\":\"" + from + "\",\"to\":\"" + to + "\"" +
                            (from.empty() ? ",\"ip\":\"" + ip + "\",\"d\":\"" + dev + "\",\"type\":\"T\",\"card\":\"" +
                                                card + "\""
                                          : dev.empty() ? "" : ",\"d\":\"" + dev + "\""));
}
std::string Check(std::int64_t ms, int id, const std::string& ip, const std::string& dev, const std::string& card,
                  int kind) {
  return R(ms, "event", Id(id) + "\"name\":\"CHECK\",\"data\":\"" + ip + ";" + dev + ";T;" + card + ";" +
                            std::to_string(kind) + "\"");
}
std::string Gate(std::int64_t ms, int id, const std::string& ip, const std::string& dev, const std::string& word) {
  return R(ms, "call", Id(id) + "\"method\":\"GateOpen\",\"args\":[\"" + ip + "\",\"" + dev + "\",\"" + word +
                           "\"],\"answer\":\"TRUE\"");
}
std::string Bytes(std::int64_t ms, int id, const std::string& ev, const std::string& ip, const std::string& bytes) {
  return R(ms, ev, (id ? Id(id) : "") + "\"a\":\"" + ip + "\",\"b\":\"" + bytes + "\"");
}

// Three requests: one opened and passed (card, CHECK, GateOpen, GO, relay,
// FINISH), one refused, one the script never answered; and the trace's first
// file holding the later records, as a rotated trace given as "x x.1" does.
std::string Later() {
  return State(3000, 3, "127.0.0.3", "0002", "555", "", "NEW") + Check(3001, 3, "127.0.0.3", "0002", "555", 0) +
         State(3001, 3, "127.0.0.3", "0002", "555", "NEW", "WAIT") +
         State(10000, 3, "127.0.0.3", "0002", "555", "WAIT", "TIMEOUT") +
         Check(10000, 3, "127.0.0.3", "0002", "555", 1) + State(10001, 3, "127.0.0.3", "0002", "555", "TIMEOUT", "");
}
std::string Earlier() {
  return R(0, "start", "\"files\":4,\"limit\":8388608") + R(1, "accept", "\"a\":\"127.0.0.2\",\"p\":\"5000\"") +
         Bytes(100, 1, "line", "127.0.0.2", "$0001RQ000012345678\\u000D\\u000A") +
         State(101, 1, "127.0.0.2", "0001", "0000123456", "", "NEW") +
         Check(102, 1, "127.0.0.2", "0001", "0000123456", 0) +
         State(102, 1, "127.0.0.2", "0001", "0000123456", "NEW", "WAIT") + Gate(140, 1, "127.0.0.2", "0001", "TRUE") +
         State(140, 1, "127.0.0.2", "0001", "0000123456", "WAIT", "TRUE") +
         Bytes(150, 1, "frame", "127.0.0.2", "$0001GO1F") + Bytes(150, 1, "frame", "127.0.0.2", "$0001GR3C") +
         State(150, 1, "127.0.0.2", "0001", "0000123456", "TRUE", "OPEN") +
         Bytes(400, 1, "line", "127.0.0.2", "#0001GR\\u000D\\u000A") +
         State(900, 1, "127.0.0.2", "0001", "0000123456", "OPEN", "FINISH") +
         Check(910, 1, "127.0.0.2", "0001", "0000123456", 2) +
         State(910, 1, "127.0.0.2", "0001", "0000123456", "FINISH", "") +
         // The refused one: no device line (a manual request's placeholder card).
         State(1000, 2, "127.0.0.2", "0003", "-1-1-1-1-1", "", "NEW") +
         Check(1002, 2, "127.0.0.2", "0003", "-1-1-1-1-1", 0) + Gate(1022, 2, "127.0.0.2", "0003", "FALSE") +
         Bytes(1030, 2, "frame", "127.0.0.2", "$0003PHA1") +
         State(1030, 2, "127.0.0.2", "0003", "-1-1-1-1-1", "FALSE", "CLOSE") +
         State(1031, 2, "127.0.0.2", "0003", "-1-1-1-1-1", "CLOSE", "") + "this line is not a record\n";
}

std::vector<Record> Load() {
  std::istringstream later(Later()), earlier(Earlier());
  auto a = ReadRecords(later), b = ReadRecords(earlier);
  EXPECT_EQ(a.bad_lines, 0u);
  EXPECT_EQ(b.bad_lines, 1u);
  return MergeFiles({b.records, a.records});
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
            "  12:00:00.100  card 0000123456 (T) #1: opened, finished\n"
            "       +2.0 ms  CHECK\n"
            "      +40.0 ms  GateOpen TRUE\n"
            "      +50.0 ms  GO\n"
            "     +300.0 ms  relay\n"
            "     +800.0 ms  finished\n"
            "     +810.0 ms  CHECK kind 2\n"
            "     +810.0 ms  dropped\n"
            "127.0.0.2 device 0003: 1 request\n"
            "  12:00:01.000  card -1-1-1-1-1 (T) #2: refused\n"
            "       +2.0 ms  CHECK\n"
            "      +22.0 ms  GateOpen FALSE\n"
            "      +30.0 ms  PH\n"
            "      +30.0 ms  closed\n"
            "      +31.0 ms  dropped\n"
            "127.0.0.3 device 0002: 1 request, 1 not answered, 1 timed out\n"
            "  12:00:03.000  card 555 (T) #3: not answered, timed out\n"
            "       +1.0 ms  CHECK\n"
            "    +7000.0 ms  timed out\n"
            "    +7000.0 ms  CHECK kind 1\n"
            "    +7001.0 ms  dropped\n"
            "summary: 3 requests, 1 opened, 1 refused, 1 not answered, 1 timed out, 1 finished, 0 errors\n"
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
      {{"", ParseTime("12:00:00.5", kT0)}, 2},  // half a second, not 5 ms
      {{"", ParseTime("12:00:00.09", kT0)}, 3},
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
        "\"summary\":{\"requests\":1,\"opened\":1,\"refused\":0,\"not_answered\":0,\"timed_out\":0,\"finished\":1",
        "\"card_to_frame\":{\"n\":1,\"p50_ms\":50.000,\"p99_ms\":50.000}"})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
}

// The roads go by entry, whatever the records' addresses and devices say: an
// answer that names its device as a number, a second answer that lands on the
// first entry of its address, a card from another address that joins an entry, a
// device id outside ASCII, records lost, and a record glued to an unfinished line.
TEST_F(TraceReaderTest, RecordsGoToTheirEntryByItsId) {
  const std::string torn = "{\"t\":1796817600000,\"us\":5000,\"ev\":\"li";
  std::istringstream in(
      R(0, "start", "") +
      // A GateOpen with the device as a number opens entry 4.
      State(10, 4, "127.0.0.4", "0004", "44", "", "NEW") + Check(11, 4, "127.0.0.4", "0004", "44", 0) +
      Gate(20, 4, "127.0.0.4", "1", "TRUE") + Bytes(30, 4, "frame", "127.0.0.4", "$0004GO00") +
      // Two readers at one address; both answers land on entry 5, entry 6 times out.
      State(100, 5, "127.0.0.5", "0001", "51", "", "NEW") + State(101, 6, "127.0.0.5", "0002", "52", "", "NEW") +
      Check(102, 5, "127.0.0.5", "0001", "51", 0) + Check(103, 6, "127.0.0.5", "0002", "52", 0) +
      Gate(110, 5, "127.0.0.5", "0001", "TRUE") + Bytes(120, 5, "frame", "127.0.0.5", "$0001GO00") +
      R(125, "dropped", "\"n\":7,\"ids\":[6,99],\"last\":6") +
      Gate(130, 5, "127.0.0.5", "0002", "FALSE") + torn + State(130, 5, "", "0002", "", "OPEN", "FALSE") +
      // A card of another address joins entry 5.
      Bytes(140, 5, "line", "127.0.0.7", "$0001RQ71\\u000D\\u000A") +
      R(140, "event", Id(5) + "\"name\":\"STATUS\",\"data\":\"127.0.0.7;0001;T;71;RQ\"") +
      State(150, 5, "", "0002", "", "FALSE", "CLOSE") + State(160, 5, "", "", "", "CLOSE", "") +
      Check(9000, 6, "127.0.0.5", "0002", "52", 1) + State(9000, 6, "", "", "", "WAIT", "TIMEOUT") +
      // A device id with a Cyrillic letter (0xC6 in the code page).
      Bytes(200, 8, "line", "127.0.0.8", "$\\u00C6001RQ8\\u000D\\u000A") +
      State(201, 8, "127.0.0.8", "Ж001", "8", "", "NEW") + Bytes(230, 8, "frame", "127.0.0.8", "$\\u00C6001PH00"));
  const ReadResult read = ReadRecords(in);
  EXPECT_EQ(read.bad_lines, 1u);
  const auto roads = BuildRoads(MergeFiles({read.records}), {});
  EXPECT_EQ(FormatText(roads, Summarize(roads)),
            "127.0.0.4 device 0004: 1 request\n"
            "  12:00:00.010  card 44 (T) #4: opened, still open at the end of the trace\n"
            "       +1.0 ms  CHECK\n"
            "      +10.0 ms  GateOpen TRUE (device 1)\n"
            "      +20.0 ms  GO\n"
            "127.0.0.5 device 0001: 1 request\n"
            "  12:00:00.100  card 51 (T) #5: opened\n"
            "       +2.0 ms  CHECK\n"
            "      +10.0 ms  GateOpen TRUE\n"
            "      +20.0 ms  GO\n"
            "      +30.0 ms  GateOpen FALSE (device 0002)\n"
            "      +30.0 ms  device 0002\n"
            "      +40.0 ms  line from 127.0.0.7: $0001RQ71\n"
            "      +40.0 ms  STATUS from 127.0.0.7: 127.0.0.7;0001;T;71;RQ\n"
            "      +50.0 ms  closed\n"
            "      +60.0 ms  dropped\n"
            "127.0.0.5 device 0002: 1 request, 1 not answered, 1 timed out\n"
            "  12:00:00.101  card 52 (T) #6: not answered, timed out, still open at the end of the trace, "
            "records of it lost\n"
            "       +2.0 ms  CHECK\n"
            "      +24.0 ms  records lost (7 in all)\n"
            "    +8899.0 ms  CHECK kind 1\n"
            "    +8899.0 ms  timed out\n"
            "127.0.0.8 device Ж001: 1 request\n"
            "  12:00:00.200  card 8 (T) #8: refused, still open at the end of the trace\n"
            "      +30.0 ms  PH\n"
            "summary: 4 requests, 2 opened, 1 refused, 1 not answered, 1 timed out, 0 finished, 0 errors\n"
            "card to frame: p50 20.0 ms, p99 30.0 ms (3)\n"
            "script answer: p50 8.0 ms, p99 9.0 ms (2)\n");
}

TEST_F(TraceReaderTest, RotatedFilesAreReadInTheOrderOfTheirNumbers) {
  EXPECT_EQ(OrderFiles({"t.jsonl", "t.jsonl.1", "t.jsonl.10", "t.jsonl.2"}),
            (std::vector<std::string>{"t.jsonl.10", "t.jsonl.2", "t.jsonl.1", "t.jsonl"}));
}

}  // namespace
}  // namespace axg::trace
