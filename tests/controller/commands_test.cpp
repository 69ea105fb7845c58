// Command output: command texts, relay and status-poll frames, send failures and
// the decision event.
#include "controller_fixture.h"

namespace axg::test {
namespace {

const std::string kNotOpen = "[04] Порт не открыт или не назначен";

class CommandTest : public ControllerTest {
 protected:
  CommandTest() { ctl.SweepTimer().SetEnabled(true); }
  TRFidInfo& Make(const std::u16string& type, const std::u16string& info = u"") {
    ctl.ClearStack();
    ctl.p_hw_FindDeviceByRelay(A, u"0001", type, u"1");
    ctl.Entry(0).InfoMess = info;
    return ctl.Entry(0);
  }
};

TEST_F(CommandTest, CommandTexts) {
  struct Case {
    const char16_t* type;
    const char16_t* info;
    int yesnot;
    std::vector<std::u16string> sent;
  };
  const std::u16string pre = u"10.0.0.5:0001";
  const Case cases[] = {
      {u"T", u"", 1, {u"GO" + pre}},
      {u"T", u"", 0, {u"CL" + pre}},
      {u"T", u"|a|b|", 1, {u"SH" + pre + u"|a|b|", u"GO" + pre + u"|a|b|"}},
      {u"T", u"|a|b|", 0, {u"SH" + pre + u"|a|b|", u"CL" + pre + u"|a|b|"}},
      {u"I", u"", 1, {u"SH" + pre}},
      {u"I", u"|x|", 0, {u"SH" + pre + u"|x|"}},
      {u"D", u"|x|", 1, {u""}},
      {u"t", u"", 1, {u""}},  // type comparisons are exact
      {u"T", u"", 2, {}},
  };
  for (const Case& c : cases) {
    Make(c.type, c.info);
    conn.sent.clear();
    trace.clear();
    EXPECT_TRUE(ctl.p_hw_SendComCommand(0, c.yesnot));
    EXPECT_EQ(conn.sent, c.sent) << U8(c.type) << U8(c.info) << c.yesnot;
    if (c.sent.empty()) {
      EXPECT_TRUE(trace.empty());
      continue;
    }
    // Only the main text is recorded and logged, never the lead text.
    const std::u16string main = c.sent.back();
    EXPECT_EQ(ctl.Entry(0).Command, main);
    EXPECT_EQ(ctl.Entry(0).CRC, main.empty() ? u"" : CRC8Str(main));
    EXPECT_FALSE(ctl.Entry(0).Finish);
    EXPECT_EQ(ctl.Entry(0).CRCtime, 0.5);
    EXPECT_EQ(trace.at(trace.size() - 2), "LOG %Отправлено на порт% " + U8(main));
    EXPECT_EQ(trace.back(), "MON LOG!%Отправлено на порт% " + U8(main) + "&");
  }
}

TEST_F(CommandTest, UnconnectedPortIsReportedAndNothingChanges) {
  for (bool absent : {true, false}) {
    TRFidInfo& e = Make(u"T");
    e.Command = u"old";
    ctl.SetConnector(absent ? nullptr : &conn);
    conn.connected = false;
    trace.clear();
    EXPECT_TRUE(ctl.p_hw_SendComCommand(0, 1));
    EXPECT_TRUE(ctl.p_hw_relay(A, u"0101", u"2", 1));
    EXPECT_TRUE(ctl.p_hw_CheckStatusAll());
    const Trace one = {"ERR " + kNotOpen, "MON ERROR!" + kNotOpen + "&"};
    EXPECT_EQ(trace, (Trace{one[0], one[1], one[0], one[1], one[0], one[1]}));
    EXPECT_EQ(e.Command, u"old");
    EXPECT_TRUE(conn.sent.empty());
  }
}

TEST_F(CommandTest, SendFailures) {
  // The lead send fails: nothing of the entry changes; the main text is still logged.
  TRFidInfo& e = Make(u"T", u"|m|");
  e.CRC = u"AA";
  conn.on_send = [](const std::u16string&) -> std::u16string { throw Error(u"no such client"); };
  EXPECT_TRUE(ctl.p_hw_SendComCommand(0, 1));
  EXPECT_EQ(conn.sent.size(), 1u);
  EXPECT_TRUE(e.Command.empty());
  EXPECT_EQ(e.CRC, u"AA");
  EXPECT_EQ(Take(), (Trace{"SEND SH10.0.0.5:0001|m|", "ERR [04] no such client",
                           "MON ERROR![04] no such client&",
                           "LOG %Отправлено на порт% GO10.0.0.5:0001|m|",
                           "MON LOG!%Отправлено на порт% GO10.0.0.5:0001|m|&"}));

  // The main send fails: Command is set and Finish false, CRC and CRCtime stay.
  e.Finish = true;
  conn.on_send = [](const std::u16string& t) -> std::u16string {
    if (t.rfind(u"GO", 0) == 0) throw Error(u"write failed");
    return u"11";
  };
  ctl.p_hw_SendComCommand(0, 1);
  EXPECT_EQ(e.Command, u"GO10.0.0.5:0001|m|");
  EXPECT_FALSE(e.Finish);
  EXPECT_EQ(e.CRC, u"AA");
  EXPECT_EQ(e.CRCtime, 0.0);
  EXPECT_EQ(Count("ERR [04] write failed"), 1);

  // Relay frames report [04], the status poll [03].
  conn.on_send = [](const std::u16string&) -> std::u16string { throw Error(u"x"); };
  trace.clear();
  ctl.p_hw_relay(A, u"010", u"2", 0);
  ctl.p_hw_CheckStatusAll();
  EXPECT_EQ(Count("ERR [04] x"), 1);
  EXPECT_EQ(Count("ERR [03] x"), 1);
  EXPECT_EQ(Count("MON ERROR![03] x&"), 1);
  EXPECT_EQ(Count("LOG %Отправлено на порт% $0009001D\r"), 1);
}

TEST_F(CommandTest, RelayFrames) {
  EXPECT_EQ(RelayFrameCheck(u"$01A200"), u"66");
  EXPECT_EQ(RelayFrameCheck(u"$000900"), u"1D");
  EXPECT_EQ(RelayFrameCheck(u"$000900 and more"), u"1D");
  for (auto bad : {u"$0A0900", u"$00090x", u"$0009", u"", u"$"}) {
    try {
      RelayFrameCheck(bad);
      ADD_FAILURE() << U8(bad);
    } catch (const Error& e) {
      EXPECT_NE(e.Message().find(u"is not a valid integer value"), std::u16string::npos);
    }
  }

  struct Case {
    const char16_t* device;
    const char16_t* relay;
    int yesnot;
    const char16_t* frame;  // before its check value; nullptr: nothing sent
  };
  const Case cases[] = {
      {u"01A", u"2", 0, u"$01A200"}, {u"01A", u"2", 1, u"$01A200"},
      {u"010", u"2", 0, u"$010200"}, {u"010", u"2", 1, u"$010220"},
      {u"01", u"23", 1, u"$012320"}, {u"01A", u"2", 3, nullptr},
  };
  for (const Case& c : cases) {
    conn.sent.clear();
    trace.clear();
    EXPECT_TRUE(ctl.p_hw_relay(A, c.device, c.relay, c.yesnot));
    if (!c.frame) {
      EXPECT_TRUE(conn.sent.empty());
      continue;
    }
    const std::u16string full = c.frame + RelayFrameCheck(c.frame) + u"\r";
    EXPECT_EQ(conn.sent, (std::vector<std::u16string>{full}));
    EXPECT_EQ(trace.back(), "MON LOG!%Отправлено на порт% " + U8(full) + "&");
  }
  conn.sent.clear();
  ctl.p_hw_CheckStatusAll();
  EXPECT_EQ(conn.sent, (std::vector<std::u16string>{u"$0009001D\r"}));
  // A relay frame with a letter where a digit belongs fails to the caller.
  EXPECT_THROW(ctl.p_hw_relay(A, u"0B", u"1", 0), Error);
}

TEST_F(CommandTest, FindDeviceByRelayMakesOneEntry) {
  ctl.ClearStack();
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"1");
  EXPECT_EQ(ctl.p_hw_FindDeviceByRelay(A, u"0002", u"D", u"3"), 1);
  EXPECT_EQ(ctl.p_hw_FindDeviceByRelay(u"other", u"0002", u"T", u"3"), 1);
  EXPECT_EQ(ctl.p_hw_FindDeviceByRelay(A, u"0002", u"D", u"4"), 2);
  const TRFidInfo& e = ctl.Entry(1);
  EXPECT_EQ(e.DeviceType, u"D");
  EXPECT_EQ(e.CardNumber, u"3");
  EXPECT_EQ(e.Status, u"NEW");
  EXPECT_TRUE(e.StatusHard.empty());
  EXPECT_EQ(e.sys, 0);
  EXPECT_EQ(ctl.StackCount(), 3u);
  EXPECT_TRUE(trace.empty());
}

TEST_F(CommandTest, DecisionEvent) {
  Make(u"T");
  // Without a handler: -1 for a decision request, 1 for the others.
  ctl.OnCheckSQL = nullptr;
  EXPECT_EQ(ctl.DoCheckSQL(0, 0), -1);
  for (int kind : {1, 2, 3}) EXPECT_EQ(ctl.DoCheckSQL(0, kind), 1);
  EXPECT_EQ(ctl.DoCheckSQL(0, 4), -1);
  EXPECT_EQ(ctl.Entry(0).Status, u"NEW");
  // A placeholder card is opened by the decision request, handler or not.
  ctl.Entry(0).CardNumber = u"-2-2-2-2-2";
  ctl.DoCheckSQL(0, 0);
  EXPECT_EQ(ctl.Entry(0).Status, u"OPEN");

  // A handler that leaves AResult alone gives -1 for every kind.
  Make(u"T");
  std::vector<std::string> seen;
  ctl.OnCheckSQL = [&](TObject*, const TVar&, const TVar&, const TVar&, const TVar&,
                       const TVar&, TPicture*, const TVar& kind, TVar& Mess, TVar& r) {
    seen.push_back(std::to_string(kind.ToInt()) + (Mess.IsEmpty() ? ":unassigned" : ":text") +
                   ":" + std::to_string(r.ToInt()));
  };
  for (int kind : {0, 1, 2, 3}) EXPECT_EQ(ctl.DoCheckSQL(0, kind), -1);
  EXPECT_EQ(seen, (std::vector<std::string>{"0:text:-1", "1:unassigned:-1", "2:unassigned:-1",
                                            "3:unassigned:-1"}));

  // A result that is no number: [05], not mirrored; the message is already kept.
  ctl.OnCheckSQL = [](TObject*, const TVar&, const TVar&, const TVar&, const TVar&, const TVar&,
                      TPicture*, const TVar&, TVar& Mess, TVar& r) {
    Mess = TVar(u"|hello|");
    r = TVar(u"abc");
  };
  trace.clear();
  EXPECT_EQ(ctl.DoCheckSQL(0, 0), -1);
  EXPECT_EQ(ctl.DoCheckSQL(0, 2), 1);
  EXPECT_EQ(ctl.Entry(0).InfoMess, u"|hello|");
  EXPECT_EQ(trace, (Trace{"ERR [05] 'abc' is not a valid integer value",
                          "ERR [05] 'abc' is not a valid integer value"}));
  // A number as text is taken; a failing handler is reported the same way.
  ctl.OnCheckSQL = [](TObject*, const TVar&, const TVar&, const TVar&, const TVar&, const TVar&,
                      TPicture*, const TVar&, TVar&, TVar& r) { r = TVar(u"0"); };
  EXPECT_EQ(ctl.DoCheckSQL(0, 3), 0);
  ctl.OnCheckSQL = [](TObject*, const TVar&, const TVar&, const TVar&, const TVar&, const TVar&,
                      TPicture*, const TVar&, TVar&, TVar&) { throw Error(u"script error"); };
  trace.clear();
  EXPECT_EQ(ctl.DoCheckSQL(0, 1), 1);
  EXPECT_EQ(trace, (Trace{"ERR [05] script error"}));
}

}  // namespace
}  // namespace axg::test
