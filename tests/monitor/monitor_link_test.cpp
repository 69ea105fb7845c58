// Monitor link of the gate controller: roles, opening and closing, mirroring to
// monitor clients, forwarding to a monitor server, and the error reports.
#include "link_harness.h"

namespace axg::test {
namespace {

std::string Wire(const std::vector<std::u16string>& lines) {
  std::u16string all;
  for (const auto& l : lines) all += l;
  return ToAnsi(all);
}

TEST(MonitorLink, RoleNoneOpensNothing) {
  RecordingConnector conn;
  LinkController c;
  c.SetConnector(&conn);
  c.SetServer(u"127.0.0.1");
  c.SendToMonitor(u"LOG!x&");
  EXPECT_TRUE(c.Connected());  // the connector's state alone
  EXPECT_EQ(c.MonitorListenPort(), 0);
  EXPECT_FALSE(c.DeviceClient->Connecting());
  EXPECT_FALSE(c.DeviceClient->Active());
  EXPECT_TRUE(c.events.empty());
}

// The server opens with the first line, but sends only while the connector is
// connected: the line that opened it, found with the connector down, is lost.
TEST(MonitorLink, ServerOpensOnTheFirstLineAndSendsWhileTheConnectorIsConnected) {
  RecordingConnector conn;
  conn.connected = false;
  LinkController s;
  s.SetConnector(&conn);
  s.SetRemoutDevice(podServer);
  EXPECT_EQ(s.MonitorListenPort(), 0);
  s.SendToMonitor(u"LOG!one&");
  const int port = s.MonitorListenPort();
  ASSERT_NE(port, 0);
  EXPECT_FALSE(s.Connected());

  LineClient client(static_cast<std::uint16_t>(port));
  ASSERT_TRUE(Wait([&] { return s.DeviceServer->ConnectionCount() == 1; }));
  EXPECT_EQ(s.events, (Trace{"LOG %Client Connected% 127.0.0.1"}));
  s.SendToMonitor(u"LOG!two&");
  conn.connected = true;
  s.SendToMonitor(u"LOG!three&");
  ASSERT_TRUE(client.WaitFor("LOG!three&"));
  Settle();
  EXPECT_EQ(client.Received(), "LOG!three&");
}

// Reports of every kind reach every monitor client, whole and in order, in the
// 8-bit code page; what a client sends is interpreted, one read as one message.
TEST(MonitorLink, ServerMirrorsEveryReportToEveryMonitorClient) {
  RecordingConnector conn;
  conn.on_send = [](const std::u16string&) -> std::u16string { throw Error(u"line down"); };
  LinkController s;
  s.Serve(&conn);
  LineClient a(static_cast<std::uint16_t>(s.MonitorListenPort()));
  LineClient b(static_cast<std::uint16_t>(s.MonitorListenPort()));
  ASSERT_TRUE(Wait([&] { return s.DeviceServer->ConnectionCount() == 2; }));
  EXPECT_EQ(s.events, (Trace{"LOG %Client Connected% 127.0.0.1", "LOG %Client Connected% 127.0.0.1"}));
  s.lines.clear();

  s.p_hw_ProtocolIn(u"#10.0.0.5:0001HardResetXX");
  s.p_hw_relay(u"10.0.0.5", u"0001", u"1", 1);  // fails: an ERROR! line
  s.p_hw_ProtocolIn(u"#10.0.0.5:0002Wait-CardXX");
  EXPECT_FALSE(s.TimerOn());
  ASSERT_EQ(s.lines.size(), 6u);
  EXPECT_EQ(s.lines[0], u"LOG!%Считано с порта% #10.0.0.5:0001HardResetXX&");
  EXPECT_EQ(s.lines[1], u"STATUS!COME!10.0.0.5!0001!T!NOCARDNUMBER!HardReset!HardReset&");
  EXPECT_EQ(s.lines[2], u"ERROR![04] line down&");
  EXPECT_EQ(s.lines[3].substr(0, 27), u"LOG!%Отправлено на порт% $0");

  const std::string wire = Wire(s.lines);
  ASSERT_TRUE(a.WaitBytes(wire.size()));
  ASSERT_TRUE(b.WaitBytes(wire.size()));
  Settle();
  EXPECT_EQ(a.Received(), wire);
  EXPECT_EQ(b.Received(), wire);

  // Two messages a monitor client sends together are one message.
  s.events.clear();
  a.Send("#10.0.0.5:0003HardResetXX#10.0.0.5:0004HardResetXX");
  ASSERT_TRUE(Wait([&] { return !s.events.empty(); }));
  EXPECT_EQ(s.events[0], "LOG %Считано с порта% #10.0.0.5:0003HardResetXX#10.0.0.5:0004HardResetXX");
  // Read as one message, the word of 0003 runs on into the second message.
  EXPECT_EQ(s.DeviceList(), (std::vector<std::u16string>{u"0001", u"0002"}));
}

// A device message given to a client-role controller goes to its server
// unchanged; the server's reports come back as the client's events.
TEST(MonitorLink, ClientForwardsMessagesAndReportsTheServersLines) {
  RecordingConnector conn;
  LinkController s, c;
  s.Serve(&conn);
  c.Monitor(s.MonitorListenPort());
  ASSERT_TRUE(Wait([&] { return c.DeviceClient->Active() && s.DeviceServer->ConnectionCount() == 1; }));

  const std::u16string card = u"$10.0.0.5:0001RQ0012345678XX";
  c.p_hw_ProtocolIn(card);
  EXPECT_EQ(c.StackCount(), 0u);
  EXPECT_FALSE(c.TimerOn());
  const std::string read = "LOG %Считано с порта% " + U8(card);
  const std::string come = "STATUS COME|10.0.0.5|0001|T|0012345678|NEW|NEW";
  ASSERT_TRUE(Wait([&] { return c.Count("STATUS COME") > 0; }));
  ASSERT_GE(c.events.size(), 4u);
  EXPECT_EQ(Trace(c.events.begin(), c.events.begin() + 4),
            (Trace{read, read, "STATUS CHECK|10.0.0.5|0001|T|0012345678|RQ|NEW", come}));
  ASSERT_EQ(s.StackCount(), 1u);
  EXPECT_EQ(s.StackItem(0)->CardNumber, u"0012345678");
  EXPECT_EQ(c.Count("ERR"), 0);
}

// A host handler that fails while a monitor message is handled, in either role:
// the failure is reported once, with its code, and the link goes on.
TEST(MonitorLink, HandlerFailuresOnMonitorMessagesAreReportedWithTheirCode) {
  auto failing_log = [](LinkController& ctl) {
    ctl.OnLog = [&ctl](TObject*, const std::u16string& t) {
      ctl.events.push_back("LOG " + U8(t));
      if (t.find(u"boom") != std::u16string::npos) throw Error(u"log full");
    };
  };
  // Server role: what a monitor client sends is interpreted; the log of it fails.
  RecordingConnector conn;
  LinkController s;
  s.Serve(&conn);
  failing_log(s);
  LineClient a(static_cast<std::uint16_t>(s.MonitorListenPort()));
  ASSERT_TRUE(Wait([&] { return s.DeviceServer->ConnectionCount() == 1; }));
  s.events.clear();
  a.Send("#10.0.0.5:0003boomXX");
  ASSERT_TRUE(Wait([&] { return s.Count("ERR") > 0; }));
  a.Send("#10.0.0.5:0004HardResetXX");
  ASSERT_TRUE(Wait([&] { return s.DeviceList().size() == 1; }));
  Settle();
  EXPECT_EQ(s.Count("ERR"), 1);
  EXPECT_EQ(s.Count("ERR [08] log full"), 1);

  // Client role: a "LOG!" line whose log fails; the lines after it still count.
  MonitorPeer peer;
  LinkController c;
  Attach(c, peer);
  failing_log(c);
  peer.Send("LOG!boom&LOG!after&");
  ASSERT_TRUE(Wait([&] { return c.Count("LOG after") == 1; }));
  Settle();
  EXPECT_EQ(c.events, (Trace{"LOG boom", "ERR [08] log full", "LOG after"}));
}

TEST(MonitorLink, ClientOpensLazilyAndReopensALostConnection) {
  MonitorPeer peer;
  LinkController c;
  c.SetRemoutDevice(PodClient);
  c.SetServer(u"127.0.0.1");
  c.SetPort(peer.Port());
  EXPECT_FALSE(c.DeviceClient->Connecting());  // settings open nothing
  c.SendToMonitor(u"LOG!one&");                // starts the attempt; dropped
  EXPECT_TRUE(c.DeviceClient->Connecting());
  ASSERT_TRUE(Wait([&] { return c.DeviceClient->Active() && peer.server.ConnectionCount() == 1; }));
  c.SendToMonitor(u"LOG!two&");
  ASSERT_TRUE(Wait([&] { return peer.got.size() >= 8; }));
  Settle();
  EXPECT_EQ(peer.got, "LOG!two&");

  peer.Newest()->Close();
  ASSERT_TRUE(Wait([&] { return !c.DeviceClient->Active(); }));
  c.SendToMonitor(u"LOG!three&");  // dropped, reopens
  ASSERT_TRUE(Wait([&] { return c.DeviceClient->Active(); }));
  c.SendToMonitor(u"LOG!four&");
  ASSERT_TRUE(Wait([&] { return peer.got.size() >= 17; }));
  EXPECT_EQ(peer.got, "LOG!two&LOG!four&");
  EXPECT_TRUE(c.events.empty());
}

TEST(MonitorLink, ClientOpenFailuresAreReportedAndNeverThrown) {
  // An empty address: refused at every open.
  LinkController c;
  c.SetRemoutDevice(PodClient);
  c.SetPort(1);
  c.SendToMonitor(u"LOG!a&");
  c.SendToMonitor(u"LOG!b&");
  EXPECT_EQ(c.events, (Trace{"ERR [12] Client Error Code 1110", "ERR [12] Client Error Code 1110"}));
  EXPECT_FALSE(c.DeviceClient->Connecting());
  // Without OnError the open fails with its own message, which nobody hears.
  c.OnError = nullptr;
  EXPECT_NO_THROW(c.SendToMonitor(u"LOG!c&"));
  EXPECT_FALSE(c.Connected());

  // Nothing listening: the attempt ends with the system's refusal, reported once
  // per attempt; the next line tries again.
  int free_port;
  {
    TMonitorServer probe;
    probe.Open();
    free_port = probe.BoundPort();
  }
  LinkController d;
  d.Monitor(free_port);
  const std::string refused = "ERR [12] Client Error Code " + std::to_string(kSockErrConnRefused);
  ASSERT_TRUE(Wait([&] { return !d.events.empty(); }));
  EXPECT_EQ(d.events, (Trace{refused}));
  EXPECT_FALSE(d.DeviceClient->Active());
  d.SendToMonitor(u"LOG!again&");
  ASSERT_TRUE(Wait([&] { return d.events.size() == 2; }));
  EXPECT_EQ(d.events[1], refused);
}

TEST(MonitorLink, ServerOpenFailureIsReportedWithCode06) {
  TMonitorServer taken;
  taken.Open();
  RecordingConnector conn;
  LinkController s;
  s.SetConnector(&conn);
  s.SetPort(taken.BoundPort());
  s.SetRemoutDevice(podServer);
  EXPECT_NO_THROW(s.SendToMonitor(u"LOG!x&"));
  ASSERT_EQ(s.events.size(), 1u);
  EXPECT_EQ(s.events[0].rfind("ERR [06] Windows socket error: ", 0), 0u) << s.events[0];
  EXPECT_NE(s.events[0].find("on API 'bind'"), std::string::npos) << s.events[0];
  EXPECT_FALSE(s.Connected());
  EXPECT_EQ(s.events.size(), 2u);  // every open tries again
}

TEST(MonitorLink, SettingsCloseTheSocketsTheyMakeStale) {
  RecordingConnector conn;
  LinkController s;
  s.Serve(&conn);
  LineClient client(static_cast<std::uint16_t>(s.MonitorListenPort()));
  ASSERT_TRUE(Wait([&] { return s.DeviceServer->ConnectionCount() == 1; }));
  s.SetPort(0);  // closes the server and its connections, silently
  EXPECT_EQ(s.MonitorListenPort(), 0);
  ASSERT_TRUE(client.WaitClosed());
  s.SendToMonitor(u"LOG!x&");  // opens it again
  EXPECT_NE(s.MonitorListenPort(), 0);
  s.SetRemoutDevice(PodClient);
  EXPECT_EQ(s.MonitorListenPort(), 0);
  s.SendToMonitor(u"LOG!y&");  // no server address: refused
  EXPECT_EQ(s.events, (Trace{"LOG %Client Connected% 127.0.0.1", "ERR [12] Client Error Code 1110"}));

  for (int change = 0; change < 3; ++change) {
    MonitorPeer peer;
    LinkController c;
    Attach(c, peer);
    if (change == 0) c.SetServer(u"127.0.0.1");  // even the same value closes
    if (change == 1) c.SetPort(peer.Port());
    if (change == 2) c.SetRemoutDevice(podNone);
    EXPECT_FALSE(c.DeviceClient->Active()) << change;
    ASSERT_TRUE(Wait([&] { return !peer.Newest()->Connected(); })) << change;
    EXPECT_TRUE(c.events.empty());
  }
}

// One of two monitor clients goes away while lines are flowing: its departure
// is logged once, and the other one loses nothing.
TEST(MonitorLink, MonitorClientVanishingMidStream) {
  RecordingConnector conn;
  LinkController s;
  s.Serve(&conn);
  auto gone = std::make_unique<LineClient>(static_cast<std::uint16_t>(s.MonitorListenPort()));
  LineClient stays(static_cast<std::uint16_t>(s.MonitorListenPort()));
  ASSERT_TRUE(Wait([&] { return s.DeviceServer->ConnectionCount() == 2; }));
  s.events.clear();
  std::string wire;
  for (int i = 0; i < 400; ++i) {
    const std::u16string line = u"LOG!line " + IntToStr(i) + u"&";
    s.SendToMonitor(line);
    wire += ToAnsi(line);
    if (i == 100) gone->Reset();
    if (i % 20 == 0) MessageLoop::Current().RunFor(1);
  }
  ASSERT_TRUE(Wait([&] { return s.DeviceServer->ConnectionCount() == 1; }));
  ASSERT_TRUE(stays.WaitBytes(wire.size()));
  EXPECT_EQ(stays.Received(), wire);
  EXPECT_EQ(s.Count("LOG %Client Disconnected% 127.0.0.1"), 1);
  EXPECT_EQ(s.Count("ERR"), s.Count("ERR [12] Client Error Code "));
  EXPECT_EQ(s.events.size(), 1u + s.Count("ERR"));
}

TEST(MonitorLink, DestroyingControllersRaisesNothing) {
  RecordingConnector conn;
  Trace heard;
  auto s = std::make_unique<LinkController>();
  s->Serve(&conn);
  auto c = std::make_unique<LinkController>();
  c->Monitor(s->MonitorListenPort());
  LineClient client(static_cast<std::uint16_t>(s->MonitorListenPort()));
  ASSERT_TRUE(Wait([&] { return c->DeviceClient->Active() && s->DeviceServer->ConnectionCount() == 2; }));
  c->OnLog = [&](TObject*, const std::u16string& t) { heard.push_back(U8(t)); };
  c->OnError = c->OnLog;
  c.reset();
  ASSERT_TRUE(Wait([&] { return s->Count("LOG %Client Disconnected%") == 1; }));
  s->OnLog = [&](TObject*, const std::u16string& t) { heard.push_back(U8(t)); };
  s->OnError = s->OnLog;
  s.reset();
  ASSERT_TRUE(client.WaitClosed());
  Settle();
  EXPECT_TRUE(heard.empty());
}

}  // namespace
}  // namespace axg::test
