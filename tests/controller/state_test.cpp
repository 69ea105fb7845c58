// Controller state: defaults, the timer, the connector hook, destruction, the
// status report and the variant the events carry.
#include <filesystem>
#include <fstream>
#include <random>

#include "controller_fixture.h"
#include "tools/trace/reader.h"
#include "trace/TTrace.h"

namespace axg::test {
namespace {

TEST(ControllerState, NewControllerDefaults) {
  FakeClock clock;
  ScopedClock scoped(clock);
  TestController c;
  EXPECT_EQ(c.StackCount(), 0u);
  EXPECT_TRUE(c.DeviceList().empty());
  EXPECT_EQ(c.TimeOut(), 5);
  EXPECT_EQ(c.TimeDelayOpen(), 2);
  EXPECT_EQ(c.RelayOpen(), 1);
  EXPECT_EQ(c.RelayClose(), 0);
  EXPECT_EQ(c.RelayOpenDoor(), 3);
  EXPECT_EQ(c.RelayCloseDoor(), 0);
  EXPECT_FALSE(c.CheckET());
  EXPECT_EQ(c.Port(), 0);
  EXPECT_TRUE(c.Server().empty());
  EXPECT_EQ(c.RemoutDevice(), podNone);
  EXPECT_EQ(c.Connector(), nullptr);
  EXPECT_FALSE(c.TimerOn());
  EXPECT_EQ(c.SweepTimer().Interval(), 10u);
  EXPECT_FALSE(c.Busy());
}

TEST(ControllerState, SetTimerIntervalKeepsTheEnabledFlag) {
  TestController c;
  c.SetTimerInterval(250);
  EXPECT_FALSE(c.TimerOn());
  EXPECT_EQ(c.SweepTimer().Interval(), 250u);
  c.SweepTimer().SetEnabled(true);
  c.SetTimerInterval(40);
  EXPECT_TRUE(c.TimerOn());
  EXPECT_EQ(c.SweepTimer().Interval(), 40u);
}

TEST(ControllerState, ConnectorHookAndUnhook) {
  RecordingConnector c1, c2;
  std::vector<std::u16string> seen;
  {
    TestController ctl;
    ctl.OnLog = [&](TObject*, const std::u16string& t) { seen.push_back(t); };
    ctl.SetRemoutDevice(PodClient);  // interpret nothing: only the log line
    ctl.SetConnector(&c1);
    ASSERT_TRUE(c1.OnGetData);
    c1.OnGetData(&c1, u"one");
    ctl.SetConnector(nullptr);
    EXPECT_FALSE(c1.OnGetData);
    EXPECT_EQ(ctl.Connector(), nullptr);

    // A second connector leaves the first one hooked: both deliver here.
    ctl.SetConnector(&c1);
    ctl.SetConnector(&c2);
    EXPECT_EQ(ctl.Connector(), &c2);
    c1.OnGetData(&c1, u"two");
    c2.OnGetData(&c2, u"three");
  }
  // Destruction unhooks the connector held, and nothing else.
  EXPECT_FALSE(c2.OnGetData);
  EXPECT_TRUE(c1.OnGetData);
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"%Считано с порта% one", u"%Считано с порта% two",
                                               u"%Считано с порта% three"}));
}

TEST_F(ControllerTest, DestructionFreesEntriesAndRaisesNoEvent) {
  auto* c = new TestController;
  int events = 0;
  c->OnLog = [&](TObject*, const std::u16string&) { ++events; };
  c->OnError = [&](TObject*, const std::u16string&) { ++events; };
  c->OnCheckStatus = [&](TObject*, const TVar&, const TVar&, const TVar&, const TVar&,
                         const TVar&, const TVar&, const TVar&) { ++events; };
  c->SetConnector(&conn);
  for (auto d : {u"0001", u"0002", u"0003"}) c->p_hw_FindDeviceByRelay(A, d, u"T", u"1");
  ASSERT_EQ(c->StackCount(), 3u);
  c->SweepTimer().SetEnabled(true);
  events = 0;
  delete c;  // the sanitizer build checks that the three entries and pictures are freed
  EXPECT_EQ(events, 0);
  EXPECT_FALSE(conn.OnGetData);
  EXPECT_TRUE(conn.sent.empty());
}

TEST_F(ControllerTest, StatusReportErrorBecomesCode07AndTheOperationCompletes) {
  ctl.OnCheckStatus = [](TObject*, const TVar&, const TVar&, const TVar&, const TVar&,
                         const TVar&, const TVar&, const TVar&) {
    throw Error(u"handler broke");
  };
  In(Card(u"0001", u"0012345678"));
  // Both reports of the request failed; the entry was still made and put to the host.
  EXPECT_EQ(Count("ERR [07] handler broke"), 2 + 1);  // CHECK, COME, then STACK of WAIT
  ASSERT_EQ(ctl.StackCount(), 1u);
  EXPECT_EQ(ctl.Entry(0).Status, u"WAIT");
  EXPECT_EQ(Count("SQL 0"), 1);

  // An error of the OnError handler itself is swallowed too.
  ctl.OnError = [](TObject*, const std::u16string&) { throw Error(u"error handler broke"); };
  EXPECT_NO_THROW(ctl.DoCheckStatus(u"X", u"", u"", u"", u"", u"", u""));
}

TEST_F(ControllerTest, StatusLinesGoToTheMonitorWithoutAStatusHandler) {
  ctl.OnCheckStatus = nullptr;
  In(Card(u"0001", u"0012345678"));
  EXPECT_EQ(Count("ERR"), 0);
  ASSERT_GE(ctl.monitor.size(), 3u);
  EXPECT_EQ(ctl.monitor[0], u"STATUS!CHECK!10.0.0.5!0001!T!0012345678!RQ!NEW&");
  EXPECT_EQ(ctl.monitor[1], u"STATUS!COME!10.0.0.5!0001!T!0012345678!NEW!NEW&");
  EXPECT_EQ(ctl.monitor[2], u"STATUS!STACK!10.0.0.5!0001!T!0012345678!WAIT!WAIT&");
}

TEST(ControllerState, MonitorRoleNoneDropsLinesWithoutTouchingTheConnector) {
  struct CountingConnector : RecordingConnector {
    int reads = 0;
    bool GetIsConnected() override { return ++reads, connected; }
  } conn;
  TTurnStylerDeviceQ7 c;
  c.SetConnector(&conn);
  c.SendToMonitor(u"LOG!x&");
  EXPECT_EQ(conn.reads, 0);
  EXPECT_TRUE(conn.sent.empty());
  EXPECT_TRUE(c.Connected());
  conn.connected = false;
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(conn.reads, 2);
}

TEST(ControllerVariant, Conversions) {
  EXPECT_EQ(TVar().ToText(), u"");
  EXPECT_EQ(TVar().ToInt(), 0);
  EXPECT_EQ(TVar(-17).ToText(), u"-17");
  EXPECT_EQ(TVar(u"42").ToInt(), 42);
  EXPECT_EQ(TVar(u" -1 ").ToInt(), -1);
  EXPECT_EQ(TVar(u"+7").ToInt(), 7);
  EXPECT_EQ(TVar(u"-2147483648").ToInt(), -2147483647 - 1);
  struct Bad {
    std::u16string text;
    std::u16string message;
  };
  for (const Bad& b : {Bad{u"abc", u"'abc' is not a valid integer value"},
                       Bad{u"", u"'' is not a valid integer value"},
                       Bad{u"1.5", u"'1.5' is not a valid integer value"},
                       Bad{u"-", u"'-' is not a valid integer value"},
                       Bad{u"2147483648", u"'2147483648' is not a valid integer value"}}) {
    try {
      TVar(b.text).ToInt();
      ADD_FAILURE() << U8(b.text);
    } catch (const Error& e) {
      EXPECT_EQ(e.Message(), b.message);
    }
  }
  EXPECT_THROW(TVar(std::int64_t{1} << 40).ToInt(), Error);
}

}  // namespace
}  // namespace axg::test

namespace axg::test {
namespace {

// The trace sees every change of an entry's state word, on every road an entry
// can take: the changes of one entry, read back in order, chain from "" (new) to
// "" (dropped) with each one starting where the one before ended.
TEST_F(ControllerTest, EveryChangeOfAStateWordIsTraced) {
  const auto dir = std::filesystem::temp_directory_path() / ("axg-states-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  TraceOptions options;
  options.path = (dir / "trace.jsonl").u16string();
  TTrace log(options);
  ASSERT_TRUE(log.Open());
  ctl.SetTrace(&log);
  const std::u16string dev = u"0001";
  struct Case {
    const char* road;
    std::function<void()> run;
    std::vector<std::string> changes;
  } cases[] = {
      {"opened and passed",
       [&] {
         In(Card(dev, u"0012345678"));
         ctl.p_hw_manual(A, dev, u"TRUE");
         Pass();
         In(Code(dev, u"PR"));
         In(Code(dev, u"GR"));
         Pass();
       },
       {">NEW", "NEW>WAIT", "WAIT>TRUE", "TRUE>OPEN", "OPEN>PROGRESS", "PROGRESS>FINISH", "FINISH>"}},
      {"refused",
       [&] {
         In(Card(dev, u"0012345678"));
         ctl.p_hw_manual(A, dev, u"FALSE");
         Pass();
       },
       {">NEW", "NEW>WAIT", "WAIT>FALSE", "FALSE>CLOSE", "CLOSE>"}},
      {"never answered",
       [&] {
         In(Card(dev, u"0012345678"));
         AdvanceMs(8000);
         Pass();
       },
       {">NEW", "NEW>WAIT", "WAIT>TIMEOUT", "TIMEOUT>"}},
      {"opened, no hardware report",
       [&] {
         In(Card(dev, u"0012345678"));
         ctl.p_hw_manual(A, dev, u"TRUE");
         Pass();
         AdvanceMs(2500);  // more than a whole second after the open
         Pass();
       },
       {">NEW", "NEW>WAIT", "WAIT>TRUE", "TRUE>OPEN", "OPEN>NOANSWER", "NOANSWER>"}},
      {"the device saw no pass",
       [&] {
         In(Card(dev, u"0012345678"));
         In(Code(dev, u"FK"));
         Pass();
       },
       {">NEW", "NEW>WAIT", "WAIT>TIMEOUT", "TIMEOUT>"}},
  };
  std::size_t seen = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.road);
    Pass();  // the empty stack stops the timer: the card gets its pass at once
    c.run();
    ASSERT_EQ(ctl.StackCount(), 0u);
    ASSERT_TRUE(log.Flush());
    std::ifstream in(dir / "trace.jsonl", std::ios::binary);
    // The new entry's record names its request; the later ones its id.
    const auto records = trace::MergeFiles({trace::ReadRecords(in).records});
    std::vector<std::string> changes;
    std::uint64_t id = 0;
    for (std::size_t i = seen; i < records.size(); ++i) {
      if (records[i].ev != "state") continue;
      if (records[i].Get("from").empty()) {
        EXPECT_EQ(records[i].Get("ip"), U8(A));
        EXPECT_EQ(records[i].Get("device"), "0001");
        EXPECT_EQ(records[i].Get("card"), "0012345678");
        id = records[i].Id();
      }
      EXPECT_NE(id, 0u);
      EXPECT_EQ(records[i].Id(), id);
      changes.push_back(records[i].Get("from") + ">" + records[i].Get("to"));
    }
    seen = records.size();
    EXPECT_EQ(changes, c.changes);
  }
  ctl.SetTrace(nullptr);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace axg::test
