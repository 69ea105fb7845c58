// Inbound messages: splitting, codes and words, the device list, report order and
// the timer step.
#include "controller_fixture.h"

namespace axg::test {
namespace {

// Keeps the sweep out of the way so that only the interpretation is seen.
class InboundTest : public ControllerTest {
 protected:
  InboundTest() { ctl.SweepTimer().SetEnabled(true); }
};

TEST_F(ControllerTest, CardRequestReportsInOrderAndRunsOnePass) {
  ctl.SetRemoutDevice(podServer);  // the "LOG!" line comes before every report
  In(u"$10.0.0.5:0001RQ0012345678A7");
  EXPECT_TRUE(ctl.TimerOn());
  const Trace want = {
      "LOG %Считано с порта% $10.0.0.5:0001RQ0012345678A7",
      "MON LOG!%Считано с порта% $10.0.0.5:0001RQ0012345678A7&",
      "IMG 0001",
      "STATUS CHECK|10.0.0.5|0001|T|0012345678|RQ|NEW",
      "MON STATUS!CHECK!10.0.0.5!0001!T!0012345678!RQ!NEW&",
      "STATUS COME|10.0.0.5|0001|T|0012345678|NEW|NEW",
      "MON STATUS!COME!10.0.0.5!0001!T!0012345678!NEW!NEW&",
      // the pass run because the timer was off: NEW was told by COME
      "SQL 0|10.0.0.5|0001|T|0012345678|NEW",
      "STATUS STACK|10.0.0.5|0001|T|0012345678|WAIT|WAIT",
      "MON STATUS!STACK!10.0.0.5!0001!T!0012345678!WAIT!WAIT&",
  };
  EXPECT_EQ(Take(), want);
  const TRFidInfo& e = ctl.Entry(0);
  EXPECT_EQ(e.IP, u"10.0.0.5");
  EXPECT_EQ(e.CardNumber, u"0012345678");
  EXPECT_EQ(e.Starttime, 0.5);
  EXPECT_NE(e.Img, nullptr);

  // The timer is on now: the next message runs no pass.
  In(u"#10.0.0.5:0001Nothing00");
  EXPECT_EQ(Count("STATUS STACK"), 0);
}

struct SplitCase {
  const char16_t* message;
  const char* come;  // the "COME" report made, or "" for none
  std::size_t entries;
};

TEST_F(InboundTest, SplittingDeviceTypeAndCase) {
  const SplitCase cases[] = {
      // no colon: empty address, the device starts with the form character
      {u"#0001HardReset00", "STATUS COME||#000|T|NOCARDNUMBER|1HardReset|1HardReset", 0},
      // fourth character of the device: upper-case I gives "I", lower-case gives "T"
      {u"$A:001IRQ123400", "STATUS COME|A|001I|I|1234|NEW|NEW", 1},
      {u"$A:001iRQ123400", "STATUS COME|A|001i|T|1234|NEW|NEW", 1},
      // codes are case-sensitive
      {u"$A:0001rq123400", "", 0},
      // a short argument gives an empty card number and still an entry
      {u"$A:0001RQ00", "STATUS COME|A|0001|T||NEW|NEW", 1},
      {u"$A:0001RQ", "STATUS COME|A|0001|T||NEW|NEW", 1},
      // address ends at the first colon; rest is cut at 1000 characters
      {u"$A:B:01RQ9900", "STATUS COME|A|B:01|T|99|NEW|NEW", 1},
      // a "#" word is what lies between the device and the two check characters
      {u"#A:0001X12", "STATUS COME|A|0001|T|NOCARDNUMBER|X|X", 0},
      {u"#A:000112", "STATUS COME|A|0001|T|NOCARDNUMBER||", 0},
      // neither form: logged only
      {u"0001RQ1234", "", 0},
      {u"", "", 0},
  };
  for (const auto& c : cases) {
    ctl.ClearStack();
    trace.clear();
    In(c.message);
    std::string come;
    for (const auto& line : trace)
      if (line.rfind("STATUS COME", 0) == 0) come = line;
    EXPECT_EQ(come, c.come) << U8(c.message);
    EXPECT_EQ(ctl.StackCount(), c.entries) << U8(c.message);
    EXPECT_EQ(trace.at(0), "LOG %Считано с порта% " + U8(c.message));
  }
}

TEST_F(InboundTest, DeviceListWordsIgnoreLetterCase) {
  In(Word(u"0001", u"hardreset"));
  In(Word(u"0002", u"WAIT-CARD"));
  In(Word(u"000a", u"Relay"));
  In(Word(u"000A", u"HardReset"));  // same device in another case: not added again
  In(Word(u"0001", u"Wait-Card"));
  In(Word(u"0003", u"Relay7"));
  In(Word(u"0004", u"Btn-Activ"));
  In(Word(u"0005", u"Gate-Open"));
  EXPECT_EQ(ctl.DeviceList(), (std::vector<std::u16string>{u"0001", u"0002", u"000a", u"0003"}));
  // The word is reported as received.
  EXPECT_EQ(Count("STATUS COME|10.0.0.5|0001|T|NOCARDNUMBER|hardreset|hardreset"), 1);
  EXPECT_EQ(Count("STATUS COME"), 8);
  EXPECT_EQ(ctl.StackCount(), 0u);
}

TEST_F(InboundTest, HardwareReportsMarkTheEntry) {
  struct Case {
    const char16_t* word;
    const char16_t* type;
    const char16_t* hard;
    const char16_t* status;
  };
  const Case cases[] = {
      {u"Relay", u"T", u"RELAY", u"WAIT"},
      {u"relay12", u"T", u"RELAY", u"WAIT"},
      {u"CRC-ERROR", u"T", u"CRC-ERROR", u"WAIT"},
      {u"gate-open", u"T", u"GATEOPEN", u"WAIT"},
      {u"Gate-Open", u"D", u"GATEOPEN", u"FINISH"},
      {u"Btn-Activ", u"T", u"", u"WAIT"},
      {u"Nonsense", u"D", u"", u"WAIT"},
  };
  for (const auto& c : cases) {
    ctl.ClearStack();
    ctl.p_hw_FindDeviceByRelay(u"other", u"0007", c.type, u"1");
    ctl.Entry(0).Status = u"WAIT";
    In(Word(u"0007", c.word));
    EXPECT_EQ(ctl.Entry(0).StatusHard, c.hard) << U8(c.word);
    EXPECT_EQ(ctl.Entry(0).Status, c.status) << U8(c.word);
  }
}

TEST_F(InboundTest, DeviceCodesChangeTheEntry) {
  struct Case {
    const char16_t* code;
    const char16_t* type;
    const char16_t* status;
  };
  const Case cases[] = {
      {u"PR", u"T", u"PROGRESS"}, {u"PR", u"D", u"FINISH"}, {u"PR", u"I", u"WAIT"},
      {u"GR", u"I", u"FINISH"},   {u"FK", u"T", u"TIMEOUT"}, {u"XX", u"T", u"WAIT"},
  };
  for (const auto& c : cases) {
    ctl.ClearStack();
    ctl.p_hw_FindDeviceByRelay(u"B", u"0009", c.type, u"1");
    ctl.Entry(0).Status = u"WAIT";
    trace.clear();
    In(Code(u"0009", c.code));
    EXPECT_EQ(ctl.Entry(0).Status, c.status) << U8(c.code) << U8(c.type);
    // The entry report carries the entry's fields, not the message's.
    const std::string report = "STATUS COME|B|0009|" + U8(c.type) + "|1|" + U8(c.status) + "|" +
                               U8(c.status);
    EXPECT_EQ(Count(report), std::u16string(c.code) == u"XX" ? 0 : 1) << U8(c.code);
  }
  // A code for a device without an entry changes nothing and reports nothing.
  trace.clear();
  In(Code(u"0010", u"GR"));
  EXPECT_EQ(Count("STATUS"), 0);
}

TEST_F(InboundTest, SecondCardRequestKeepsTheFirstEntry) {
  In(Card(u"0001", u"1111111111"));
  ctl.Entry(0).Status = u"WAIT";
  trace.clear();
  In(u"$10.0.0.9:0001RQ2222222222XX");  // another address, the same device
  ASSERT_EQ(ctl.StackCount(), 1u);
  EXPECT_EQ(ctl.Entry(0).CardNumber, u"1111111111");
  EXPECT_EQ(ctl.Entry(0).IP, u"10.0.0.5");
  EXPECT_EQ(trace, (Trace{"LOG %Считано с порта% $10.0.0.9:0001RQ2222222222XX",
                          "STATUS CHECK|10.0.0.9|0001|T|2222222222|RQ|WAIT",
                          "MON STATUS!CHECK!10.0.0.9!0001!T!2222222222!RQ!WAIT&",
                          "STATUS COME|10.0.0.9|0001|T|2222222222|WAIT|WAIT",
                          "MON STATUS!COME!10.0.0.9!0001!T!2222222222!WAIT!WAIT&"}));
}

TEST_F(InboundTest, AcknowledgementNeedsCheckETAndTheSameCode) {
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"1");
  TRFidInfo& e = ctl.Entry(0);
  e.Command = u"GO10.0.0.5:0001";
  e.CRC = u"5C";
  In(Code(u"0001", u"ET5C"));
  EXPECT_EQ(e.Command, u"GO10.0.0.5:0001");  // CheckET off
  ctl.SetCheckET(true);
  In(Code(u"0001", u"ET5D"));
  EXPECT_FALSE(e.Finish);
  In(Code(u"0001", u"ET5C"));
  EXPECT_TRUE(e.Command.empty());
  EXPECT_TRUE(e.Finish);
  EXPECT_EQ(Count("STATUS"), 0);
}

TEST_F(InboundTest, InputSignal) {
  // No entry: one is made with the input-signal card, "CHECK" without "COME" of a card.
  In(Word(u"0001", u"InG-Activ"));
  ASSERT_EQ(ctl.StackCount(), 1u);
  EXPECT_EQ(ctl.Entry(0).CardNumber, u"-2-2-2-2-2");
  EXPECT_EQ(ctl.Entry(0).Status, u"NEW");
  EXPECT_EQ(Take(), (Trace{"LOG %Считано с порта% #10.0.0.5:0001InG-ActivXX", "IMG 0001",
                           "STATUS CHECK|10.0.0.5|0001|T|-2-2-2-2-2|RQ|NEW",
                           "MON STATUS!CHECK!10.0.0.5!0001!T!-2-2-2-2-2!RQ!NEW&",
                           "STATUS COME|10.0.0.5|0001|T|NOCARDNUMBER|InG-Activ|InG-Activ",
                           "MON STATUS!COME!10.0.0.5!0001!T!NOCARDNUMBER!InG-Activ!InG-Activ&"}));
  // A "NEW" entry is opened once.
  In(Word(u"0001", u"ing-activ"));
  EXPECT_EQ(ctl.Entry(0).Status, u"OPEN");
  EXPECT_EQ(conn.sent, (std::vector<std::u16string>{u"GO10.0.0.5:0001"}));
  // Any other state: nothing.
  In(Word(u"0001", u"InG-Activ"));
  ctl.Entry(0).Status = u"WAIT";
  In(Word(u"0001", u"InG-Activ"));
  EXPECT_EQ(conn.sent.size(), 1u);
  EXPECT_EQ(ctl.Entry(0).Status, u"WAIT");
}

TEST_F(ControllerTest, MonitorClientInterpretsNothing) {
  ctl.SetRemoutDevice(PodClient);
  In(Card(u"0001", u"0012345678"));
  EXPECT_EQ(ctl.StackCount(), 0u);
  EXPECT_FALSE(ctl.TimerOn());
  // The forward finds no monitor server address: the open is refused at once.
  EXPECT_EQ(Take(), (Trace{"LOG %Считано с порта% $10.0.0.5:0001RQ0012345678XX",
                           "MON $10.0.0.5:0001RQ0012345678XX",
                           "ERR [12] Client Error Code 1110"}));
}

TEST_F(ControllerTest, MessageOfNeitherFormRunsTheTimerStep) {
  In(u"garbage");
  // Switched on, and the pass that followed found the stack empty: off again.
  EXPECT_FALSE(ctl.TimerOn());
  EXPECT_EQ(Take(), (Trace{"LOG %Считано с порта% garbage"}));
  ctl.p_hw_FindDeviceByRelay(A, u"0001", u"T", u"1");
  In(u"garbage");
  EXPECT_TRUE(ctl.TimerOn());
  EXPECT_EQ(Count("SQL 0"), 1);
}

TEST_F(ControllerTest, ErrorsOfLogAndPictureHandlersReachTheCaller) {
  ctl.OnGetImg = [](TObject*, const std::u16string&, TPicture* img) {
    img->Width = 3;
    throw Error(u"no camera");
  };
  EXPECT_THROW(In(Card(u"0001", u"1")), Error);
  ASSERT_EQ(ctl.StackCount(), 1u);  // the entry was made before the picture was asked for
  EXPECT_EQ(ctl.Entry(0).Img->Width, 3);
  EXPECT_FALSE(ctl.TimerOn());
  ctl.OnLog = [](TObject*, const std::u16string&) { throw Error(u"log full"); };
  EXPECT_THROW(In(Card(u"0002", u"1")), Error);
  EXPECT_EQ(ctl.StackCount(), 1u);
}

}  // namespace
}  // namespace axg::test
