// The add-in's outward channel: the four event routines that the controller's
// events reach, the "CHECK" and "STATUS" data layouts, the answer CheckSQL gives
// the controller, the error log, and silence after Done.
#include <gtest/gtest.h>

#include <utility>

#include "AddInObj/AddInObject.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "addin/fake_host.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/text.h"

namespace axg::test {
namespace {

class EventReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    void* p = nullptr;
    ASSERT_EQ(CreateAddInObject(nullptr, IID_IInitDone, &p), S_OK);
    init = static_cast<IInitDone*>(p);
    object = static_cast<AddInObject*>(init);
    ASSERT_EQ(init->Init(&host), S_OK);
  }
  void TearDown() override {
    if (init) init->Release();
  }

  // CheckSQL as the controller raises it: text fields, integer kind, AResult -1.
  TVar Check(const std::u16string& ip, const std::u16string& device, const std::u16string& card,
             TVar kind, TVar* mess_out = nullptr) {
    TVar mess(u"keep me");
    TVar result(-1);
    object->CheckSQL(nullptr, TVar(ip), TVar(device), TVar(u"T"), TVar(card), TVar(u"WAIT"),
                     nullptr, kind, mess, result);
    if (mess_out) *mess_out = mess;
    return result;
  }

  IInitDone* init = nullptr;
  AddInObject* object = nullptr;
  FakeHost host;
};

TEST_F(EventReportTest, CheckSQLAnswersKindsOneAndTwoAndPostsEveryKind) {
  struct Case {
    int kind;
    std::int32_t answer;
  };
  for (Case c : {Case{0, -1}, Case{1, 1}, Case{2, 1}, Case{3, -1}}) {
    host.events.clear();
    TVar mess;
    TVar r = Check(u"10.0.0.7", u"0012", u"0012345678", TVar(c.kind), &mess);
    EXPECT_EQ(r.ToInt(), c.answer) << "kind " << c.kind;
    EXPECT_EQ(mess, TVar(u"keep me")) << "Mess is left as the caller passed it";
    ASSERT_EQ(host.events.size(), 1u);
    EXPECT_EQ(host.events[0].source, u"Kavreno");
    EXPECT_EQ(host.events[0].name, u"CHECK");
    EXPECT_EQ(host.events[0].data, u"10.0.0.7;0012;T;0012345678;" + IntToStr(c.kind));
  }
}

TEST_F(EventReportTest, CheckSQLAnswerStandsWhenPostingFails) {
  host.event_result = E_FAIL;
  for (int kind : {0, 1, 2, 3}) {
    TVar mess;
    TVar result(-1);
    EXPECT_THROW(object->CheckSQL(nullptr, TVar(u"10.0.0.7"), TVar(u"0012"), TVar(u"T"),
                                  TVar(u"0012345678"), TVar(u"WAIT"), nullptr, TVar(kind), mess,
                                  result),
                 axg::Error)
        << "kind " << kind;
    EXPECT_EQ(result.ToInt(), (kind == 1 || kind == 2) ? 1 : -1) << "kind " << kind;
  }
  EXPECT_TRUE(host.events.empty());
}

TEST_F(EventReportTest, CheckSQLKindIsDecimalAndComparedAsANumber) {
  EXPECT_EQ(Check(u"a", u"b", u"c", TVar(u"2")).ToInt(), 1) << "a text kind is compared numerically";
  EXPECT_EQ(Check(u"a", u"b", u"c", TVar(-7)).ToInt(), -1);
  EXPECT_EQ(Check(u"a", u"b", u"c", TVar(u"two")).ToInt(), -1);
  auto data = host.DataOf(u"CHECK");
  ASSERT_EQ(data.size(), 3u);
  EXPECT_EQ(data[0], u"a;b;T;c;2");
  EXPECT_EQ(data[1], u"a;b;T;c;-7");
  EXPECT_EQ(data[2], u"a;b;T;c;two");
}

TEST_F(EventReportTest, StatusDataTakesFiveFieldsUnquoted) {
  struct Case {
    const char16_t *ip, *device, *card, *status1, *expected;
  };
  const Case cases[] = {
      {u"10.0.0.7", u"0012", u"0012345678", u"RQ", u"10.0.0.7;0012;T;0012345678;RQ"},
      {u"10.0.0.7", u"0012", u"NOCARDNUMBER", u"Gate-Open", u"10.0.0.7;0012;T;NOCARDNUMBER;Gate-Open"},
      {u"10.0.0.7", u"", u"", u"RQ", u"10.0.0.7;;T;;RQ"},
      {u"10.0.0.7", u"00;12", u"1", u"x", u"10.0.0.7;00;12;T;1;x"},
  };
  for (const auto& c : cases) {
    host.events.clear();
    object->CheckStatus(nullptr, TVar(u"CHECK"), TVar(c.ip), TVar(c.device), TVar(u"T"), TVar(c.card),
                        TVar(c.status1), TVar(u"NEW"));
    ASSERT_EQ(host.events.size(), 1u);
    EXPECT_EQ(host.events[0].name, u"STATUS");
    EXPECT_EQ(host.events[0].data, c.expected);
  }
  // An integer field is used as its text.
  host.events.clear();
  object->CheckStatus(nullptr, TVar(u"COME"), TVar(u"h"), TVar(12), TVar(u"T"), TVar(), TVar(u"s"), TVar());
  EXPECT_EQ(host.events.at(0).data, u"h;12;T;;s");
}

TEST_F(EventReportTest, LogAndErrorPassTheTextUnchanged) {
  object->Log(nullptr, u"%Считано с порта% $10.0.0.7:0012RQ1");
  object->Error(nullptr, u"[04] Порт не открыт или не назначен");
  object->Log(nullptr, u"");
  object->Error(nullptr, u"  ");
  ASSERT_EQ(host.events.size(), 4u);
  EXPECT_EQ(host.events[0].name, u"LOG");
  EXPECT_EQ(host.events[0].data, u"%Считано с порта% $10.0.0.7:0012RQ1");
  EXPECT_EQ(host.events[1].name, u"ERROR");
  EXPECT_EQ(host.events[1].data, u"[04] Порт не открыт или не назначен");
  EXPECT_EQ(host.events[2].data, u"");
  EXPECT_EQ(host.events[3].data, u"  ");
  for (const auto& e : host.events) EXPECT_EQ(e.source, u"Kavreno");

  host.event_result = E_FAIL;
  EXPECT_THROW(object->Log(nullptr, u"x"), axg::Error);
  EXPECT_THROW(object->Error(nullptr, u"x"), axg::Error);
}

TEST_F(EventReportTest, ReportErrorSkipsBlankMessagesAndKeepsTheBlanksOfOthers) {
  object->ReportError(u" \t\r\n ");
  object->ReportError(u"");
  EXPECT_TRUE(host.errors.empty());
  object->ReportError(u"  port busy \r\n");
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].description, u"  port busy \r\n");
  EXPECT_EQ(host.errors[0].code, 1006);
  EXPECT_TRUE(host.events.empty()) << "the error log is no external event";
}

TEST_F(EventReportTest, NothingReachesTheHostAfterDone) {
  ASSERT_EQ(init->Done(), S_OK);
  object->Log(nullptr, u"late");
  object->Error(nullptr, u"late");
  object->CheckStatus(nullptr, TVar(u"STACK"), TVar(u"a"), TVar(u"b"), TVar(u"T"), TVar(u"c"),
                      TVar(u"WAIT"), TVar(u"WAIT"));
  EXPECT_EQ(Check(u"a", u"b", u"c", TVar(2)).ToInt(), 1) << "the answer does not need the host";
  object->ReportError(u"late");
  EXPECT_TRUE(host.events.empty());
  EXPECT_TRUE(host.errors.empty());
}

// The controller's own reports reach the host through the routes Init made.
TEST_F(EventReportTest, ControllerEventsAreRoutedToTheHost) {
  object->Controller()->p_hw_ProtocolIn(u"$10.0.0.7:0012RQ001234567800");
  std::vector<std::u16string> names;
  for (const auto& e : host.events) names.push_back(e.name);
  ASSERT_GE(names.size(), 4u);
  EXPECT_EQ(names[0], u"LOG");
  EXPECT_EQ(host.events[0].data, u"%Считано с порта% $10.0.0.7:0012RQ001234567800");
  auto checks = host.DataOf(u"CHECK");
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0], u"10.0.0.7;0012;T;0012345678;0");
  auto statuses = host.DataOf(u"STATUS");
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], u"10.0.0.7;0012;T;0012345678;RQ");
  EXPECT_EQ(object->Controller()->StackItem(0)->Status, u"WAIT")
      << "kind 0 is left unanswered, so the entry waits for GateOpen";
}

// A host whose handler, run inside ExternalEvent, calls Done or lets go of the
// add-in: the controller that raised the event finishes its line, and what the
// host let go of goes once control is back in the loop.
TEST_F(EventReportTest, AHandlerThatLetsGoOrCallsDoneLeavesTheRaisingControllerRunning) {
  for (const bool done : {true, false}) {
    ASSERT_EQ(init->Init(&host), S_OK);
    host.events.clear();
    host.on_event = [&] { done ? void(init->Done()) : void(std::exchange(init, nullptr)->Release()); };
    object->Controller()->p_hw_ProtocolIn(u"$10.0.0.7:0012RQ001234567800");
    EXPECT_TRUE(!done || host.events.size() == 1u) << "nothing reaches the host after Done";
    MessageLoop::Current().RunPending();
    EXPECT_EQ(host.refs, done ? 2u : 1u);  // the connection object is held until the release
  }
}

}  // namespace
}  // namespace axg::test
