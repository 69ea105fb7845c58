// The trace writer: records as the reader reads them back, rotation within the
// size bound, the memory bound, and a file that fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "platform/message_loop.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "tools/trace/reader.h"
#include "trace/TTrace.h"

namespace axg {
namespace {

namespace fs = std::filesystem;
using trace::Record;

class TraceWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("axg-trace-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    path_ = dir_ / "trace.jsonl";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  TraceOptions Options() const {
    TraceOptions o;
    o.path = FromUtf8(path_.string());
    return o;
  }
  static std::vector<Record> Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    auto r = trace::ReadRecords(in);
    EXPECT_EQ(r.bad_lines, 0u) << p;
    return r.records;
  }

  FakeClock clock{0.5};
  ScopedClock scoped{clock};
  fs::path dir_, path_;
};

TEST_F(TraceWriterTest, RecordsReadBackWithTheirFieldsBytesAndTimes) {
  TTrace t(Options());
  ASSERT_TRUE(t.Open());
  const std::int64_t us0 = clock.MonotonicUs();
  clock.AdvanceMs(3);
  // A line with a quote, a backslash, a byte above 0x7F (Cyrillic in the code
  // page) and its line end.
  t.LineIn(u"127.0.0.2", u"50001", u"$0001RQ\"\\Ж1234AB\r\n");
  t.FrameToAll(u"test5A", 3);
  t.LineDone();
  t.FrameOut(u"127.0.0.2", u"50001", u"$0001GO7F");
  t.HostEvent(u"CHECK", u"127.0.0.2;0001;T;\"Ж\";0", static_cast<long>(0x80004005));
  t.HostCall(u"GateOpen", {u"127.0.0.2", u"0001", u"TRUE"}, u"TRUE");
  t.State(9, u"127.0.0.2", u"0001", u"T", u"1234", u"WAIT", u"TRUE");
  t.Closed(u"127.0.0.2", u"50001", 104);
  t.Fault(u"[04] Порт не открыт");
  ASSERT_TRUE(t.Flush());

  auto r = trace::MergeFiles({Read(path_)});  // with what a record leaves to the ones before
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(r[0].ev, "start");
  EXPECT_EQ(r[0].us, us0);
  EXPECT_EQ(r[1].ev, "line");
  EXPECT_EQ(r[1].us, us0 + 3000);
  EXPECT_EQ(r[1].t, clock.WallMs());
  EXPECT_EQ(r[1].Get("bytes"), "$0001RQ\"\\Ж1234AB\r\n");  // the code page's bytes, read back
  EXPECT_EQ(r[1].number.at("all"), 3);
  EXPECT_EQ(r[2].Get("bytes"), "$0001GO7F");
  EXPECT_EQ(r[3].Get("data"), "127.0.0.2;0001;T;\"Ж\";0");
  EXPECT_EQ(r[3].Get("hr"), "0x80004005");
  EXPECT_EQ(r[4].args, (std::vector<std::string>{"127.0.0.2", "0001", "TRUE"}));
  EXPECT_EQ(r[4].Get("answer"), "TRUE");
  EXPECT_EQ(r[5].Id(), 9u);
  EXPECT_EQ(r[5].Get("from"), "WAIT");
  EXPECT_EQ(r[5].Get("to"), "TRUE");
  EXPECT_EQ(r[5].Get("device"), "0001");
  EXPECT_EQ(r[6].Get("why"), "socket error 104: " + ToUtf8(SocketErrorText(104)));
  EXPECT_EQ(r[7].Get("text"), "[04] Порт не открыт");
}

// What repeats is counted, not written: an entry's STATUS that repeats its
// previous one, and the keep-alives of a device that go as usual. What a question
// needs stays: the entry of each record, a keep-alive without its ECHO.
TEST_F(TraceWriterTest, RepetitionIsCountedAndTheUnusualWrittenInFull) {
  TTrace t(Options());
  ASSERT_TRUE(t.Open());
  auto ping = [&](bool echo) {
    t.LineIn(u"127.0.0.2", u"1", u"$0001PING\r\n");
    if (echo) t.FrameOut(u"127.0.0.2", u"1", u"$0001ECHO1D");
    t.HostEvent(u"STATUS", u"127.0.0.2;0001;T;NOCARDNUMBER;HardReset", 0);
    t.FrameToAll(u"test5A", 1);
    t.LineDone();
    clock.AdvanceMs(5000);
  };
  for (int i = 0; i < 14; ++i) ping(true);  // 65 s: one count written, one waiting
  t.LineIn(u"127.0.0.2", u"1", u"$0001RQ77\r\n");
  {
    TraceEntry entry(&t, 7);
    t.State(7, u"127.0.0.2", u"0001", u"T", u"77", u"", u"NEW");
    for (int i = 0; i < 3; ++i) t.HostEvent(u"STATUS", u"127.0.0.2;0001;T;77;WAIT", 0);
  }
  t.LineDone();
  ping(false);
  t.State(7, u"127.0.0.2", u"0002", u"T", u"77", u"WAIT", u"");
  ASSERT_TRUE(t.Flush());

  std::vector<std::string> seen;
  for (const Record& x : Read(path_)) {
    std::string s = x.ev + " " + std::to_string(x.Id()) + " " + x.Get("bytes").substr(0, 9) + x.Get("to");
    for (const char* n : {"n", "rep", "gap"})
      if (x.number.count(n)) s += std::string(" ") + n + "=" + std::to_string(x.number.at(n));
    seen.push_back(s);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "start 0 ", "alive 0  n=12 gap=5000", "line 7 $0001RQ77", "state 7 NEW", "event 7 ",
                      "alive 0  n=2 gap=5000", "line 0 $0001PING", "event 0 ", "state 7  rep=2"}));
}

TEST_F(TraceWriterTest, RotationKeepsTheNewestRecordsWithinTheBound) {
  TraceOptions o = Options();
  o.file_limit = 2000;
  o.files = 3;
  TTrace t(o);
  ASSERT_TRUE(t.Open());
  const int n = 400;
  for (int i = 0; i < n; ++i) {
    t.Fault(u"record " + IntToStr(i));
    clock.AdvanceMs(1);
    if (i % 7 == 0) {
      ASSERT_TRUE(t.Flush());  // flushes of differing sizes
    }
  }
  ASSERT_TRUE(t.Flush());

  std::uintmax_t total = 0;
  std::vector<std::vector<Record>> files;
  for (const fs::path& p : {path_, fs::path(path_.string() + ".1"), fs::path(path_.string() + ".2")}) {
    ASSERT_TRUE(fs::exists(p)) << p;
    EXPECT_LE(fs::file_size(p), o.file_limit) << p;
    total += fs::file_size(p);
    files.push_back(Read(p));  // no record is cut between two files
  }
  EXPECT_FALSE(fs::exists(path_.string() + ".3"));
  EXPECT_LE(total, o.file_limit * 3);
  // Whatever the files hold is the newest run of records, unbroken, ending with the last.
  std::reverse(files.begin(), files.end());
  std::vector<Record> all = trace::MergeFiles(files);
  ASSERT_FALSE(all.empty());
  int expected = -1;
  for (const Record& r : all) {
    if (r.ev != "error") continue;
    const int k = std::stoi(r.Get("text").substr(7));
    if (expected >= 0) {
      EXPECT_EQ(k, expected);
    }
    expected = k + 1;
  }
  EXPECT_EQ(expected, n);
  EXPECT_GT(total, o.file_limit);  // the older files were kept, not emptied
}

TEST_F(TraceWriterTest, WaitingRecordsAreBoundedAndTheLossIsRecordedWithItsEntries) {
  TraceOptions o = Options();
  o.memory_limit = 1000;
  // A writer that is not woken before the flush: a file that stalls.
  o.flush_interval_ms = 3600000;
  o.flush_threshold = 1u << 30;
  TTrace t(o);
  ASSERT_TRUE(t.Open());
  for (int i = 0; i < 100; ++i) {
    TraceEntry entry(&t, 1 + i % 3);
    t.Fault(u"waiting for a slow disk " + IntToStr(i));
  }
  const auto lost = t.Dropped();
  EXPECT_GT(lost, 0u);
  ASSERT_TRUE(t.Flush());
  EXPECT_EQ(t.Dropped(), 0u);
  auto r = Read(path_);
  ASSERT_EQ(r.size(), 2 + (100 - lost));
  EXPECT_EQ(r.back().ev, "dropped");
  EXPECT_EQ(r.back().number.at("n"), static_cast<std::int64_t>(lost));
  auto ids = r.back().lists.at("ids");
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(TraceWriterTest, AFileThatCannotBeOpenedOrTakesNothingFailsOpen) {
  // The last: a name the file system cannot take (an unpaired surrogate).
  const std::u16string half = FromUtf8((dir_ / "trace").string()) + u"\xD800.jsonl";
  for (const std::u16string& p : {FromUtf8((dir_ / "no-such-dir" / "trace.jsonl").string()), std::u16string(u"/dev/full"),
                                   half}) {
    TraceOptions o;
    o.path = p;
    TTrace t(o);
    EXPECT_FALSE(t.Open()) << ToUtf8(p);
    EXPECT_TRUE(t.Failed());
    EXPECT_NE(t.Failure().find(p.substr(0, p.size() - 7)), std::u16string::npos) << ToUtf8(t.Failure());
    t.Fault(u"ignored");
    EXPECT_FALSE(t.Flush());
  }
}

// A new run starts on a fresh line after one cut short; a rotation that cannot
// rename goes on in the current file and is tried again at the next one.
TEST_F(TraceWriterTest, AnUnfinishedLineAndAFailedRotationDoNotStopTheTrace) {
  { std::ofstream(path_, std::ios::binary) << "{\"t\":1,\"us\":2,\"ev\":\"li"; }
  TraceOptions o = Options();
  o.file_limit = 300;
  o.files = 2;
  fs::create_directories(dir_ / "trace.jsonl.1" / "x");  // the older file's name is taken
  TTrace t(o);
  ASSERT_TRUE(t.Open());
  for (int i = 0; i < 10; ++i) t.Fault(u"a record of some length " + IntToStr(i));
  ASSERT_TRUE(t.Flush());
  std::ifstream in(path_, std::ios::binary);
  const auto held = trace::ReadRecords(in);
  EXPECT_EQ(held.bad_lines, 1u);  // the unfinished line alone
  ASSERT_EQ(held.records.size(), 12u);
  EXPECT_EQ(held.records[0].ev, "start");
  EXPECT_EQ(std::count_if(held.records.begin(), held.records.end(),
                          [](const Record& x) { return x.Get("text").find("cannot rotate") != std::string::npos; }),
            1);

  fs::remove_all(dir_ / "trace.jsonl.1");
  t.Fault(u"after");
  ASSERT_TRUE(t.Flush());
  EXPECT_FALSE(t.Failed());
  EXPECT_EQ(Read(path_).size(), 1u);
  EXPECT_GT(fs::file_size(dir_ / "trace.jsonl.1"), o.file_limit);
}

TEST_F(TraceWriterTest, AFileThatFailsLaterSwitchesTheTraceOffAndSaysSoOnce) {
  TraceOptions o = Options();
  o.file_limit = 300;
  TTrace t(o);
  int told = 0;
  std::u16string why;
  t.OnFailure = [&](const std::u16string& w) {
    ++told;
    why = w;
  };
  ASSERT_TRUE(t.Open());
  fs::remove_all(dir_);  // the rotation finds no folder to make its new file in
  for (int i = 0; i < 20; ++i) t.Fault(u"a record of some length " + IntToStr(i));
  EXPECT_FALSE(t.Flush());
  EXPECT_TRUE(t.Failed());
  EXPECT_EQ(told, 0);  // told from a later turn, not from inside the flush
  t.Fault(u"after");
  EXPECT_FALSE(t.Flush());
  MessageLoop::Current().RunPending();
  MessageLoop::Current().RunPending();
  EXPECT_EQ(told, 1);
  EXPECT_NE(ToUtf8(why).find("trace.jsonl"), std::string::npos);
}

// The file fails while the host's thread has not yet noticed (the writer ends
// on its own); what the host does next finds out, and must not touch what it let
// go of: a keep-alive count that comes due, a disconnect, a PING written in full, the end.
TEST_F(TraceWriterTest, AFailureFoundInTheMiddleOfAHookLeavesNothingDangling) {
  auto ping = [&](TTrace& t, const char16_t* line, bool echo) {
    t.LineIn(u"127.0.0.2", u"1", line);
    if (echo) t.FrameOut(u"127.0.0.2", u"1", u"$0001ECHO1D");
    t.LineDone();
  };
  const std::vector<std::function<void(TTrace&)>> next = {
      [&](TTrace& t) { clock.AdvanceMs(61000), ping(t, u"$0001PING\r\n", true); },
      [](TTrace& t) { t.Closed(u"127.0.0.2", u"1", 0); }, [&](TTrace& t) { ping(t, u"$0001PING\r\n", false); },
      [](TTrace&) {}};
  for (const auto& step : next) {
    fs::create_directories(dir_);
    TraceOptions o = Options();
    o.file_limit = 300;
    o.flush_interval_ms = 1;
    auto t = std::make_unique<TTrace>(o);
    ASSERT_TRUE(t->Open());
    for (const char16_t* line : {u"$0001PING\r\n", u"$0002PING\r\n"}) ping(*t, line, true);
    const long writers = TTrace::WritersAlive();
    fs::remove_all(dir_);
    for (int i = 0; i < 20; ++i) t->Fault(u"a record of some length " + IntToStr(i));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (TTrace::WritersAlive() >= writers && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_LT(TTrace::WritersAlive(), writers);
    step(*t);
  }
}

}  // namespace
}  // namespace axg
