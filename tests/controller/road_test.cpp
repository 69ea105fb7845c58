// The whole road of a card, from a device's line to the gate and back, through the
// real connector and line server on loopback.
#include "controller_fixture.h"
#include "transport/TLineServer.h"
#include "transport/line_client.h"

namespace axg::test {
namespace {

std::string Frame(const std::u16string& text) { return U8(AddCRC8(text)); }

class RoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Proto = u"tcp";
    server.Port = u"0";
    server.Addr = u"127.0.0.1";
    connector.SetWSocketServer(&server);
    connector.SetConnectorType(podNet);
    ctl.SetConnector(&connector);
    ctl.OnLog = [this](TObject*, const std::u16string& t) { Add("LOG " + U8(t)); };
    ctl.OnError = [this](TObject*, const std::u16string& t) { Add("ERR " + U8(t)); };
    ctl.OnCheckStatus = [this](TObject*, const TVar& n, const TVar& ip, const TVar& d,
                               const TVar& ty, const TVar& c, const TVar& s1, const TVar& s2) {
      Add("STATUS " + U8(n.ToText()) + "|" + U8(ip.ToText()) + "|" + U8(d.ToText()) + "|" +
          U8(ty.ToText()) + "|" + U8(c.ToText()) + "|" + U8(s1.ToText()) + "|" + U8(s2.ToText()));
    };
    // The add-in's answer: kinds 1 and 2 closed at once, kinds 0 and 3 left open.
    ctl.OnCheckSQL = [this](TObject*, const TVar& ip, const TVar& d, const TVar& ty,
                            const TVar& c, const TVar&, TPicture*, const TVar& kind, TVar&,
                            TVar& r) {
      const int k = kind.ToInt();
      Add("CHECK " + U8(ip.ToText()) + ";" + U8(d.ToText()) + ";" + U8(ty.ToText()) + ";" +
          U8(c.ToText()) + ";" + std::to_string(k));
      if (k == 1 || k == 2) r = TVar(1);
    };
    ctl.OnGetImg = [this](TObject*, const std::u16string& d, TPicture*) { Add("IMG " + U8(d)); };
    ASSERT_TRUE(connector.GetIsConnected());  // the server listens from here on
  }

  // Each event once: a run of the same report (the sweep's repeats of an entry
  // that did not change) is kept as one.
  void Add(const std::string& line) {
    if (events.empty() || events.back() != line) events.push_back(line);
  }

  FakeClock clock{0.5};
  ScopedClock scoped{clock};
  MessageLoop& loop = MessageLoop::Current();
  // Destroyed as the add-in destroys them: server, controller, connector.
  TDeviceConnector connector;
  TestController ctl;
  TLineServer server;
  Trace events;
};

TEST_F(RoadTest, CardToGate) {
  LineClient device(server.BoundPort());
  ASSERT_TRUE(device.WaitFor(U8(server.Banner) + "\r\n"));
  device.Take();
  const std::string test = Frame(u"test");
  auto state = [this] {
    return ctl.StackCount() == 1 ? U8(ctl.StackItem(0)->Status) : std::string("none");
  };

  // 1-3: the card is read, taken into the stack and put to the host.
  device.Send("$0001RQ0012345678A5\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return state() == "WAIT"; }, kWaitMs));
  ASSERT_TRUE(device.WaitFor(test));
  EXPECT_EQ(device.Take(), test);
  EXPECT_TRUE(ctl.TimerOn());

  // 4-5: the script opens the gate; the next pass sends the open frames.
  ctl.p_hw_manual(u"127.0.0.1", u"0001", u"TRUE");
  const std::string open = Frame(u"$0001GO") + Frame(u"$0001GR");
  ASSERT_TRUE(device.WaitFor(open));
  EXPECT_EQ(device.Take(), open);
  EXPECT_EQ(state(), "OPEN");

  // 6: the device reports the pass; the entry finishes, is dropped, the timer stops.
  device.Send("#0001GO\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return ctl.StackCount() == 0 && !ctl.TimerOn(); }, kWaitMs));
  ASSERT_TRUE(device.WaitFor(test));
  EXPECT_EQ(device.Take(), test);

  const std::string card = "127.0.0.1|0001|T|0012345678|";
  const std::string gr = U8(AddCRC8(u"$127.0.0.1:0001GR"));
  EXPECT_EQ(events, (Trace{
                        "LOG %Считано с порта% $127.0.0.1:0001RQ0012345678A5",
                        "IMG 0001",
                        "STATUS CHECK|" + card + "RQ|NEW",
                        "STATUS COME|" + card + "NEW|NEW",
                        "CHECK 127.0.0.1;0001;T;0012345678;0",
                        "STATUS STACK|" + card + "WAIT|WAIT",
                        "LOG %Отправлено на порт% GO127.0.0.1:0001",
                        "STATUS STACK|" + card + "OPEN|OPEN",
                        "LOG %Считано с порта% " + gr,
                        "STATUS COME|" + card + "FINISH|FINISH",
                        "CHECK 127.0.0.1;0001;T;0012345678;2",
                    }));
}

TEST_F(RoadTest, RefusedCardClosesTheGate) {
  LineClient device(server.BoundPort());
  ASSERT_TRUE(device.WaitFor(U8(server.Banner) + "\r\n"));
  device.Send("$0002RQ99887766550F\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return ctl.StackCount() == 1; }, kWaitMs));
  ctl.p_hw_manual(u"127.0.0.1", u"0002", u"FALSE");
  const std::string close = Frame(u"$0002PH");
  ASSERT_TRUE(device.WaitFor(close));
  ASSERT_TRUE(loop.RunUntil([&] { return !ctl.TimerOn(); }, kWaitMs));
  EXPECT_EQ(ctl.StackCount(), 0u);
  EXPECT_EQ(events.back(), "STATUS STACK|127.0.0.1|0002|T|9988776655|CLOSE|CLOSE");
}

}  // namespace
}  // namespace axg::test
