// Monitor lines: how a client-role controller reads its server's lines, what
// keeps lines whole on both sides under pressure, and a card road of one
// controller seen, line for line, through a second one.
#include <algorithm>
#include <utility>

#include "UConnector/UConnector.h"
#include "link_harness.h"
#include "transport/TLineServer.h"

namespace axg::test {
namespace {

// Counts the read notifications of a client-role controller.
std::shared_ptr<int> CountReads(LinkController& c) {
  auto reads = std::make_shared<int>(0);
  auto inner = c.DeviceClient->OnRead;
  c.DeviceClient->OnRead = [reads, inner](TObject* s, TMonitorConnection* k) {
    ++*reads;
    inner(s, k);
  };
  return reads;
}

TEST(MonitorLines, EveryLineOfAReadIsHandledInOrderWithTheFieldRules) {
  const std::u16string z1500(1500, u'z');
  struct Case {
    std::u16string line;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {u"LOG!a&", {"LOG a"}},
      {u"ERROR![04] b&", {"LOG [04] b"}},
      {u"STATUS!CHECK!10.0.0.5!0001!T!0012345678!NEW!NEW&",
       {"STATUS CHECK|10.0.0.5|0001|T|0012345678|NEW|NEW"}},
      {u"STATUS!x!y&", {"STATUS x||||||y"}},
      {u"STATUS!a!b!c&", {"STATUS a|b|||||c"}},
      {u"STATUS!only&", {"STATUS ||||||only"}},
      {u"STATUS!&", {"STATUS ||||||"}},
      {u"STATUS!a!b!c!d!e!f!g!h!i&", {"STATUS a|b|c|d|e|f|g!h!i"}},
      // Of the text after "STATUS!" only the first 1000 characters count.
      {u"STATUS!a!b!c!d!e!f!" + z1500 + u"&", {"STATUS a|b|c|d|e|f|" + std::string(988, 'z')}},
      {u"HELLO!x&", {}},
      {u"log!x&", {}},
      {u"&", {}},
      {u"LOG!&", {"LOG "}},
      {u"LOG!%Считано с порта% $1:0001RQ1XX&", {"LOG %Считано с порта% $1:0001RQ1XX"}},
  };
  MonitorPeer peer;
  LinkController c;
  Attach(c, peer);
  std::string wire;
  Trace expected;
  for (const Case& k : cases) {
    wire += ToAnsi(k.line);
    expected.insert(expected.end(), k.events.begin(), k.events.end());
  }
  auto reads = CountReads(c);
  peer.Send(wire);
  ASSERT_TRUE(Wait([&] { return c.events.size() >= expected.size(); }));
  Settle();
  EXPECT_EQ(c.events, expected);
  EXPECT_EQ(*reads, 1) << "the lines were meant to come in one read";
  EXPECT_TRUE(c.lines.empty()) << "nothing of it goes back to the server";
}

// Many lines in one read are handled a turn's worth at a time (each becomes an
// event for the host), the rest in the next turns, all in order.
TEST(MonitorLines, ManyLinesOfOneReadAreHandledATurnsWorthAtATime) {
  MonitorPeer peer;
  LinkController c;
  Attach(c, peer);
  auto reads = CountReads(c);
  std::string wire;
  Trace expected;
  for (int i = 0; i < 200; ++i) {
    wire += "LOG!" + std::to_string(i) + "&";
    expected.push_back("LOG " + std::to_string(i));
  }
  peer.Send(wire);
  ASSERT_TRUE(Wait([&] { return *reads >= 1; }));
  EXPECT_EQ(c.events.size(), 64u) << "the first turn handles one turn's worth";
  ASSERT_TRUE(Wait([&] { return c.events.size() >= expected.size(); }));
  Settle();
  EXPECT_EQ(c.events, expected);
}

// Each line once, however the reads cut the stream.
TEST(MonitorLines, ALineSplitOverTwoReadsIsHandledOnceWhenItIsWhole) {
  MonitorPeer peer;
  LinkController c;
  Attach(c, peer);
  auto reads = CountReads(c);
  peer.Send("LOG!first&LOG!sec");
  ASSERT_TRUE(Wait([&] { return *reads == 1; }));
  EXPECT_EQ(c.events, (Trace{"LOG first"}));
  peer.Send("ond&STATUS!a!b");
  ASSERT_TRUE(Wait([&] { return *reads == 2; }));
  EXPECT_EQ(c.events, (Trace{"LOG first", "LOG second"}));
  peer.Send("!c&");
  ASSERT_TRUE(Wait([&] { return *reads == 3; }));
  EXPECT_EQ(c.events, (Trace{"LOG first", "LOG second", "STATUS a|b|||||c"}));
}

TEST(MonitorLines, AnOverlongLineIsDroppedWholeWithAReport) {
  const std::size_t max = TTurnStylerDeviceQ7::kMaxMonitorLine;
  const std::string dropped = "ERR [02] Monitor line longer than 65536 characters dropped";
  MonitorPeer peer;
  LinkController c;
  Attach(c, peer);

  // The longest line passes, in pieces.
  const std::string longest = "LOG!" + std::string(max - 4, 'x');
  auto reads = CountReads(c);
  for (std::size_t at = 0; at < longest.size(); at += 20000) {
    peer.Send(longest.substr(at, 20000));
    ASSERT_TRUE(Wait([&, n = *reads] { return *reads > n; }));
  }
  peer.Send("&");
  ASSERT_TRUE(Wait([&] { return c.events.size() == 1; }));
  EXPECT_EQ(c.events[0], "LOG " + std::string(max - 4, 'x'));

  // One character more, whole in one write or cut by reads: dropped, and the rest
  // of it up to its "&" with it; the next line is read as usual.
  c.events.clear();
  peer.Send("LOG!" + std::string(max - 3, 'y') + "&LOG!next&");
  peer.Send("LOG!" + std::string(max, 'y'));
  ASSERT_TRUE(Wait([&] { return c.events.size() == 3; }));
  peer.Send("LOG!still the dropped line&LOG!after&");
  ASSERT_TRUE(Wait([&] { return c.events.size() == 4; }));
  Settle();
  EXPECT_EQ(c.events, (Trace{dropped, "LOG next", dropped, "LOG after"}));
}

// A line left unfinished by a lost connection is not glued to the next one;
// its whole lines are still handled, even those that waited with the socket
// while a turn's worth was queued and the connection was opened again meanwhile.
TEST(MonitorLines, ANewConnectionStartsWithoutTheOldTail) {
  MonitorPeer peer;
  LinkController c;
  Attach(c, peer);
  auto reads = CountReads(c);
  peer.Send("LOG!par");
  ASSERT_TRUE(Wait([&] { return *reads == 1; }));
  peer.Newest()->Close();
  ASSERT_TRUE(Wait([&] { return !c.DeviceClient->Active(); }));
  c.SendToMonitor(u"LOG!x&");  // reopens
  ASSERT_TRUE(Wait([&] {
    return c.DeviceClient->Active() && peer.server.ConnectionCount() == 1 && peer.Newest()->Connected();
  }));
  peer.Send("tial&LOG!y&");
  ASSERT_TRUE(Wait([&] { return !c.events.empty(); }));
  Settle();
  EXPECT_EQ(c.events, (Trace{"LOG y"}));

  c.events.clear();
  Trace expected;
  std::string wire;
  for (int i = 0; i < 200; ++i) {
    wire += "LOG!" + std::to_string(i) + "&";
    expected.push_back("LOG " + std::to_string(i));
  }
  expected.push_back("LOG kept");
  bool reopened = false;
  auto log = c.OnLog;
  c.OnLog = [&](TObject* s, const std::u16string& t) {
    log(s, t);
    if (!c.DeviceClient->Active() && !std::exchange(reopened, true)) c.SendToMonitor(u"LOG!z&");
  };
  const int before = *reads;
  peer.Send(wire);
  ASSERT_TRUE(Wait([&] { return *reads > before; }));
  peer.Send("LOG!kept&LOG!unfini");
  peer.Newest()->Close();
  ASSERT_TRUE(Wait([&] { return c.events.size() >= expected.size(); }));
  Settle();
  EXPECT_TRUE(reopened);
  EXPECT_EQ(c.events, expected);
}

// A monitor client that stops reading: once its queue passes the bound its
// connection is closed and reported; it got a clean prefix of the stream, and
// the other client every line, whole and in order.
TEST(MonitorLines, ASlowMonitorClientIsCutOffWithoutGarblingAnyStream) {
  RecordingConnector conn;
  LinkController s;
  s.DeviceServer->MaxSendQueue = 64 * 1024;
  s.Serve(&conn);
  LineClient slow(static_cast<std::uint16_t>(s.MonitorListenPort()));
  LineClient fast(static_cast<std::uint16_t>(s.MonitorListenPort()));
  ASSERT_TRUE(Wait([&] { return s.DeviceServer->ConnectionCount() == 2; }));
  slow.PauseReading(true);
  s.events.clear();

  std::string wire;
  const std::u16string body(480, u'ж');
  int i = 0;
  for (; s.Count("ERR [07]") == 0 && wire.size() < (64u << 20); ++i) {
    const std::u16string line = u"LOG!" + IntToStr(i) + u" " + body + u"&";
    s.SendToMonitor(line);
    wire += ToAnsi(line);
    if (i % 16 == 0) MessageLoop::Current().RunPending();
  }
  ASSERT_EQ(s.Count("ERR [07]"), 1) << "the slow client was never cut off";
  for (int k = 0; k < 50; ++k, ++i) {
    const std::u16string line = u"LOG!" + IntToStr(i) + u" after&";
    s.SendToMonitor(line);
    wire += ToAnsi(line);
  }
  // One failure, one report, then the disconnect notice: no socket error code.
  EXPECT_EQ(s.events, (Trace{"ERR [07] Connection to 127.0.0.1 closed: more than 65536 bytes waiting to be sent",
                             "LOG %Client Disconnected% 127.0.0.1"}));
  ASSERT_TRUE(fast.WaitBytes(wire.size())) << fast.Received().size() << " of " << wire.size();
  EXPECT_TRUE(fast.Received() == wire) << "the reading client's stream differs from what was sent";

  slow.PauseReading(false);
  ASSERT_TRUE(slow.WaitClosed());
  EXPECT_LT(slow.Received().size(), wire.size());
  EXPECT_TRUE(wire.compare(0, slow.Received().size(), slow.Received()) == 0)
      << "the slow client's stream has a hole";
  EXPECT_EQ(s.DeviceServer->ConnectionCount(), 1);
}

// The same from the client role: the connection to a server that stops reading
// is closed and reported, and the next line opens a fresh one.
TEST(MonitorLines, AClientWhoseServerStopsReadingReconnects) {
  MonitorPeer peer;
  peer.reading = false;
  LinkController c;
  c.DeviceClient->MaxSendQueue = 64 * 1024;
  Attach(c, peer);
  const std::u16string line = u"LOG!" + std::u16string(1000, u'q') + u"&";
  for (int i = 0; c.Count("ERR [01]") == 0 && i < 100000; ++i) c.SendToMonitor(line);
  EXPECT_EQ(c.events, (Trace{"ERR [01] Connection to 127.0.0.1 closed: more than 65536 bytes waiting to be sent"}));
  EXPECT_FALSE(c.DeviceClient->Active());
  ASSERT_TRUE(Wait([&] { return peer.server.ConnectionCount() == 0; }));
  peer.reading = true;
  c.SendToMonitor(u"LOG!lost&");
  ASSERT_TRUE(Wait([&] { return c.DeviceClient->Active() && peer.server.ConnectionCount() == 1; }));
  c.SendToMonitor(u"LOG!fresh&");
  ASSERT_TRUE(Wait([&] { return peer.got.size() >= 10; }));
  EXPECT_EQ(peer.got, "LOG!fresh&");
}

// The road of a card through a controller in the server role, with the real
// connector and line server, is the event list of its monitor client.
TEST(MonitorLines, ACardRoadOfTheServerIsTheEventListOfItsMonitorClient) {
  FakeClock clock{0.5};
  ScopedClock scoped{clock};
  TDeviceConnector connector;
  LinkController s;
  LinkController c;
  TLineServer server;
  server.Proto = u"tcp";
  server.Port = u"0";
  server.Addr = u"127.0.0.1";
  connector.SetWSocketServer(&server);
  connector.SetConnectorType(podNet);
  s.OnCheckSQL = [](TObject*, const TVar&, const TVar&, const TVar&, const TVar&, const TVar&,
                    TPicture*, const TVar& kind, TVar&, TVar& r) {
    if (kind.ToInt() == 1 || kind.ToInt() == 2) r = TVar(1);
  };
  s.Serve(&connector);
  c.Monitor(s.MonitorListenPort());
  ASSERT_TRUE(Wait([&] { return c.DeviceClient->Active() && s.DeviceServer->ConnectionCount() == 1; }));
  s.events.clear();

  LineClient device(server.BoundPort());
  ASSERT_TRUE(device.WaitFor(U8(server.Banner) + "\r\n"));
  auto status = [&] { return s.StackCount() == 1 ? s.StackItem(0)->Status : u"none"; };
  device.Send("$0001RQ0012345678A5\r\n");
  ASSERT_TRUE(Wait([&] { return status() == u"WAIT"; }));
  s.p_hw_manual(u"127.0.0.1", u"0001", u"TRUE");
  ASSERT_TRUE(Wait([&] { return status() == u"OPEN"; }));
  device.Send("#0001GO\r\n");
  ASSERT_TRUE(Wait([&] { return s.StackCount() == 0 && !s.TimerOn(); }));

  ASSERT_TRUE(Wait([&] { return c.events.size() >= s.events.size(); }));
  Settle();
  EXPECT_EQ(c.events, s.events);
  const std::string card = "127.0.0.1|0001|T|0012345678|";
  const Trace steps = {"LOG %Считано с порта% $127.0.0.1:0001RQ0012345678A5",
                       "STATUS CHECK|" + card + "RQ|NEW",
                       "STATUS COME|" + card + "NEW|NEW",
                       "STATUS STACK|" + card + "WAIT|WAIT",
                       "LOG %Отправлено на порт% GO127.0.0.1:0001",
                       "STATUS STACK|" + card + "OPEN|OPEN",
                       "STATUS COME|" + card + "FINISH|FINISH"};
  for (const std::string& step : steps)
    EXPECT_NE(std::find(c.events.begin(), c.events.end(), step), c.events.end()) << step;
  EXPECT_EQ(s.Count("ERR"), 0);
  EXPECT_EQ(c.StackCount(), 0u);
}

}  // namespace
}  // namespace axg::test
