// Manual commands and the sweep: the life of a request, the card road for each
// device type, re-entrant handlers and the faults the sweep guards against.
#include <climits>

#include "controller_fixture.h"

namespace axg::test {
namespace {

constexpr int kLeave = INT_MIN;  // the decision handler leaves AResult at -1

struct LifeRow {
  const char* name;
  const char16_t* type;
  const char16_t* card;
  const char16_t* status;  // state before the pass
  const char16_t* hard;    // StatusHard
  bool check_et;
  bool finish;
  int age_ms;          // age of the entry when the pass runs
  int answer;          // what the host answers to every decision event
  const char16_t* after;  // state after the pass; nullptr: dropped
  const char* sent;       // command texts given to the connector, each followed by ';'
  const char* kinds;      // decision kinds raised, in order
  int reports;            // "STACK" reports made
};

// One row per transition of the life of a request (TimeOut 5, entry at device 0001).
const LifeRow kLife[] = {
    {"new, host waits", u"T", u"123", u"NEW", u"", false, false, 0, kLeave, u"WAIT", "", "0", 2},
    {"new, host refuses a card", u"T", u"123", u"NEW", u"", false, false, 0, 0, u"WAIT", "", "0", 2},
    {"new, host opens a card", u"T", u"123", u"NEW", u"", false, false, 0, 1, u"WAIT", "", "0", 2},
    {"new manual, refused", u"T", u"-1-1-1-1-1", u"NEW", u"", false, false, 0, 0, nullptr,
     "CL10.0.0.5:0001;", "0", 2},
    {"new input signal, opened", u"T", u"-2-2-2-2-2", u"NEW", u"", false, false, 0, 1, u"OPEN",
     "GO10.0.0.5:0001;", "0", 2},
    {"new, other answer", u"T", u"123", u"NEW", u"", false, false, 0, 7, u"NEW", "", "0", 1},
    {"new manual, other answer", u"T", u"-1-1-1-1-1", u"NEW", u"", false, false, 0, 7, u"OPEN", "",
     "0", 2},
    {"false", u"T", u"123", u"FALSE", u"", false, false, 0, kLeave, nullptr, "CL10.0.0.5:0001;", "",
     1},
    {"true", u"T", u"123", u"TRUE", u"", false, false, 1999, kLeave, u"OPEN", "GO10.0.0.5:0001;",
     "", 1},
    {"true, already old", u"T", u"123", u"TRUE", u"", false, false, 2000, kLeave, nullptr,
     "GO10.0.0.5:0001;", "3", 2},
    {"true at an I device", u"I", u"123", u"TRUE", u"", false, false, 0, 0, u"NOANSWER",
     "SH10.0.0.5:0001;", "3", 2},
    {"I, CheckET off", u"I", u"123", u"OPEN", u"RELAY", false, false, 0, 0, u"NOANSWER", "", "3", 2},
    {"I, CheckET on, young", u"I", u"123", u"WAIT", u"", true, false, 2999, 0, u"WAIT", "", "", 1},
    {"I, CheckET on, 2 s out", u"I", u"123", u"WAIT", u"", true, false, 3000, kLeave, nullptr, "",
     "3", 2},
    {"I, CheckET on, acknowledged", u"I", u"123", u"WAIT", u"", true, true, 0, 0, u"NOANSWER", "",
     "3", 2},
    {"T wait, young", u"T", u"123", u"WAIT", u"", false, false, 7999, kLeave, u"WAIT", "", "", 1},
    {"T wait, timed out", u"T", u"123", u"WAIT", u"", false, false, 8000, 1, nullptr, "", "1", 2},
    {"T open, relay seen", u"T", u"123", u"OPEN", u"RELAY", false, false, 7999, kLeave, u"OPEN", "",
     "", 1},
    {"T open, timed out, kept", u"T", u"123", u"OPEN", u"RELAY", false, false, 8000, 0, u"TIMEOUT",
     "", "1", 2},
    {"T open, no hardware report yet", u"T", u"123", u"OPEN", u"", false, false, 1999, kLeave,
     u"OPEN", "", "", 1},
    {"T open, no hardware report", u"T", u"123", u"OPEN", u"", false, false, 2000, 0, u"NOANSWER",
     "", "3", 2},
    {"D wait, young", u"D", u"5", u"WAIT", u"", false, false, 3999, kLeave, u"WAIT", "", "", 1},
    {"D wait, timed out", u"D", u"5", u"WAIT", u"", false, false, 4000, kLeave, u"TIMEOUT", "", "1",
     2},
    {"no answer, kept", u"T", u"123", u"NOANSWER", u"", false, false, 0, 0, u"NOANSWER", "", "3", 1},
    {"no answer, dropped", u"T", u"123", u"NOANSWER", u"", false, false, 0, 5, nullptr, "", "3", 1},
    {"crc error, kept", u"T", u"123", u"CRC-ERROR", u"", false, false, 0, kLeave, u"CRC-ERROR", "",
     "3", 1},
    {"crc error, dropped", u"T", u"123", u"CRC-ERROR", u"", false, false, 0, 1, nullptr, "", "3", 1},
    {"timeout, kept", u"T", u"123", u"TIMEOUT", u"", false, false, 0, 0, u"TIMEOUT", "", "1", 1},
    {"timeout, dropped", u"T", u"123", u"TIMEOUT", u"", false, false, 0, 1, nullptr, "", "1", 1},
    {"close", u"T", u"123", u"CLOSE", u"", false, false, 0, kLeave, nullptr, "", "", 1},
    {"progress, young", u"T", u"123", u"PROGRESS", u"", false, false, 15999, kLeave, u"PROGRESS", "",
     "", 1},
    {"progress, timed out", u"T", u"123", u"PROGRESS", u"", false, false, 16000, kLeave, u"TIMEOUT",
     "", "", 1},
    {"progress at a D device, young", u"D", u"5", u"PROGRESS", u"", false, false, 15999, kLeave,
     u"PROGRESS", "", "", 1},
    {"finish, dropped", u"T", u"123", u"FINISH", u"", false, false, 0, 1, nullptr, "", "2", 1},
    {"finish, kept", u"T", u"123", u"FINISH", u"", false, false, 0, 0, u"NOANSWER", "", "2", 1},
    {"empty word", u"T", u"123", u"", u"", false, false, 0, kLeave, u"", "", "", 1},
    {"unknown word, young", u"D", u"5", u"Да", u"", false, false, 7999, kLeave, u"Да", "", "", 1},
    {"unknown word, timed out", u"I", u"123", u"true", u"", true, false, 8000, 1, nullptr, "", "1", 2},
    {"unknown word, timed out, kept", u"T", u"123", u"Да", u"", false, false, 8000, 0, u"TIMEOUT", "",
     "1", 2},
};

TEST_F(ControllerTest, LifeOfARequest) {
  for (const LifeRow& row : kLife) {
    SCOPED_TRACE(row.name);
    ctl.ClearStack();
    ctl.SweepTimer().SetEnabled(true);
    ctl.SetCheckET(row.check_et);
    std::string kinds;
    decide = [&](int kind, TVar&, TVar& result) {
      kinds += std::to_string(kind);
      if (row.answer != kLeave) result = TVar(row.answer);
    };
    ctl.p_hw_FindDeviceByRelay(A, u"0001", row.type, row.card);
    TRFidInfo& e = ctl.Entry(0);
    e.Status = row.status;
    e.StatusHard = row.hard;
    e.Finish = row.finish;
    AdvanceMs(row.age_ms);
    trace.clear();
    conn.sent.clear();
    Pass();

    if (row.after) {
      ASSERT_EQ(ctl.StackCount(), 1u);
      EXPECT_EQ(U8(ctl.Entry(0).Status), U8(row.after));
    } else {
      EXPECT_EQ(ctl.StackCount(), 0u);
    }
    std::string sent;
    for (const auto& t : conn.sent) sent += U8(t) + ";";
    EXPECT_EQ(sent, row.sent);
    EXPECT_EQ(kinds, row.kinds);
    EXPECT_EQ(Count("STATUS STACK"), row.reports);
    EXPECT_FALSE(ctl.Busy());
    EXPECT_EQ(ctl.TimerOn(), row.after != nullptr);  // the pass that empties the stack stops the timer
  }
}

// With the add-in's own answers every entry is gone once TimeOut + 10 s has run out.
TEST_F(ControllerTest, EveryRequestEndsByTheLongestLimit) {
  for (const LifeRow& row : kLife)
    for (const char16_t* type : {u"T", u"I", u"D"}) {
      SCOPED_TRACE(U8(row.status + std::u16string(u" at ") + type));
      ctl.ClearStack();
      ctl.p_hw_FindDeviceByRelay(A, u"0001", type, u"5");
      ctl.Entry(0).Status = row.status;
      for (int ms = 0; ms < 16000; ms += 500, AdvanceMs(500)) Pass();
      Pass(), AdvanceMs(10), Pass();  // 16 s old, then the tick after
      ASSERT_EQ(ctl.StackCount(), 0u);
      trace.clear(), In(Card(u"0001", u"77")), Pass();
      EXPECT_EQ(Count("SQL 0|10.0.0.5|0001|T|77|NEW"), 1) << "the next card asks again";
    }
}

// The sweep's report of an entry goes to the host and the monitor link when it
// tells something new (word, device, card; a COME counts), else once a second;
// with every pass reported, on each pass. Each row runs 10 ms passes over `ms`;
// `then` changes the entry half-way.
TEST_F(ControllerTest, ReportsCarryNewsUnlessEveryPassIsAsked) {
  struct Row {
    const char* name;
    std::function<void()> start, then;
    int ms, news, every;  // "STACK" reports by default and with every pass reported
  };
  auto card = [this] { In(Card(u"0001", u"77")); };
  auto state = [this](const char16_t* word) {
    return [this, word] { ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"77"), ctl.Entry(0).Status = word; };
  };
  answers[3] = TVar(0);  // a "NOANSWER" entry stays
  const Row rows[] = {
      {"a card nobody answers: WAIT, at 1 s, at 2 s", card, nullptr, 2000, 3, 202},
      {"in progress", state(u"PROGRESS"), nullptr, 1500, 2, 150},
      {"no answer, kept", state(u"NOANSWER"), nullptr, 990, 1, 99},
      {"answered", card, [this] { ctl.p_hw_manual(A, u"0001", u"TRUE"); }, 400, 2, 42},
      {"the device changes", card, [this] { ctl.p_hw_manual(A, u"0002", u"WAIT"); }, 400, 2, 42},
      {"the pass done, told by its COME", card, [this] { In(Code(u"0001", u"GR")); }, 400, 1, 23},
      {"a second card told last", card, [this] { In(Card(u"0001", u"78")); }, 400, 2, 42},
  };
  for (bool every : {false, true}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + (every ? ", every pass" : ""));
      ctl.ClearStack();
      ctl.SweepTimer().SetEnabled(false);
      ctl.SetEveryPassReported(every);
      trace.clear();
      row.start();
      for (int ms = 0; ms < row.ms; ms += 10) {
        if (ms == row.ms / 2 && row.then) row.then();
        AdvanceMs(10);
        Pass();
      }
      EXPECT_EQ(Count("STATUS STACK"), every ? row.every : row.news);
      EXPECT_EQ(Count("MON STATUS!STACK!"), Count("STATUS STACK"));
    }
  }
}

TEST_F(ControllerTest, CardRoadAtATurnstile) {
  decide = [](int kind, TVar& Mess, TVar& r) {
    if (kind == 0) Mess = TVar(u"|Welcome|Ivanov I.|");
    if (kind == 1 || kind == 2) r = TVar(1);
  };
  In(Card(u"0001", u"0012345678"));
  ASSERT_EQ(ctl.StackCount(), 1u);
  EXPECT_EQ(ctl.Entry(0).Status, u"WAIT");
  EXPECT_EQ(ctl.Entry(0).InfoMess, u"|Welcome|Ivanov I.|");
  AdvanceMs(TTurnStylerDeviceQ7::kReminderMs);
  Pass();
  EXPECT_EQ(Count("STATUS STACK|10.0.0.5|0001|T|0012345678|WAIT|WAIT"), 2);

  ctl.p_hw_manual(A, u"0001", u"TRUE");
  trace.clear();
  Pass();
  EXPECT_EQ(Take(), (Trace{
                        "SEND SH10.0.0.5:0001|Welcome|Ivanov I.|",
                        "SEND GO10.0.0.5:0001|Welcome|Ivanov I.|",
                        "LOG %Отправлено на порт% GO10.0.0.5:0001|Welcome|Ivanov I.|",
                        "MON LOG!%Отправлено на порт% GO10.0.0.5:0001|Welcome|Ivanov I.|&",
                        "STATUS STACK|10.0.0.5|0001|T|0012345678|OPEN|OPEN",
                        "MON STATUS!STACK!10.0.0.5!0001!T!0012345678!OPEN!OPEN&",
                    }));
  EXPECT_EQ(ctl.Entry(0).Command, u"GO10.0.0.5:0001|Welcome|Ivanov I.|");
  EXPECT_EQ(ctl.Entry(0).CRC, CRC8Str(u"GO10.0.0.5:0001|Welcome|Ivanov I.|"));

  In(Code(u"0001", u"PR"));
  EXPECT_EQ(ctl.Entry(0).Status, u"PROGRESS");
  In(Code(u"0001", u"GR"));
  EXPECT_EQ(ctl.Entry(0).Status, u"FINISH");
  trace.clear();
  Pass();  // the "COME" of "GR" told FINISH
  EXPECT_EQ(Take(), (Trace{"SQL 2|10.0.0.5|0001|T|0012345678|FINISH"}));
  EXPECT_EQ(ctl.StackCount(), 0u);
  EXPECT_FALSE(ctl.TimerOn());
}

TEST_F(ControllerTest, CardRoadAtAReaderEndsInOnePassWithoutCheckET) {
  In(Card(u"001I", u"77"));
  EXPECT_EQ(ctl.StackCount(), 0u);
  Trace sql;
  for (const auto& line : trace)
    if (line.rfind("SQL", 0) == 0) sql.push_back(line);
  EXPECT_EQ(sql, (Trace{"SQL 0|10.0.0.5|001I|I|77|NEW", "SQL 3|10.0.0.5|001I|I|77|NOANSWER"}));
}

TEST_F(ControllerTest, CardRoadAtAReaderWithCheckET) {
  ctl.SetCheckET(true);
  In(Card(u"001I", u"77"));
  ASSERT_EQ(ctl.StackCount(), 1u);
  EXPECT_EQ(ctl.Entry(0).Status, u"WAIT");
  ctl.p_hw_manual(A, u"001I", u"TRUE");
  Pass();
  EXPECT_EQ(conn.sent, (std::vector<std::u16string>{u"SH10.0.0.5:001I"}));
  EXPECT_EQ(ctl.Entry(0).Status, u"OPEN");
  EXPECT_FALSE(ctl.Entry(0).Finish);
  // The device acknowledges: the next pass closes the request as answered.
  In(Code(u"001I", u"ET" + CRC8Str(u"SH10.0.0.5:001I")));
  EXPECT_TRUE(ctl.Entry(0).Finish);
  trace.clear();
  Pass();
  EXPECT_EQ(ctl.StackCount(), 0u);
  EXPECT_EQ(Count("SQL 3|10.0.0.5|001I|I|77|NOANSWER"), 1);
}

TEST_F(ControllerTest, CardRoadAtADoor) {
  ctl.SweepTimer().SetEnabled(true);
  EXPECT_EQ(ctl.p_hw_FindDeviceByRelay(A, u"0003", u"D", u"5"), 0);
  Pass();
  EXPECT_EQ(ctl.Entry(0).Status, u"WAIT");
  ctl.p_hw_manual(A, u"0003", u"TRUE");
  Pass();
  // A door takes no command text: the connector is given the empty text.
  EXPECT_EQ(conn.sent, (std::vector<std::u16string>{u""}));
  EXPECT_EQ(Count("LOG %Отправлено на порт% "), 1);
  EXPECT_EQ(ctl.Entry(0).Status, u"OPEN");
  In(Word(u"0003", u"Gate-Open"));
  EXPECT_EQ(ctl.Entry(0).Status, u"FINISH");
  EXPECT_EQ(ctl.Entry(0).StatusHard, u"GATEOPEN");
  trace.clear();
  Pass();
  EXPECT_EQ(ctl.StackCount(), 0u);
  EXPECT_EQ(Count("SQL 2|10.0.0.5|0003|D|5|FINISH"), 1);

  // "PR" finishes a door too.
  ctl.SweepTimer().SetEnabled(true);
  ctl.p_hw_FindDeviceByRelay(A, u"0003", u"D", u"6");
  ctl.Entry(0).Status = u"OPEN";
  In(Code(u"0003", u"PR"));
  EXPECT_EQ(ctl.Entry(0).Status, u"FINISH");
}

TEST_F(ControllerTest, RefusedCardIsClosedAndDropped) {
  In(Card(u"0001", u"0012345678"));
  ctl.p_hw_manual(A, u"0001", u"FALSE");
  trace.clear();
  Pass();
  EXPECT_EQ(conn.sent, (std::vector<std::u16string>{u"CL10.0.0.5:0001"}));
  EXPECT_EQ(Count("STATUS STACK|10.0.0.5|0001|T|0012345678|CLOSE|CLOSE"), 1);
  EXPECT_EQ(ctl.StackCount(), 0u);
}

// A pass goes on after a drop, with the entry that took the dropped one's place;
// the one a handler appends on the way waits for the next pass.
TEST_F(ControllerTest, ThreeRefusalsAreClosedInOnePass) {
  ctl.SweepTimer().SetEnabled(true);
  for (auto d : {u"0001", u"0002", u"0003"}) {
    ctl.p_hw_FindDeviceByRelay(A, d, u"T", u"1");
    ctl.Entry(ctl.StackCount() - 1).Status = u"FALSE";
  }
  conn.on_send = [this](const std::u16string& text) {
    if (text == u"CL10.0.0.5:0003") In(Card(u"0004", u"77"));
    return std::u16string();
  };
  Pass();
  EXPECT_EQ(conn.sent, (std::vector<std::u16string>{u"CL10.0.0.5:0001", u"CL10.0.0.5:0002", u"CL10.0.0.5:0003"}));
  ASSERT_EQ(ctl.StackCount(), 1u);
  EXPECT_EQ(ctl.Entry(0).Status, u"NEW");
  EXPECT_TRUE(ctl.TimerOn());
  Pass();
  EXPECT_EQ(ctl.Entry(0).Status, u"WAIT");
  ctl.ClearStack();
  Pass();
  EXPECT_FALSE(ctl.TimerOn());
}

TEST_F(ControllerTest, BusyPassTouchesNothing) {
  ctl.SweepTimer().SetEnabled(true);
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"1");
  ctl.Entry(0).Status = u"CLOSE";
  ctl.SetBusy(true);
  Pass();
  EXPECT_EQ(ctl.StackCount(), 1u);
  EXPECT_TRUE(trace.empty());
  EXPECT_TRUE(ctl.TimerOn());
  ctl.ClearStack();
  Pass();  // an empty stack switches the timer off even while busy
  EXPECT_FALSE(ctl.TimerOn());
}

TEST_F(ControllerTest, ManualCommands) {
  ctl.SweepTimer().SetEnabled(true);
  // An address without an entry: "TRUE" makes a manual request, another word nothing.
  ctl.p_hw_manual(A, u"0002", u"FALSE");
  EXPECT_EQ(Take(), Trace{"LOG GateOpen(10.0.0.5, 0002, \"FALSE\") came after its request ended"});
  ctl.p_hw_manual(A, u"0002", u"TRUE");
  ASSERT_EQ(ctl.StackCount(), 1u);
  EXPECT_EQ(ctl.Entry(0).CardNumber, u"-1-1-1-1-1");
  EXPECT_EQ(ctl.Entry(0).Status, u"NEW");
  // A three-character device makes a message that is no card request.
  ctl.p_hw_manual(u"10.0.0.6", u"003", u"TRUE");
  EXPECT_EQ(ctl.StackCount(), 1u);
  EXPECT_EQ(trace.back(), "LOG %Считано с порта% $10.0.0.6:003RQ-1-1-1-1-100");

  // Two entries of one address: only the first changes; a device change is told
  // to the device the entry had.
  ctl.p_hw_FindDeviceByRelay(A, u"0004", u"T", u"1");
  ctl.p_hw_manual(A, u"0005", u"TRUE");
  EXPECT_EQ(conn.sent, (std::vector<std::u16string>{u"CP10.0.0.5:0002"}));
  EXPECT_EQ(ctl.Entry(0).Device, u"0005");
  EXPECT_EQ(ctl.Entry(0).Status, u"TRUE");
  EXPECT_EQ(ctl.Entry(1).Device, u"0004");
  EXPECT_EQ(ctl.Entry(1).Status, u"NEW");
  conn.sent.clear();
  ctl.Entry(1).Status = u"";  // the second entry sends nothing in the next pass
  Pass();
  EXPECT_EQ(conn.sent, (std::vector<std::u16string>{u"GO10.0.0.5:0005"}));

  // The same device: no "CP".
  conn.sent.clear();
  ctl.p_hw_manual(A, u"0005", u"anything");
  EXPECT_TRUE(conn.sent.empty());
  EXPECT_EQ(ctl.Entry(0).Status, u"anything");

  // A failing "CP" reaches the caller and leaves the entry as it was.
  conn.on_send = [](const std::u16string&) -> std::u16string { throw Error(u"write refused"); };
  EXPECT_THROW(ctl.p_hw_manual(A, u"0006", u"FALSE"), Error);
  EXPECT_EQ(ctl.Entry(0).Device, u"0005");
  EXPECT_EQ(ctl.Entry(0).Status, u"anything");

  // Without a connector the "CP" is skipped.
  ctl.SetConnector(nullptr);
  ctl.p_hw_manual(A, u"0006", u"FALSE");
  EXPECT_EQ(ctl.Entry(0).Device, u"0006");
  EXPECT_EQ(ctl.Entry(0).Status, u"FALSE");
}

TEST_F(ControllerTest, AnswerFromInsideTheDecisionIsSeenByTheSamePass) {
  ctl.SweepTimer().SetEnabled(true);
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"123");
  decide = [this](int kind, TVar&, TVar& r) {
    if (kind != 0) return;
    ctl.p_hw_manual(A, u"0001", u"FALSE");  // the script answers at once
    r = TVar(0);
  };
  Pass();
  EXPECT_EQ(conn.sent, (std::vector<std::u16string>{u"CL10.0.0.5:0001"}));
  EXPECT_EQ(ctl.StackCount(), 0u);
}

TEST_F(ControllerTest, RequestMadeFromAReportWaitsForTheNextPass) {
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"123");
  bool asked = false;
  auto report = ctl.OnCheckStatus;
  ctl.OnCheckStatus = [&](TObject* s, const TVar& n, const TVar& ip, const TVar& d,
                          const TVar& ty, const TVar& c, const TVar& s1, const TVar& s2) {
    report(s, n, ip, d, ty, c, s1, s2);
    if (n.ToText() == u"STACK" && !asked) {
      asked = true;
      // The timer is off: the nested message runs a pass, which finds IDBusy.
      ctl.p_hw_manual(u"10.0.0.7", u"0002", u"TRUE");
    }
  };
  Pass();
  ASSERT_EQ(ctl.StackCount(), 2u);
  EXPECT_EQ(ctl.Entry(0).Status, u"WAIT");
  EXPECT_EQ(ctl.Entry(1).Status, u"NEW");
  EXPECT_EQ(Count("SQL 0|10.0.0.7"), 0);
  EXPECT_TRUE(ctl.TimerOn());
  Pass();
  EXPECT_EQ(Count("SQL 0|10.0.0.7|0002|T|-1-1-1-1-1|NEW"), 1);
}

TEST(ControllerSeconds, SecondsExceeded) {
  const double t = 0.5, s = 1.0 / 86400;
  EXPECT_FALSE(TestController::p_hw_SecondsExceeded(1, t, t + 1.9 * s));
  EXPECT_TRUE(TestController::p_hw_SecondsExceeded(1, t, t + 2.1 * s));
  EXPECT_FALSE(TestController::p_hw_SecondsExceeded(1, t + 1.9 * s, t));
  EXPECT_TRUE(TestController::p_hw_SecondsExceeded(1, t + 2.1 * s, t));
  EXPECT_TRUE(TestController::p_hw_SecondsExceeded(7, 86399 * s, 1 * s));
  EXPECT_FALSE(TestController::p_hw_SecondsExceeded(0, t, t));
  EXPECT_TRUE(TestController::p_hw_SecondsExceeded(5, 0, 1e300));
}

// --- Faults the sweep guards against ---------------------------------------

TEST(ControllerMidnight, AgesRunOnThroughMidnight) {
  FakeClock clock(86399.0 / 86400);  // 23:59:59
  ScopedClock scoped(clock);
  RecordingConnector conn;
  TestController ctl;
  ctl.SetConnector(&conn);
  int timeouts = 0;
  ctl.OnCheckSQL = [&](TObject*, const TVar&, const TVar&, const TVar&, const TVar&,
                       const TVar& st, TPicture*, const TVar& kind, TVar&, TVar& r) {
    if (kind.ToInt() == 1) {
      ++timeouts;
      r = TVar(1);
    }
    (void)st;
  };
  ctl.p_hw_ProtocolIn(u"$10.0.0.5:0001RQ12345600");
  ASSERT_EQ(ctl.StackCount(), 1u);
  const double started = ctl.Entry(0).Starttime;
  EXPECT_DOUBLE_EQ(started, 86399.0 / 86400);

  clock.AdvanceMs(2000);  // 00:00:01: the times of day are 86398 s apart
  EXPECT_TRUE(TestController::p_hw_SecondsExceeded(7, started, clock.TimeOfDay()));
  ctl.p_hw_ProcessStack();
  EXPECT_EQ(ctl.Entry(0).Status, u"WAIT");
  clock.SetTimeOfDay(0.25);  // the wall clock is put forward: ages do not follow
  ctl.p_hw_ProcessStack();
  EXPECT_EQ(ctl.Entry(0).Status, u"WAIT");
  EXPECT_EQ(timeouts, 0);

  clock.AdvanceMs(6000);  // eight seconds old
  ctl.p_hw_ProcessStack();
  EXPECT_EQ(timeouts, 1);
  EXPECT_EQ(ctl.StackCount(), 0u);
}

// A waiting request at a turnstile times out at 8 s of age, whatever the
// monotonic clock's readings do: a step back stops the age until the clock is
// past its highest reading again, readings that alternate between two cores
// 50 ms apart age it no faster than real time (at most one skew early, when it
// was made from the lagging core's reading), and a jump forward is time passed.
TEST(ControllerMonotonic, AgesNeverRunFasterThanRealTime) {
  struct Row {
    const char* name;
    std::int64_t (*reading)(std::int64_t real_ms, std::int64_t pass);
    std::int64_t times_out_at_ms;  // real time of the pass that times the request out
  };
  const Row rows[] = {
      {"steady", [](std::int64_t t, std::int64_t) { return t; }, 8000},
      {"one step back", [](std::int64_t t, std::int64_t) { return t < 3000 ? t : t - 20000; }, 28000},
      {"alternating, made on the leading core", [](std::int64_t t, std::int64_t p) { return t + (p % 2 ? 0 : 50); },
       8000},
      {"alternating, made on the lagging core", [](std::int64_t t, std::int64_t p) { return t + (p % 2 ? 50 : 0); },
       7950},
      {"a jump forward", [](std::int64_t t, std::int64_t) { return t < 3000 ? t : t + 60000; }, 3000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeClock clock;
    ScopedClock scoped(clock);
    TestController ctl;
    std::int64_t timed_out_at = -1, real = 0, pass = 0, read = 0;
    ctl.OnCheckSQL = [&](TObject*, const TVar&, const TVar&, const TVar&, const TVar&, const TVar&, TPicture*,
                         const TVar& kind, TVar&, TVar& r) {
      if (kind.ToInt() == 1 && timed_out_at < 0) timed_out_at = real;
      if (kind.ToInt() == 1) r = TVar(1);
    };
    auto set_clock = [&] {
      const std::int64_t want = row.reading(real, pass);
      clock.AdvanceMs(want - read);
      read = want;
    };
    set_clock();
    ctl.p_hw_ProtocolIn(u"$10.0.0.5:0001RQ12345600");  // the first pass runs at once
    while (ctl.StackCount() > 0 && real < 40000) {
      real += 10;  // one tick of the sweep timer
      ++pass;
      set_clock();
      ctl.p_hw_ProcessStack();
    }
    EXPECT_EQ(timed_out_at, row.times_out_at_ms);
  }
}

// One entry whose steps fail does not stop the sweep. A failing re-send is
// reported with its code and the entry's limits still move it on; an error that
// escapes a later step is reported with "[08] " and the pass goes on with the
// next entry. Nothing escapes a tick, and IDBusy is never left set.
TEST_F(ControllerTest, OneFailingEntryDoesNotStopTheSweep) {
  ctl.SetCheckET(true);
  ctl.SweepTimer().SetEnabled(true);
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"1");
  ctl.p_hw_FindDeviceByRelay(A, u"0002", u"T", u"2");
  ctl.Entry(0).Status = u"WAIT";
  ctl.Entry(0).Command = u"GO10.0.0.5:0001";  // never acknowledged
  ctl.Entry(1).Status = u"FALSE";
  AdvanceMs(60000);
  conn.on_send = [](const std::u16string&) -> std::u16string { throw Error(u"line down"); };

  trace.clear();
  EXPECT_NO_THROW(ctl.StackTimeTimer());
  EXPECT_EQ(Take(), (Trace{
                        "SEND GO10.0.0.5:0001",
                        "ERR [04] line down",
                        "MON ERROR![04] line down&",
                        "STATUS STACK|10.0.0.5|0001|T|1|WAIT|WAIT",
                        "MON STATUS!STACK!10.0.0.5!0001!T!1!WAIT!WAIT&",
                        "STATUS STACK|10.0.0.5|0001|T|1|TIMEOUT|TIMEOUT",
                        "MON STATUS!STACK!10.0.0.5!0001!T!1!TIMEOUT!TIMEOUT&",
                        "SQL 1|10.0.0.5|0001|T|1|TIMEOUT",
                        // The refused request behind it is closed (its failed send reported) and dropped.
                        "SEND CL10.0.0.5:0002",
                        "ERR [04] line down",
                        "MON ERROR![04] line down&",
                        "LOG %Отправлено на порт% CL10.0.0.5:0002",
                        "MON LOG!%Отправлено на порт% CL10.0.0.5:0002&",
                        "STATUS STACK|10.0.0.5|0002|T|2|CLOSE|CLOSE",
                        "MON STATUS!STACK!10.0.0.5!0002!T!2!CLOSE!CLOSE&",
                    }));
  EXPECT_EQ(ctl.StackCount(), 0u);
  EXPECT_FALSE(ctl.Busy());

  // An error escaping a later step of the first entry: the second still has its
  // turn in the same pass.
  conn.on_send = nullptr;
  ctl.SetCheckET(false);
  ctl.p_hw_FindDeviceByRelay(A, u"0003", u"T", u"3");
  ctl.p_hw_FindDeviceByRelay(A, u"0004", u"T", u"4");
  ctl.Entry(0).Status = u"TRUE";
  ctl.Entry(0).StatusHard = u"RELAY";
  ctl.Entry(1).Status = u"WAIT";
  ctl.OnLog = [](TObject*, const std::u16string& t) {
    if (t.rfind(u"%Отправлено", 0) == 0) throw Error(u"log full");
  };
  trace.clear();
  EXPECT_NO_THROW(ctl.StackTimeTimer());
  EXPECT_EQ(Count("ERR "), 1);
  EXPECT_EQ(Count("ERR [08] log full"), 1);
  EXPECT_EQ(Count("STATUS STACK|10.0.0.5|0004|T|4|WAIT|WAIT"), 1);
  EXPECT_FALSE(ctl.Busy());

  // An error handler that fails as well: still nothing escapes, and later passes
  // work through the stack.
  ctl.OnError = [](TObject*, const std::u16string&) { throw Error(u"no sink"); };
  ctl.Entry(0).Status = u"TRUE";
  EXPECT_NO_THROW(ctl.StackTimeTimer());
  EXPECT_FALSE(ctl.Busy());
  trace.clear();
  AdvanceMs(TTurnStylerDeviceQ7::kReminderMs);
  ctl.StackTimeTimer();
  EXPECT_EQ(Count("STATUS STACK"), 2);
}

// A send whose report fails (the host's log handler raises) still counts as sent:
// the entry takes its state word, no later tick repeats the command, and the
// failure is reported once, with its code.
TEST_F(ControllerTest, AFailingSendReportDoesNotRepeatTheCommand) {
  struct Row {
    const char* name;
    const char16_t* card;
    const char16_t* status;  // before the first pass
    int answer;              // to the decision request
    const char16_t* sent;    // the one command text given to the connector
    const char16_t* after;   // state after the first pass
    bool dropped;            // by the passes that follow
  };
  const Row rows[] = {
      {"allowed", u"123", u"TRUE", kLeave, u"GO10.0.0.5:0001", u"OPEN", false},
      {"refused", u"123", u"FALSE", kLeave, u"CL10.0.0.5:0001", u"CLOSE", true},
      {"manual request, opened", u"-1-1-1-1-1", u"NEW", 1, u"GO10.0.0.5:0001", u"OPEN", false},
      {"input signal, refused", u"-2-2-2-2-2", u"NEW", 0, u"CL10.0.0.5:0001", u"CLOSE", true},
  };
  const std::u16string failure = u"IAsyncEvent.ExternalEvent failed: HRESULT 0x80004005";
  ctl.OnLog = [&](TObject*, const std::u16string& t) {
    trace.push_back("LOG " + U8(t));
    if (t.rfind(u"%Отправлено", 0) == 0) throw Error(failure);
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ctl.ClearStack();
    ctl.SweepTimer().SetEnabled(true);
    answers.clear();
    if (row.answer != kLeave) answers[0] = TVar(row.answer);
    ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", row.card);
    ctl.Entry(0).Status = row.status;
    ctl.Entry(0).StatusHard = u"RELAY";  // keeps an open entry alive
    trace.clear();
    conn.sent.clear();

    ctl.StackTimeTimer();
    ASSERT_EQ(ctl.StackCount(), 1u);
    EXPECT_EQ(ctl.Entry(0).Status, row.after);
    for (int tick = 0; tick < 4; ++tick) ctl.StackTimeTimer();
    EXPECT_EQ(conn.sent, std::vector<std::u16string>{row.sent});
    EXPECT_EQ(Count("ERR "), 1);
    EXPECT_EQ(Count("ERR [08] " + U8(failure)), 1);
    EXPECT_EQ(ctl.StackCount(), row.dropped ? 0u : 1u);
    EXPECT_FALSE(ctl.Busy());
  }

  // The open command of an input signal: the same, the error going on to the
  // caller of the message.
  ctl.ClearStack();
  ctl.SweepTimer().SetEnabled(true);  // no pass from the message
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"-2-2-2-2-2");
  conn.sent.clear();
  EXPECT_THROW(In(Word(u"0001", u"InG-Activ")), Error);
  EXPECT_EQ(conn.sent, std::vector<std::u16string>{u"GO10.0.0.5:0001"});
  EXPECT_EQ(ctl.Entry(0).Status, u"OPEN");
}

TEST_F(ControllerTest, EntriesStayValidWhileHandlersAppend) {
  ctl.SweepTimer().SetEnabled(true);
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"-1-1-1-1-1");
  // While the pass holds the first entry, the host makes many new requests (the
  // stack's storage is moved more than once) and then opens the first one.
  decide = [this](int kind, TVar& Mess, TVar& r) {
    if (kind != 0 || ctl.StackCount() > 1) return;
    for (int k = 0; k < 200; ++k)
      ctl.p_hw_ProtocolIn(u"$10.1.0." + IntToStr(k) + u":" + IntToStr(1000 + k) + u"RQ55500");
    Mess = TVar(u"|Open|");
    r = TVar(1);
  };
  Pass();
  ASSERT_EQ(ctl.StackCount(), 201u);
  EXPECT_EQ(ctl.Entry(0).Status, u"OPEN");
  EXPECT_EQ(ctl.Entry(0).InfoMess, u"|Open|");
  EXPECT_EQ(ctl.Entry(0).Command, u"GO10.0.0.5:0001|Open|");
  for (std::size_t k = 1; k < 201; ++k) ASSERT_EQ(ctl.Entry(k).Status, u"NEW");
}

TEST_F(ControllerTest, PassGoesOnWhenANestedPassTookItsEntry) {
  ctl.SetCheckET(true);
  ctl.SweepTimer().SetEnabled(true);
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"1");
  ctl.p_hw_FindDeviceByRelay(A, u"0002", u"T", u"1");
  ctl.Entry(0).Status = u"CLOSE";
  ctl.Entry(0).Command = u"CL10.0.0.5:0001";
  ctl.Entry(1).Status = u"WAIT";
  AdvanceMs(2000);
  // The re-send of the first entry runs before the pass marks itself busy; a pass
  // started from inside it drops that entry. The outer pass goes on with the
  // entry behind it, as after any other step.
  bool nested = false;
  conn.on_send = [&](const std::u16string&) {
    if (!nested) {
      nested = true;
      Pass();
    }
    return std::u16string(u"00");
  };
  Pass();
  ASSERT_EQ(ctl.StackCount(), 1u);
  EXPECT_EQ(ctl.Entry(0).Device, u"0002");
  EXPECT_FALSE(ctl.Busy());
  EXPECT_EQ(Count("STATUS STACK|10.0.0.5|0001"), 1);
  // Reported by the nested pass; the outer one, in the same tick, has no news for it.
  EXPECT_EQ(Count("STATUS STACK|10.0.0.5|0002|T|1|WAIT|WAIT"), 1);
  EXPECT_EQ(Count("ERR "), 0);
}

TEST_F(ControllerTest, EntryDroppedWhileItsOpenCommandIsSent) {
  ctl.SweepTimer().SetEnabled(true);
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"-2-2-2-2-2");
  answers[0] = TVar(0);
  // A pass run from inside the send refuses the request and drops its entry
  // before the input signal's open command has come back.
  bool nested = false;
  conn.on_send = [&](const std::u16string& t) {
    if (!nested) {
      nested = true;
      Pass();
    }
    return CRC8Str(t);
  };
  In(Word(u"0001", u"InG-Activ"));
  EXPECT_EQ(ctl.StackCount(), 0u);
  EXPECT_EQ(conn.sent, (std::vector<std::u16string>{u"GO10.0.0.5:0001", u"CL10.0.0.5:0001"}));
  EXPECT_EQ(trace.back(), "MON STATUS!COME!10.0.0.5!0001!T!NOCARDNUMBER!InG-Activ!InG-Activ&");
}

TEST_F(ControllerTest, CheckETResendsUntilAcknowledged) {
  ctl.SetCheckET(true);
  In(Card(u"0001", u"42"));
  ctl.p_hw_manual(A, u"0001", u"TRUE");
  Pass();
  In(Word(u"0001", u"Relay"));  // a hardware report keeps the open entry alive
  ASSERT_EQ(conn.sent, (std::vector<std::u16string>{u"GO10.0.0.5:0001"}));
  const std::u16string crc = ctl.Entry(0).CRC;
  ASSERT_EQ(crc, CRC8Str(u"GO10.0.0.5:0001"));

  Pass();  // one second old: not yet
  EXPECT_EQ(conn.sent.size(), 1u);
  AdvanceMs(2000);
  Pass();
  Pass();
  EXPECT_EQ(conn.sent.size(), 3u);
  EXPECT_EQ(conn.sent.back(), u"GO10.0.0.5:0001");
  EXPECT_EQ(ctl.Entry(0).CRC, crc);

  In(Code(u"0001", u"ET" + crc));
  Pass();
  EXPECT_EQ(conn.sent.size(), 3u);
  EXPECT_EQ(ctl.Entry(0).Status, u"OPEN");
}

}  // namespace
}  // namespace axg::test
