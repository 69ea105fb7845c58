// The trace writer: records as the reader reads them back, rotation within the
// size bound, the memory bound, and a file that fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

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
  t.FrameOut(u"127.0.0.2", u"50001", u"$0001GO7F");
  t.FrameToAll(u"test5A", 3);
  t.HostEvent(u"CHECK", u"127.0.0.2;0001;T;\"Ж\";0", static_cast<long>(0x80004005));
  t.HostCall(u"GateOpen", {u"127.0.0.2", u"0001", u"TRUE"}, u"TRUE");
  t.State(u"127.0.0.2", u"0001", u"T", u"1234", u"WAIT", u"TRUE");
  t.Closed(u"127.0.0.2", u"50001", 104);
  t.Fault(u"[04] Порт не открыт");
  EXPECT_GT(t.Waiting(), 0u);
  ASSERT_TRUE(t.Flush());
  EXPECT_EQ(t.Waiting(), 0u);

  auto r = Read(path_);
  ASSERT_EQ(r.size(), 9u);
  EXPECT_EQ(r[0].ev, "start");
  EXPECT_EQ(r[0].us, us0);
  EXPECT_EQ(r[1].ev, "line");
  EXPECT_EQ(r[1].us, us0 + 3000);
  EXPECT_EQ(r[1].t, clock.WallMs());
  EXPECT_EQ(r[1].Get("bytes"), std::string("$0001RQ\"\\\xC6" "1234AB\r\n"));
  EXPECT_EQ(r[2].Get("bytes"), "$0001GO7F");
  EXPECT_EQ(r[3].Get("addr"), "*");
  EXPECT_EQ(r[3].number.at("n"), 3);
  EXPECT_EQ(r[4].Get("data"), "127.0.0.2;0001;T;\"Ж\";0");
  EXPECT_EQ(r[4].Get("hr"), "0x80004005");
  EXPECT_EQ(r[5].args, (std::vector<std::string>{"127.0.0.2", "0001", "TRUE"}));
  EXPECT_EQ(r[5].Get("answer"), "TRUE");
  EXPECT_EQ(r[6].Get("from"), "WAIT");
  EXPECT_EQ(r[6].Get("to"), "TRUE");
  EXPECT_EQ(r[7].Get("why"), "socket error 104: " + ToUtf8(SocketErrorText(104)));
  EXPECT_EQ(r[8].Get("text"), "[04] Порт не открыт");
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

TEST_F(TraceWriterTest, WaitingRecordsAreBoundedAndTheLossIsRecorded) {
  TraceOptions o = Options();
  o.memory_limit = 1000;
  TTrace t(o);
  ASSERT_TRUE(t.Open());
  for (int i = 0; i < 100; ++i) t.Fault(u"waiting for a slow disk " + IntToStr(i));
  EXPECT_LE(t.Waiting(), o.memory_limit);
  const auto lost = t.Dropped();
  EXPECT_GT(lost, 0u);
  ASSERT_TRUE(t.Flush());
  EXPECT_EQ(t.Dropped(), 0u);
  auto r = Read(path_);
  ASSERT_GE(r.size(), 2u);
  EXPECT_EQ(r[1].ev, "dropped");
  EXPECT_EQ(r[1].number.at("n"), static_cast<std::int64_t>(lost));
  EXPECT_EQ(r.size(), 2 + (100 - lost));
}

TEST_F(TraceWriterTest, AFileThatCannotBeOpenedOrTakesNothingFailsOpen) {
  for (const std::string& p : {(dir_ / "no-such-dir" / "trace.jsonl").string(), std::string("/dev/full")}) {
    TraceOptions o;
    o.path = FromUtf8(p);
    TTrace t(o);
    EXPECT_FALSE(t.Open()) << p;
    EXPECT_TRUE(t.Failed());
    EXPECT_NE(ToUtf8(t.Failure()).find(p), std::string::npos) << ToUtf8(t.Failure());
    t.Fault(u"ignored");
    EXPECT_EQ(t.Waiting(), 0u);
  }
}

TEST_F(TraceWriterTest, AFileThatFailsLaterSwitchesTheTraceOffAndSaysSoOnce) {
  TraceOptions o = Options();
  o.file_limit = 300;
  o.files = 2;
  // The older file's name is taken by a directory that is not empty: the
  // rotation cannot make room.
  fs::create_directories(dir_ / "trace.jsonl.1" / "x");
  TTrace t(o);
  int told = 0;
  std::u16string why;
  t.OnFailure = [&](const std::u16string& w) {
    ++told;
    why = w;
  };
  ASSERT_TRUE(t.Open());
  for (int i = 0; i < 20; ++i) t.Fault(u"a record of some length " + IntToStr(i));
  EXPECT_FALSE(t.Flush());
  EXPECT_TRUE(t.Failed());
  EXPECT_EQ(told, 0);  // told from a later turn, not from inside the flush
  t.Fault(u"after");
  EXPECT_FALSE(t.Flush());
  EXPECT_EQ(t.Waiting(), 0u);
  MessageLoop::Current().RunPending();
  MessageLoop::Current().RunPending();
  EXPECT_EQ(told, 1);
  EXPECT_NE(ToUtf8(why).find("trace.jsonl"), std::string::npos);
}

}  // namespace
}  // namespace axg
