// The connector on a real server over loopback: what devices see on the wire and
// what the controller is handed.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UConnector/FrameText.h"
#include "UConnector/TTcpSrvClient.h"
#include "UConnector/UConnector.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/text.h"
#include "transport/TLineServer.h"
#include "transport/line_client.h"

namespace axg {
namespace {

using test::kWaitMs;
using test::LineClient;
using Texts = std::vector<std::string>;

std::string Crc(const std::string& text) { return ToUtf8(AddCRC8(FromUtf8(text))); }

class ConnectorNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Proto = u"tcp";
    server.Port = u"0";
    server.Addr = u"127.0.0.1";
    connector.SetWSocketServer(&server);
    connector.SetConnectorType(podNet);
    connector.OnGetData = [this](TObject* sender, const std::u16string& m) {
      EXPECT_EQ(sender, &connector);
      messages.push_back(ToUtf8(m));
      if (on_data) on_data(ToUtf8(m));
    };
    connector.OnLog = [this](TObject*, const std::u16string& t) {
      logs.push_back(ToUtf8(t));
      if (on_log) on_log(ToUtf8(t));
    };
    connector.OnError = [this](TObject*, const std::u16string& t) { errors.push_back(ToUtf8(t)); };
    ASSERT_TRUE(connector.GetIsConnected());
    port = server.BoundPort();
  }

  // A device whose greeting has arrived (and been taken away).
  std::unique_ptr<LineClient> Device() {
    auto d = std::make_unique<LineClient>(port);
    EXPECT_TRUE(d->WaitFor(greeting));
    d->Take();
    return d;
  }
  TTcpSrvClient* Conn(int i) { return dynamic_cast<TTcpSrvClient*>(server.Client(i)); }
  // Sends a line and waits until the device has the bytes `wire` back; returns them.
  std::string Exchange(LineClient& d, const std::string& line, const std::string& wire) {
    d.Send(line + "\r\n");
    EXPECT_TRUE(d.WaitFor(wire)) << line;
    return d.Take();
  }

  FakeClock clock{0.25, 46000.0};
  ScopedClock scoped{clock};
  MessageLoop& loop = MessageLoop::Current();
  TDeviceConnector connector;  // outlives the server, as in the add-in
  TLineServer server;
  std::uint16_t port = 0;
  const std::string greeting = ToUtf8(server.Banner) + "\r\n";
  std::function<void(const std::string&)> on_data;
  std::function<void(const std::string&)> on_log;
  Texts messages, logs, errors;
};

TEST_F(ConnectorNetTest, ConfiguresEachConnectionBeforeItsGreeting) {
  auto d = std::make_unique<LineClient>(port);
  std::ptrdiff_t waiting_at_log = 0;
  on_log = [&](const std::string&) {
    char byte;
    waiting_at_log = SocketRecv(d->Handle(), &byte, 1);  // -1: nothing written yet
  };
  ASSERT_TRUE(d->WaitFor(greeting));
  EXPECT_EQ(waiting_at_log, -1);
  EXPECT_EQ(d->Received(), greeting);

  TTcpSrvClient* c = Conn(0);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->LineMode);
  EXPECT_TRUE(c->LineEdit);
  EXPECT_EQ(c->LineLimit, 160);
  EXPECT_EQ(c->LineEnd, "\r\n");
  EXPECT_EQ(c->ConnectTime, clock.Now());
  const std::string remote = std::to_string(SocketLocalAddress(d->Handle()).port);
  EXPECT_EQ(logs, (Texts{"Client connected. Remote: 127.0.0.1/" + remote + " Local: 127.0.0.1/" +
                             std::to_string(port),
                         "There is now 1 clients connected."}));
  on_log = nullptr;
  auto second = Device();
  EXPECT_EQ(logs.back(), "There is now 2 clients connected.");
}

// Each device line, the messages it is handed up as, and what its device gets back.
TEST_F(ConnectorNetTest, TurnsDeviceLinesIntoMessages) {
  struct Row {
    std::string line;
    Texts handed;
    std::string wire;
    std::string rcvd;  // RcvdLine when it differs from the line
  };
  const std::string P = "127.0.0.1";
  const Row rows[] = {
      {"#0001BT", {Crc("#" + P + ":0001InG-Activ")}, "testBF", ""},
      {"#0001GR", {Crc("#" + P + ":0001Relay")}, "testBF", ""},
      {"#0001GO", {Crc("$" + P + ":0001GR")}, "testBF", ""},
      {"$0001PING", {Crc("#" + P + ":0001HardReset")}, "$0001ECHOF3testBF", ""},
      {"$0001XY", {"$" + P + ":0001XY"}, "testBF", ""},
      // "#" tests run independently in the order BT, GR, ET, GO.
      {"#0001GOGR", {Crc("#" + P + ":0001Relay"), Crc("$" + P + ":0001GR")}, "testBF", ""},
      {"#0001BTGRETGO",
       {Crc("#" + P + ":0001InG-Activ"), Crc("#" + P + ":0001Relay"), "$" + P + ":0001BTGRETGO",
        Crc("$" + P + ":0001GR")},
       "testBF", ""},
      {"#0001", {}, "testBF", ""},
      // "$" forms: the first that holds.
      {"$0001PINGET", {Crc("#" + P + ":0001HardReset")}, "$0001ECHOF3testBF", ""},
      {"$0001ET", {Crc("#" + P + ":0001HardReset"), "$" + P + ":0001ET"}, "testBF", ""},
      {"$01", {"$" + P + ":01"}, "testBF", ""},
      // Blank and foreign lines yield nothing but still get "test".
      {" \t ", {}, "testBF", std::string(9, ' ')},
      {"X0001GO", {}, "testBF", ""},
      // Trailing CR and LF all go; one inside stays.
      {"$0001XY\r\r", {"$" + P + ":0001XY"}, "testBF", "$0001XY"},
      {"$00\r1XY", {"$" + P + ":00\r1XY"}, "testBF", ""},
      // Line editing is on.
      {"$0001Q\bXY", {"$" + P + ":0001XY"}, "testBF", "$0001XY"},
      {"$0001\tZ", {"$" + P + ":0001   Z"}, "testBF", "$0001   Z"},
  };
  auto d = Device();
  for (const Row& r : rows) {
    messages.clear();
    logs.clear();
    EXPECT_EQ(Exchange(*d, r.line, r.wire), r.wire) << r.line;
    EXPECT_EQ(messages, r.handed) << r.line;
    const std::string rcvd = r.rcvd.empty() ? r.line : r.rcvd;
    EXPECT_EQ(ToUtf8(Conn(0)->RcvdLine), rcvd);
    EXPECT_EQ(logs, (Texts{"IP" + P, "Received from " + P + ": " + rcvd})) << r.line;
  }
}

TEST_F(ConnectorNetTest, EveryLineSendsTestToEveryConnection) {
  auto a = Device(), b = Device(), c = Device();
  b->Send("$0001XY\r\n");
  for (LineClient* d : {a.get(), b.get(), c.get()}) {
    ASSERT_TRUE(d->WaitFor("testBF"));
    EXPECT_EQ(d->Take(), "testBF");
  }
  EXPECT_EQ(messages, Texts{"$127.0.0.1:0001XY"});
}

// A connection that has closed but is still listed, or whose write fails, is
// passed over; the device whose line it was keeps its connection.
TEST_F(ConnectorNetTest, TestSkipsConnectionsThatCannotTakeIt) {
  auto a = Device(), b = Device(), c = Device();
  on_data = [&](const std::string&) { Conn(1)->Close(); };
  EXPECT_EQ(Exchange(*a, "$0001XY", "testBF"), "testBF");
  ASSERT_TRUE(c->WaitFor("testBF"));
  EXPECT_EQ(c->Take(), "testBF");
  ASSERT_TRUE(b->WaitClosed());
  EXPECT_EQ(b->Received(), "");
  EXPECT_EQ(Conn(0)->State(), wsConnected);
  ASSERT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 2; }, kWaitMs));

  // The device behind the second connection vanishes before the server knows.
  auto d = Device();  // now listed after a and c
  on_data = [&](const std::string&) { c->Reset(); };
  EXPECT_EQ(Exchange(*a, "$0001XY", "testBF"), "testBF");
  ASSERT_TRUE(d->WaitFor("testBF"));  // listed after the broken one
  EXPECT_EQ(Conn(0)->State(), wsConnected);
  // The failed write closed the broken connection, which then leaves the list.
  EXPECT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 2; }, kWaitMs));
  on_data = nullptr;
  EXPECT_EQ(Exchange(*a, "$0001XY", "testBF"), "testBF");
}

TEST_F(ConnectorNetTest, ACrOnlyDeviceIsClosedAtTheLineLimit) {
  auto d = Device();
  std::string cr_only;
  for (int i = 0; i < 17; ++i) cr_only += "$0001PING\r";  // 170 bytes, no CR LF
  logs.clear();
  d->Send(cr_only);
  ASSERT_TRUE(d->WaitClosed());
  EXPECT_EQ(d->Received(), "");
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(logs, Texts{"Line limit exceeded from 127.0.0.1. Closing."});
  EXPECT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 0; }, kWaitMs));
}

TEST_F(ConnectorNetTest, SendCommandWritesTheFramesOfEachCommand) {
  struct Row {
    std::string command;
    std::string wire;    // frames written, in order
    Texts logged;        // frames logged (also those not sent)
    std::string result;
  };
  const std::string pad20(20, ' ');
  const std::string sh = "SH127.0.0.1:0001";
  const std::string blank1 = Crc("$0001PSN1001" + pad20);
  const Row rows[] = {
      {"GO127.0.0.1:0001", "$0001GO65$0001GR6A", {"$0001GO65", "$0001GR6A"}, ""},
      {"CL127.0.0.1:0001", "$0001PH32", {"$0001PH32"}, "32"},
      {"CP127.0.0.1:0001xyz", "$0001CP8B", {"$0001CP8B"}, "8B"},
      {sh + "|Hello|World|||",
       "$0001CSD8$0001PSN1001        Hello       BD$0001PSN1002        World       FC",
       {"$0001CSD8", "$0001PSN1001        Hello       BD", "$0001PSN1002        World       FC",
        "$0001PSN1003" + pad20 + "D1", "$0001PSN1004" + pad20 + "67"},
       "BD"},
      {sh + "| |\t||  |",
       "",
       {"$0001CSD8", blank1, Crc("$0001PSN1002" + pad20), Crc("$0001PSN1003" + pad20),
        Crc("$0001PSN1004" + pad20)},
       blank1.substr(blank1.size() - 2)},
      {sh + "|||Third||",
       "$0001CSD8" + Crc("$0001PSN1003        Third       "),
       {"$0001CSD8", blank1, Crc("$0001PSN1002" + pad20), Crc("$0001PSN1003        Third       "),
        Crc("$0001PSN1004" + pad20)},
       blank1.substr(blank1.size() - 2)},
      // A line longer than 20 goes whole; without the last "|" line 4 is empty.
      {sh + "|ABCDEFGHIJKLMNOPQRSTUVWXY|||four",
       "$0001CSD8" + Crc("$0001PSN1001ABCDEFGHIJKLMNOPQRSTUVWXY"),
       {"$0001CSD8", Crc("$0001PSN1001ABCDEFGHIJKLMNOPQRSTUVWXY"), Crc("$0001PSN1002" + pad20),
        Crc("$0001PSN1003" + pad20), Crc("$0001PSN1004" + pad20)},
       Crc("$0001PSN1001ABCDEFGHIJKLMNOPQRSTUVWXY").substr(37)},
      // Nothing at all for these.
      {"go127.0.0.1:0001", "", {}, ""},
      {"GO127.0.0.1", "", {}, ""},
      {"GO10.9.9.9:0001", "", {}, ""},
      {"$0001GO65", "", {}, ""},
  };
  auto d = Device();
  for (const Row& r : rows) {
    logs.clear();
    EXPECT_EQ(ToUtf8(connector.SendCommand(FromUtf8(r.command))), r.result) << r.command;
    // A direct command behind it marks the end of what the command wrote.
    connector.SendDirectCommand(u"127.0.0.1", u"END");
    ASSERT_TRUE(d->WaitFor("END"));
    EXPECT_EQ(d->Take(), r.wire + Crc("END")) << r.command;
    Texts logged = r.logged;
    logged.push_back(Crc("END"));
    EXPECT_EQ(logs, logged) << r.command;
  }
}

TEST_F(ConnectorNetTest, CommandsGoToTheLaterOfTwoConnectionsFromOneAddress) {
  auto first = Device(), later = Device();
  EXPECT_EQ(ToUtf8(connector.SendCommand(u"CP127.0.0.1:0001")), "8B");
  EXPECT_EQ(connector.FindClientByIP(u"127.0.0.1"), Conn(1));
  EXPECT_EQ(connector.FindClientByIP(u"127.0.0.2"), nullptr);
  ASSERT_TRUE(later->WaitFor("$0001CP8B"));
  // The first sees only the "test" of its own line: nothing came before it.
  EXPECT_EQ(Exchange(*first, "$0001XY", "testBF"), "testBF");
}

TEST_F(ConnectorNetTest, ARefusedWriteEscapesTheSender) {
  auto d = Device();
  Conn(0)->Close();  // closed, still listed until the loop turns
  logs.clear();
  EXPECT_THROW(connector.SendCommand(u"GO127.0.0.1:0001"), Error);
  EXPECT_THROW(connector.SendDirectCommand(u"127.0.0.1", u"X"), Error);
  EXPECT_TRUE(logs.empty());  // a frame that was not written is not logged
}

TEST_F(ConnectorNetTest, CloseAllEndsEverythingAndTheNextReadingListensAgain) {
  auto a = Device(), b = Device();
  logs.clear();
  connector.CloseAll();
  EXPECT_NE(server.State(), wsListening);
  EXPECT_EQ(logs, Texts{"Session closed"});
  EXPECT_TRUE(a->WaitClosed());
  EXPECT_TRUE(b->WaitClosed());
  EXPECT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 0; }, kWaitMs));
  EXPECT_TRUE(errors.empty());

  EXPECT_TRUE(connector.GetIsConnected());
  EXPECT_EQ(server.State(), wsListening);
  port = server.BoundPort();
  auto c = Device();

  // Writing false stops listening only; the device stays connected.
  connector.SetIsConnected(false);
  EXPECT_NE(server.State(), wsListening);
  EXPECT_EQ(Exchange(*c, "$0001XY", "testBF"), "testBF");
  connector.SetIsConnected(true);
  EXPECT_EQ(server.State(), wsListening);
}

TEST_F(ConnectorNetTest, AFailingMessageHandlerDropsOnlyThatDevice) {
  auto a = Device(), b = Device();
  on_data = [](const std::string&) { throw Error(u"controller failed"); };
  a->Send("$0001XY\r\n");
  ASSERT_TRUE(a->WaitClosed());
  EXPECT_EQ(a->Received(), "");  // the rest of the line's processing was skipped
  on_data = nullptr;
  // b got no "test" for a's line: its own line brings exactly one.
  EXPECT_EQ(Exchange(*b, "$0001XY", "testBF"), "testBF");
}

TEST_F(ConnectorNetTest, AFailingConnectHandlerLeavesTheServerListening) {
  on_log = [](const std::string& t) {
    if (t.rfind("Client connected", 0) == 0) throw Error(u"log failed");
  };
  LineClient d(port);
  ASSERT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 1; }, kWaitMs));
  EXPECT_EQ(server.State(), wsListening);
  EXPECT_FALSE(Conn(0)->LineMode);  // the configuration after the log never ran
  on_log = nullptr;
  auto e = Device();
  EXPECT_TRUE(Conn(1)->LineMode);
}

TEST_F(ConnectorNetTest, WithoutTheServerAttachedConnectionsAreLeftAlone) {
  connector.SetWSocketServer(nullptr);
  EXPECT_FALSE(server.OnClientConnect || server.OnClientDisconnect || server.OnDataSent ||
               server.OnSessionClosed || server.OnBgException);
  EXPECT_FALSE(connector.GetIsConnected());
  auto d = Device();
  EXPECT_FALSE(Conn(0)->LineMode);
  EXPECT_TRUE(logs.empty());
}

TEST(ConnectorListen, FailingToListenAnswersFalseAndTriesAgain) {
  TLineServer holder;
  holder.Port = u"0";
  holder.Addr = u"127.0.0.1";
  holder.Listen();
  TDeviceConnector connector;
  TLineServer server;
  server.Port = IntToStr(holder.BoundPort());
  server.Addr = u"127.0.0.1";
  Texts errors;
  connector.OnError = [&](TObject*, const std::u16string& t) { errors.push_back(ToUtf8(t)); };
  connector.SetWSocketServer(&server);
  EXPECT_FALSE(connector.GetIsConnected());  // podEmpty: nothing happens
  EXPECT_EQ(server.ClientClass, &MakeClient<TLineConnection>);
  connector.SetConnectorType(podNet);
  EXPECT_FALSE(connector.GetIsConnected());  // the port is taken
  EXPECT_EQ(server.ClientClass, &MakeClient<TTcpSrvClient>);
  EXPECT_TRUE(errors.empty());
  holder.Close();
  EXPECT_TRUE(connector.GetIsConnected());
  EXPECT_EQ(server.State(), wsListening);
}

}  // namespace
}  // namespace axg
