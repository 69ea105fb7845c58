#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/text.h"
#include "transport/TMonitorSocket.h"

namespace axg {
namespace {

constexpr unsigned kWaitMs = 5000;

struct ErrorSeen {
  TObject* sender;
  TMonitorConnection* conn;
  TErrorEvent kind;
  int code;
};

// Records every notification of a server as one line of text, in order.
struct ServerProbe {
  TMonitorServer server;
  std::vector<std::string> log;
  std::vector<ErrorSeen> errors;
  std::vector<std::u16string> bg;
  std::string received;
  int set_code_to = 0;  // what the error handler leaves in the code (-1: leave it)

  ServerProbe() {
    server.OnClientConnect = [this](TObject* s, TMonitorConnection* c) {
      EXPECT_EQ(s, &server);
      log.push_back("connect " + ToUtf8(c->RemoteAddress()));
    };
    server.OnClientDisconnect = [this](TObject*, TMonitorConnection* c) {
      log.push_back("disconnect " + ToUtf8(c->RemoteAddress()) + " of " + std::to_string(server.ConnectionCount()));
    };
    server.OnClientRead = [this](TObject*, TMonitorConnection* c) {
      log.push_back("read");
      received += c->ReceiveText();
    };
    server.OnClientError = [this](TObject* s, TMonitorConnection* c, TErrorEvent k, int& code) {
      errors.push_back({s, c, k, code});
      log.push_back("error " + std::to_string(code));
      if (set_code_to >= 0) code = set_code_to;
    };
    server.OnBgError = [this](const std::u16string& m) { bg.push_back(m); };
  }
  int Open() {
    server.Open();
    return server.BoundPort();
  }
};

struct ClientProbe {
  TMonitorClient client;
  std::vector<ErrorSeen> errors;
  std::vector<std::u16string> bg;
  std::string received;
  int reads = 0;
  int set_code_to = 0;

  ClientProbe() {
    client.OnRead = [this](TObject* s, TMonitorConnection* c) {
      EXPECT_EQ(s, &client);
      EXPECT_EQ(c, client.Connection());
      ++reads;
      received += c->ReceiveText();
    };
    client.OnError = [this](TObject* s, TMonitorConnection* c, TErrorEvent k, int& code) {
      errors.push_back({s, c, k, code});
      if (set_code_to >= 0) code = set_code_to;
    };
    client.OnBgError = [this](const std::u16string& m) { bg.push_back(m); };
  }
  void Connect(int port) {
    client.SetAddress(u"127.0.0.1");
    client.SetPort(port);
    client.Open();
  }
};

// A plain socket at the far end of a server connection; it reads only once told to.
struct RawPeer {
  MessageLoop& loop = MessageLoop::Current();
  SocketHandle s;
  std::string got;
  bool eof = false;
  int error = 0;

  explicit RawPeer(int port) : s(SocketConnect("127.0.0.1", static_cast<std::uint16_t>(port))) {}
  ~RawPeer() {
    loop.UnwatchSocket(s);
    SocketClose(s);
  }
  void StartReading() {
    loop.WatchSocket(s, kSockRead, [this](unsigned, int) { Drain(); });
  }
  void Drain() {
    char buf[65536];
    for (;;) {
      std::ptrdiff_t n;
      try {
        n = SocketRecv(s, buf, sizeof buf);
      } catch (const SocketError& e) {
        error = e.Code();
        loop.UnwatchSocket(s);
        return;
      }
      if (n > 0) {
        got.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) {
        eof = true;
        loop.UnwatchSocket(s);
      }
      return;
    }
  }
};

class MonitorSocket : public ::testing::Test {
 protected:
  bool Wait(const std::function<bool()>& done, unsigned ms = kWaitMs) { return loop.RunUntil(done, ms); }
  // Runs the loop until it has nothing more to deliver at once.
  void Settle() {
    for (int i = 0; i < 1000 && loop.RunPending(); ++i) {
    }
  }
  // A port nobody listens on: one the system handed out and that was let go again.
  int FreePort() {
    TMonitorServer probe;
    probe.Open();
    int port = probe.BoundPort();
    probe.Close();
    return port;
  }
  MessageLoop& loop = MessageLoop::Current();
};

// Numbered lines of varying length, so that a lost, doubled or reordered byte shows.
std::string Line(int i) {
  std::string body = "STATUS!STACK!127.0.0.1!" + std::to_string(i) + "!";
  body.append(static_cast<std::size_t>(500 + (i * 37) % 700), static_cast<char>('a' + i % 26));
  return body + "&";
}

TEST_F(MonitorSocket, ClientTowardAClosedPortStaysInactiveWithOneRefusal) {
  struct Case {
    int set_code_to;
    std::size_t bg_reports;
  };
  for (Case c : {Case{0, 0}, Case{-1, 1}}) {
    ClientProbe p;
    p.set_code_to = c.set_code_to;
    p.Connect(FreePort());
    ASSERT_TRUE(Wait([&] { return !p.errors.empty(); }));
    Settle();
    ASSERT_EQ(p.errors.size(), 1u);
    EXPECT_EQ(p.errors[0].sender, &p.client);
    EXPECT_EQ(p.errors[0].kind, eeConnect);
    EXPECT_EQ(p.errors[0].code, kSockErrConnRefused);
    EXPECT_FALSE(p.client.Active());
    EXPECT_FALSE(p.client.Connecting());
    ASSERT_EQ(p.bg.size(), c.bg_reports);
    if (c.bg_reports) {
      EXPECT_EQ(p.bg[0], u"Asynchronous socket error " + IntToStr(kSockErrConnRefused));
    }
    p.client.Close();  // inactive: nothing happens
    EXPECT_EQ(p.errors.size(), 1u);
  }
}

TEST_F(MonitorSocket, EmptyAddressIsALookupErrorWithCode1110) {
  {
    ClientProbe p;
    p.client.SetPort(FreePort());
    EXPECT_NO_THROW(p.client.Open());
    ASSERT_EQ(p.errors.size(), 1u);
    EXPECT_EQ(p.errors[0].kind, eeLookup);
    EXPECT_EQ(p.errors[0].code, kErrNoAddress);
    EXPECT_EQ(p.errors[0].conn, p.client.Connection());
    EXPECT_FALSE(p.client.Active());
    EXPECT_FALSE(p.client.Connecting());
  }
  for (bool with_handler : {true, false}) {
    ClientProbe p;
    p.set_code_to = -1;
    if (!with_handler) p.client.OnError = nullptr;
    try {
      p.client.Open();
      ADD_FAILURE() << "open with an empty address succeeded";
    } catch (const Error& e) {
      EXPECT_EQ(e.Message(), u"No address specified");
    }
    EXPECT_EQ(p.errors.size(), with_handler ? 1u : 0u);
    EXPECT_FALSE(p.client.Active());
    EXPECT_TRUE(p.bg.empty());
  }
}

TEST_F(MonitorSocket, AddressThatIsNotDottedIsALookupError) {
  for (const char16_t* address : {u"localhost", u"127.0.0", u"127.0.0.256", u"127.0.0.01"}) {
    ClientProbe handled;
    handled.client.SetAddress(address);
    handled.client.SetPort(FreePort());
    EXPECT_NO_THROW(handled.client.Open());
    ASSERT_EQ(handled.errors.size(), 1u) << ToUtf8(address);
    EXPECT_EQ(handled.errors[0].kind, eeLookup);
    EXPECT_NE(handled.errors[0].code, 0);
    EXPECT_FALSE(handled.client.Connecting());

    ClientProbe unhandled;
    unhandled.set_code_to = -1;
    unhandled.client.SetAddress(address);
    unhandled.client.SetPort(1);
    EXPECT_THROW(unhandled.client.Open(), SocketError) << ToUtf8(address);
  }
}

TEST_F(MonitorSocket, SettingsAreRefusedWhileActiveAndTakenAfterClose) {
  const std::u16string refused = u"Can't change value while socket is active";
  ServerProbe s;
  int port = s.Open();
  ASSERT_TRUE(s.server.Active());
  ASSERT_NE(port, 0);
  s.server.SetPort(0);  // unchanged: nothing happens
  try {
    s.server.SetPort(port + 1);
    ADD_FAILURE() << "port changed while active";
  } catch (const Error& e) {
    EXPECT_EQ(e.Message(), refused);
  }

  ClientProbe c;
  c.Connect(port);
  ASSERT_TRUE(Wait([&] { return c.client.Active() && s.server.ConnectionCount() == 1; }));
  c.client.SetPort(port);
  c.client.SetAddress(u"127.0.0.1");
  EXPECT_THROW(c.client.SetPort(port + 1), Error);
  try {
    c.client.SetAddress(u"127.0.0.2");
    ADD_FAILURE() << "address changed while active";
  } catch (const Error& e) {
    EXPECT_EQ(e.Message(), refused);
  }
  EXPECT_EQ(c.client.Port(), port);
  EXPECT_EQ(c.client.Address(), u"127.0.0.1");

  c.client.Close();
  s.server.Close();
  EXPECT_FALSE(c.client.Active());
  EXPECT_FALSE(s.server.Active());
  EXPECT_EQ(s.server.BoundPort(), 0);
  s.server.SetPort(port + 1);
  c.client.SetPort(port + 1);
  c.client.SetAddress(u"127.0.0.2");
  EXPECT_EQ(s.server.Port(), port + 1);
  EXPECT_EQ(c.client.Port(), port + 1);
  EXPECT_EQ(c.client.Address(), u"127.0.0.2");
}

TEST_F(MonitorSocket, ServerOpenFailsAtOnceWhenThePortIsTaken) {
  ServerProbe first;
  int port = first.Open();
  ServerProbe second;
  second.server.SetPort(port);
  try {
    second.server.Open();
    ADD_FAILURE() << "two servers on one port";
  } catch (const SocketError& e) {
    EXPECT_EQ(e.Code(), kSockErrAddrInUse);
    EXPECT_EQ(e.Api(), "bind");
    EXPECT_EQ(ToUtf8(e.Message()).rfind("Windows socket error: ", 0), 0u) << e.what();
  }
  EXPECT_FALSE(second.server.Active());
  first.server.Open();  // already active: nothing happens
  EXPECT_EQ(first.server.BoundPort(), port);
}

TEST_F(MonitorSocket, LinesGlueTogetherAndSplitAndTheReaderAccumulates) {
  ServerProbe s;
  ClientProbe c;
  c.Connect(s.Open());
  ASSERT_TRUE(Wait([&] { return c.client.Active() && s.server.ConnectionCount() == 1; }));
  TMonitorConnection* conn = s.server.Connection(0);

  // Two lines sent before the loop runs arrive in one read.
  conn->SendText("LOG!one&");
  conn->SendText("ERROR![04] two&");
  const std::string both = "LOG!one&ERROR![04] two&";
  ASSERT_TRUE(Wait([&] { return c.received.size() >= both.size(); }));
  EXPECT_EQ(c.received, both);
  EXPECT_EQ(c.reads, 1);

  // One line split over two sends arrives in two reads and is whole once joined.
  c.received.clear();
  conn->SendText("STATUS!CHECK!1.2.3.4");
  ASSERT_TRUE(Wait([&] { return c.reads == 2; }));
  EXPECT_EQ(c.received, "STATUS!CHECK!1.2.3.4");
  conn->SendText("!0001!T!123!NEW!NEW&");
  ASSERT_TRUE(Wait([&] { return c.reads == 3; }));
  EXPECT_EQ(c.received, "STATUS!CHECK!1.2.3.4!0001!T!123!NEW!NEW&");

  // The other way, with bytes of the 8-bit code page.
  c.client.Connection()->SendText(ToAnsi(u"$1.2.3.4:0001RQ\u0416"));
  ASSERT_TRUE(Wait([&] { return !s.received.empty(); }));
  EXPECT_EQ(FromAnsi(s.received), u"$1.2.3.4:0001RQ\u0416");
  EXPECT_TRUE(c.errors.empty());
  EXPECT_TRUE(s.errors.empty());
}

TEST_F(MonitorSocket, ClientReadsInactiveAfterTheServerGoes) {
  ServerProbe s;
  ClientProbe c;
  c.Connect(s.Open());
  EXPECT_FALSE(c.client.Active());  // the attempt is only started
  EXPECT_TRUE(c.client.Connecting());
  ASSERT_TRUE(Wait([&] { return c.client.Active() && s.server.ConnectionCount() == 1; }));
  EXPECT_EQ(c.client.Connection()->RemoteAddress(), u"127.0.0.1");
  s.server.Connection(0)->SendText("LOG!last&");
  s.server.Close();  // discards the connection without a disconnect notification
  EXPECT_EQ(s.server.ConnectionCount(), 0);
  ASSERT_TRUE(Wait([&] { return !c.client.Active(); }));
  EXPECT_EQ(c.received, "LOG!last&");
  EXPECT_EQ(c.client.Connection()->RemoteAddress(), u"");
  EXPECT_TRUE(c.errors.empty());
  EXPECT_EQ(s.log, (std::vector<std::string>{"connect 127.0.0.1"}));
  c.client.Connection()->SendText("LOG!nobody&");  // not connected: nothing happens

  // The client opens again once the server is back.
  s.server.Open();
  c.client.SetPort(s.server.BoundPort());
  c.client.Open();
  ASSERT_TRUE(Wait([&] { return c.client.Active(); }));
}

TEST_F(MonitorSocket, ServerCloseDiscardsConnectionsWithoutNotifications) {
  ServerProbe s;
  int port = s.Open();
  ClientProbe a, b;
  a.Connect(port);
  b.Connect(port);
  ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 2 && a.client.Active() && b.client.Active(); }));
  s.server.Close();
  EXPECT_FALSE(s.server.Active());
  EXPECT_EQ(s.server.ConnectionCount(), 0);
  ASSERT_TRUE(Wait([&] { return !a.client.Active() && !b.client.Active(); }));
  Settle();
  EXPECT_EQ(s.log, (std::vector<std::string>{"connect 127.0.0.1", "connect 127.0.0.1"}));
  EXPECT_TRUE(s.errors.empty());
  s.server.Close();  // inactive: nothing happens
}

TEST_F(MonitorSocket, ClosedConnectionsLeaveTheListInALaterTurn) {
  ServerProbe s;
  int port = s.Open();
  ClientProbe a, b, c;
  int n = 0;
  for (ClientProbe* p : {&a, &b, &c}) {  // one by one, so the list order is a, b, c
    p->Connect(port);
    ++n;
    ASSERT_TRUE(Wait([&] { return p->client.Active() && s.server.ConnectionCount() == n; }));
  }
  ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 3; }));

  // Closed by the peer: the notification comes while the connection is still
  // listed and still knows its address; it leaves the list afterwards.
  TMonitorConnection* second = s.server.Connection(1);
  TMonitorConnection* seen = nullptr;
  s.server.OnClientDisconnect = [&](TObject*, TMonitorConnection* conn) {
    seen = conn;
    s.log.push_back("disconnect " + ToUtf8(conn->RemoteAddress()) + " of " + std::to_string(s.server.ConnectionCount()));
    EXPECT_FALSE(conn->Connected());
    conn->SendText("LOG!too late&");  // closing: nothing happens
  };
  b.client.Close();
  ASSERT_TRUE(Wait([&] { return seen != nullptr; }));
  EXPECT_EQ(seen, second);
  ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 2; }));
  EXPECT_EQ(s.log.back(), "disconnect 127.0.0.1 of 3");

  // Closed locally: the notification is raised inside Close, the entry stays for
  // the rest of the call and the connection reads closed.
  TMonitorConnection* first = s.server.Connection(0);
  TMonitorConnection* third = s.server.Connection(1);
  s.log.clear();
  first->Close();
  EXPECT_EQ(s.log, (std::vector<std::string>{"disconnect 127.0.0.1 of 2"}));
  EXPECT_EQ(s.server.ConnectionCount(), 2);
  EXPECT_EQ(s.server.Connection(0), first);
  EXPECT_FALSE(first->Connected());
  EXPECT_EQ(first->RemoteAddress(), u"");
  first->Close();  // already closed: no second notification
  EXPECT_EQ(s.log.size(), 1u);
  ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 1; }));
  EXPECT_EQ(s.server.Connection(0), third);
  ASSERT_TRUE(Wait([&] { return !a.client.Active(); }));
  EXPECT_TRUE(c.client.Active());
  EXPECT_THROW(s.server.Connection(1), Error);
}

TEST_F(MonitorSocket, APeerThatResetsIsReportedAndRemoved) {
  ServerProbe s;
  auto peer = std::make_unique<RawPeer>(s.Open());
  ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 1; }));
  SocketAbort(peer->s);
  peer->s = kInvalidSocket;
  ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 0; }));
  ASSERT_EQ(s.errors.size(), 1u);
  EXPECT_EQ(s.errors[0].kind, eeDisconnect);
  EXPECT_EQ(s.errors[0].code, kSockErrConnReset);
  EXPECT_EQ(s.log, (std::vector<std::string>{"connect 127.0.0.1", "error " + std::to_string(kSockErrConnReset),
                                             "disconnect 127.0.0.1 of 1"}));
  EXPECT_TRUE(s.bg.empty());
}

// A reader that does not keep up holds the peer back instead of buffering without end.
TEST_F(MonitorSocket, UnreadBytesAreBoundedAndNoneIsLost) {
  ServerProbe s;
  s.server.OnClientRead = nullptr;
  ClientProbe c;
  c.client.MaxSendQueue = 16u << 20;
  c.Connect(s.Open());
  ASSERT_TRUE(Wait([&] { return c.client.Active() && s.server.ConnectionCount() == 1; }));
  std::string sent;
  for (int i = 0; sent.size() < 3 * TMonitorConnection::kMaxUnread; ++i) sent += Line(i);
  c.client.Connection()->SendText(sent);
  Settle();
  TMonitorConnection* conn = s.server.Connection(0);
  std::string got = conn->ReceiveText();
  EXPECT_GE(got.size(), TMonitorConnection::kMaxUnread);
  EXPECT_LT(got.size(), TMonitorConnection::kMaxUnread + 65536);
  ASSERT_TRUE(Wait([&] {
    got += conn->ReceiveText();
    return got.size() >= sent.size();
  }));
  EXPECT_TRUE(got == sent) << "the stream differs from what was sent";
}

TEST_F(MonitorSocket, AHandlerMayCloseItsOwnConnectionOrTheServer) {
  ServerProbe s;
  int port = s.Open();
  ClientProbe a, b;
  a.Connect(port);
  b.Connect(port);
  ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 2 && a.client.Active() && b.client.Active(); }));
  s.server.OnClientRead = [&](TObject*, TMonitorConnection* conn) {
    std::string text = conn->ReceiveText();
    if (text == "bye&") conn->Close();
    if (text == "stop&") s.server.Close();
    s.log.push_back("read " + text + " " + ToUtf8(conn->RemoteAddress()));
  };
  a.client.Connection()->SendText("bye&");
  ASSERT_TRUE(Wait([&] { return !a.client.Active(); }));
  ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 1; }));
  b.client.Connection()->SendText("stop&");
  ASSERT_TRUE(Wait([&] { return !b.client.Active(); }));
  EXPECT_FALSE(s.server.Active());
  EXPECT_EQ(s.log, (std::vector<std::string>{"connect 127.0.0.1", "connect 127.0.0.1",
                                             "disconnect 127.0.0.1 of 2", "read bye& ", "read stop& "}));
}

TEST_F(MonitorSocket, HandlerFailuresGoToTheBackgroundErrorPath) {
  ServerProbe s;
  ClientProbe c;
  c.Connect(s.Open());
  ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 1 && c.client.Active(); }));
  s.server.OnClientRead = [](TObject*, TMonitorConnection*) { throw Error(u"handler failed"); };
  c.client.Connection()->SendText("x&");
  ASSERT_TRUE(Wait([&] { return !s.bg.empty(); }));
  EXPECT_EQ(s.bg[0], u"handler failed");
  EXPECT_TRUE(s.server.Connection(0)->Connected());
}

// A second open while the attempt is pending changes nothing; a changed setting
// abandons the attempt, so it cannot complete toward the old server.
TEST_F(MonitorSocket, PendingAttempt) {
  ServerProbe s;
  ClientProbe c;
  c.Connect(s.Open());
  c.client.Open();
  ASSERT_TRUE(Wait([&] { return c.client.Active() && s.server.ConnectionCount() == 1; }));
  Settle();
  EXPECT_EQ(s.log, (std::vector<std::string>{"connect 127.0.0.1"}));

  c.client.Close();
  c.client.Open();
  ASSERT_TRUE(c.client.Connecting());
  c.client.SetPort(FreePort());
  EXPECT_FALSE(c.client.Connecting());
  Settle();
  EXPECT_FALSE(c.client.Active());
  EXPECT_TRUE(c.errors.empty());
}

// A peer that stops reading: every byte reaches it, in order, once it reads again.
TEST_F(MonitorSocket, SlowReaderGetsEveryByteInOrder) {
  ServerProbe s;
  RawPeer peer(s.Open());
  ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 1; }));
  TMonitorConnection* conn = s.server.Connection(0);

  std::string sent;
  int i = 0;
  // Fill the system's buffers until the connection has to queue...
  while (conn->QueuedBytes() == 0 && sent.size() < (64u << 20)) {
    std::string line = Line(i++);
    conn->SendText(line);
    sent += line;
  }
  ASSERT_GT(conn->QueuedBytes(), 0u);
  // ...then queue up to just below the bound.
  for (;;) {
    std::string line = Line(i++);
    if (conn->QueuedBytes() + line.size() > s.server.MaxSendQueue) break;
    conn->SendText(line);
    sent += line;
  }
  EXPECT_GT(conn->QueuedBytes(), s.server.MaxSendQueue - 2000);
  peer.StartReading();
  ASSERT_TRUE(Wait([&] { return peer.got.size() >= sent.size(); }, 20000)) << peer.got.size() << " of " << sent.size();
  EXPECT_TRUE(peer.got == sent) << "the stream differs from what was sent";
  EXPECT_EQ(conn->QueuedBytes(), 0u);
  EXPECT_TRUE(conn->Connected());
  EXPECT_TRUE(s.errors.empty());

  // Once drained, a line goes out at once again.
  conn->SendText("LOG!after&");
  ASSERT_TRUE(Wait([&] { return peer.got.size() == sent.size() + 10; }));
  EXPECT_EQ(peer.got.substr(sent.size()), "LOG!after&");
}

// Past the bound the send fails and the connection is reset instead of losing a
// part. That failure is the one report: no error notification (no system call
// failed), and the disconnect notice comes only when the caller closes the
// connection after reporting, or in the next loop turn if it does not.
TEST_F(MonitorSocket, SendQueueOverflowFailsTheSendAndResetsTheConnection) {
  for (bool caller_closes : {true, false}) {
    SCOPED_TRACE(caller_closes ? "caller closes" : "nobody closes");
    ServerProbe s;
    s.server.MaxSendQueue = 64 * 1024;
    RawPeer peer(s.Open());
    RawPeer other(s.server.BoundPort());
    ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 2; }));
    std::shared_ptr<TMonitorConnection> conn = s.server.Connection(0)->shared_from_this();

    std::string sent;
    bool failed = false;
    for (int i = 0; !failed && sent.size() < (64u << 20); ++i) {
      std::string line = Line(i);
      try {
        conn->SendText(line);
        sent += line;
      } catch (const Error& e) {
        failed = true;
        EXPECT_NE(ToUtf8(e.Message()).find("closed"), std::string::npos) << e.what();
      }
    }
    ASSERT_TRUE(failed);
    EXPECT_TRUE(s.errors.empty()) << "error notification with code " << s.errors[0].code;
    EXPECT_EQ(s.log.size(), 2u) << "no disconnect notice before the caller's report";
    EXPECT_NO_THROW(conn->SendText("LOG!x&"));  // taken no more, and no second failure
    if (caller_closes) {
      conn->Close();
      ASSERT_EQ(s.log.size(), 3u);
    } else {
      ASSERT_TRUE(Wait([&] { return s.log.size() == 3u; }));
    }
    EXPECT_EQ(s.log.back(), "disconnect 127.0.0.1 of 2");
    EXPECT_FALSE(conn->Connected());
    EXPECT_EQ(conn->QueuedBytes(), 0u);
    EXPECT_TRUE(s.errors.empty());
    EXPECT_TRUE(s.bg.empty());  // the failed call is the report

    // The peer is cut off, never handed a stream with a hole in it: what it got
    // is an unbroken prefix of what was sent.
    peer.StartReading();
    ASSERT_TRUE(Wait([&] { return peer.eof || peer.error != 0; }, 20000));
    EXPECT_LE(peer.got.size(), sent.size());
    EXPECT_TRUE(sent.compare(0, peer.got.size(), peer.got) == 0);

    // The other connection is untouched.
    ASSERT_TRUE(Wait([&] { return s.server.ConnectionCount() == 1; }));
    s.server.Connection(0)->SendText("LOG!fine&");
    other.StartReading();
    ASSERT_TRUE(Wait([&] { return other.got == "LOG!fine&"; }));
  }
}

}  // namespace
}  // namespace axg
