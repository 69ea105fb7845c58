#include "transport/TLineServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/text.h"
#include "transport/line_client.h"

namespace axg {
namespace {

using test::kWaitMs;
using test::LineClient;

class LineServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Proto = u"tcp";
    server.Port = u"0";
    server.Addr = u"127.0.0.1";
    server.OnClientConnect = [this](TObject* sender, TLineConnection* c, std::uint16_t error) {
      EXPECT_EQ(sender, &server);
      EXPECT_EQ(error, 0);
      connect_count_seen.push_back(server.ClientCount());
      connects.push_back(c);
      c->LineMode = true;
      c->OnDataAvailable = [this, c](TObject* s, std::uint16_t) {
        EXPECT_EQ(s, c);
        lines.push_back(ToUtf8(c->ReceiveStr()));
      };
      if (configure) configure(c);
    };
    server.OnClientDisconnect = [this](TObject*, TLineConnection* c, std::uint16_t) {
      disconnects.push_back(c);
    };
    server.Listen();
    port = server.BoundPort();
    ASSERT_NE(port, 0);
  }

  // A connected client whose greeting has arrived.
  std::unique_ptr<LineClient> Connect() {
    auto c = std::make_unique<LineClient>(port);
    EXPECT_TRUE(c->WaitFor(greeting));
    return c;
  }
  bool WaitLines(std::size_t n) { return loop.RunUntil([&] { return lines.size() >= n; }, kWaitMs); }
  bool WaitGone(std::size_t n) { return loop.RunUntil([&] { return disconnects.size() >= n; }, kWaitMs); }

  MessageLoop& loop = MessageLoop::Current();
  TLineServer server;
  std::uint16_t port = 0;
  const std::string greeting = ToUtf8(server.Banner) + "\r\n";
  std::function<void(TLineConnection*)> configure;
  std::vector<TLineConnection*> connects;
  std::vector<int> connect_count_seen;
  std::vector<TLineConnection*> disconnects;
  std::vector<std::string> lines;
};

TEST_F(LineServerTest, AcceptsAppendsAndGreetsAfterTheConnectHandler) {
  EXPECT_EQ(server.State(), wsListening);
  EXPECT_EQ(server.Client(0), nullptr);
  auto client = std::make_unique<LineClient>(port);
  std::ptrdiff_t waiting_at_connect = 0;
  configure = [&](TLineConnection*) {
    char byte;
    waiting_at_connect = SocketRecv(client->Handle(), &byte, 1);  // -1: nothing has arrived
  };
  ASSERT_TRUE(client->WaitFor(greeting));
  EXPECT_EQ(waiting_at_connect, -1);
  EXPECT_EQ(client->Take(), greeting);  // the greeting is the very first thing written

  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connect_count_seen, std::vector<int>{1});  // already counted in its handler
  EXPECT_EQ(server.Client(0), connects[0]);
  EXPECT_EQ(server.Client(-1), nullptr);
  EXPECT_EQ(server.Client(1), nullptr);
  TLineConnection* c = connects[0];
  EXPECT_EQ(c->State(), wsConnected);
  EXPECT_EQ(c->PeerAddr(), u"127.0.0.1");
  EXPECT_EQ(c->PeerPort(), IntToStr(SocketLocalAddress(client->Handle()).port));
  EXPECT_EQ(c->GetXAddr(), u"127.0.0.1");
  EXPECT_EQ(c->GetXPort(), IntToStr(port));

  auto second = Connect();
  ASSERT_EQ(connects.size(), 2u);
  EXPECT_EQ(connect_count_seen, (std::vector<int>{1, 2}));
  EXPECT_EQ(server.Client(1), connects[1]);  // order of acceptance
}

TEST_F(LineServerTest, CutsLinesAtCrLfInOrder) {
  configure = [](TLineConnection* c) { c->LineEcho = true; };  // the echo shows what the server has taken
  auto client = Connect();
  client->Take();

  client->Send("one\r\ntwo\r\n");
  ASSERT_TRUE(WaitLines(2));
  EXPECT_EQ(lines, (std::vector<std::string>{"one\r\n", "two\r\n"}));

  // One line over several segments: one event, when its CR LF has arrived.
  for (std::string part : {"thr", "ee\r", "\nfo"}) {
    client->Send(part);
    ASSERT_TRUE(client->WaitFor(part));
    client->Take();
    if (part != "\nfo") {
      EXPECT_EQ(lines.size(), 2u) << "after " << part;
    }
  }
  client->Send("ur\nx\r\n");  // a lone LF is no line end
  ASSERT_TRUE(WaitLines(4));
  EXPECT_EQ(lines[2], "three\r\n");
  EXPECT_EQ(lines[3], "four\nx\r\n");
}

TEST_F(LineServerTest, LineEditingAppliesBackspaceAndTab) {
  struct Case {
    bool edit;
    std::string sent;
    std::string line;
  };
  const Case cases[] = {
      {true, "\bAB\bC\tD\r\n", "AC      D\r\n"},  // leading backspace removes nothing
      {true, "\tX\r\n", "        X\r\n"},          // at a multiple of 8: a full 8 spaces
      {true, "ABCDEFGH\tI\r\n", "ABCDEFGH        I\r\n"},
      {true, "ABCDEFG\tI\r\n", "ABCDEFG I\r\n"},  // at least one space
      {true, "AB\b\b\bC\r\n", "C\r\n"},
      {false, "A\bB\tC\r\n", "A\bB\tC\r\n"},
  };
  bool edit = true;
  configure = [&](TLineConnection* c) { c->LineEdit = edit; };
  for (const Case& k : cases) {
    edit = k.edit;
    lines.clear();
    auto client = Connect();
    client->Send(k.sent);
    ASSERT_TRUE(WaitLines(1)) << k.line;
    EXPECT_EQ(lines[0], k.line);
  }
}

TEST_F(LineServerTest, LineLimitCountsOnlyBytesWithoutALineEnd) {
  std::vector<long> counts;
  bool clear = true;
  configure = [&](TLineConnection* c) {
    c->LineLimit = 160;
    c->OnLineLimitExceeded = [&](TObject*, long n, bool& ClearData) {
      EXPECT_TRUE(ClearData);  // preset
      counts.push_back(n);
      ClearData = clear;
    };
  };
  server.MaxLineRate = 0;
  auto client = Connect();

  // A longer line whose end comes in the same read is delivered whole.
  const std::string long_line = std::string(300, 'L') + "\r\n";
  client->Send(long_line);
  ASSERT_TRUE(WaitLines(1));
  EXPECT_EQ(lines[0], long_line);
  EXPECT_TRUE(counts.empty());

  // A device that ends its lines with CR alone: the buffered bytes are dropped.
  std::string cr_only;
  for (int i = 0; i < 17; ++i) cr_only += "$0001PING\r";
  client->Send(cr_only);
  ASSERT_TRUE(loop.RunUntil([&] { return counts.size() == 1; }, kWaitMs));
  EXPECT_EQ(counts[0], 170);
  client->Send("ok\r\n");
  ASSERT_TRUE(WaitLines(2));
  EXPECT_EQ(lines[1], "ok\r\n");

  // ClearData turned false keeps the bytes: the count grows and the line completes.
  clear = false;
  client->Send(cr_only);
  ASSERT_TRUE(loop.RunUntil([&] { return counts.size() == 2; }, kWaitMs));
  client->Send("0123456789");
  ASSERT_TRUE(loop.RunUntil([&] { return counts.size() == 3; }, kWaitMs));
  EXPECT_EQ(counts[2], 180);
  client->Send("\r\n");
  ASSERT_TRUE(WaitLines(3));
  EXPECT_EQ(lines[2], cr_only + "0123456789\r\n");

  // Nor is a line cut by the size of a read: one ending anywhere around it, or a
  // longer one whose end comes in the same burst, arrives whole.
  const std::size_t judged = counts.size();
  clear = true;
  for (const std::size_t length : {std::size_t{160}, std::size_t{300}}) {
    for (std::size_t last = 4090; last <= 4100; ++last) {  // where the line's LF lands
      std::string burst;
      std::size_t before = 1;
      for (; last - length - 1 - burst.size() > 101; ++before) burst += std::string(98, 'F') + "\r\n";
      burst += std::string(last - length - 3 - burst.size(), 'G') + "\r\n" + std::string(length, 'L') + "\r\n";
      lines.clear();
      client->Send(burst + "after\r\n");
      ASSERT_TRUE(WaitLines(before + 2)) << length << " ending at " << last;
      EXPECT_EQ(lines[before], std::string(length, 'L') + "\r\n") << length << " ending at " << last;
    }
  }
  EXPECT_EQ(counts.size(), judged);
}

TEST_F(LineServerTest, ClosingReportsInALaterTurnThenDestroys) {
  auto client = Connect();
  TLineConnection* c = connects.at(0);
  c->Close();
  EXPECT_EQ(c->State(), wsClosed);
  EXPECT_EQ(server.ClientCount(), 1);  // still listed until the loop turns
  EXPECT_TRUE(disconnects.empty());
  try {
    c->SendStr(u"late");
    ADD_FAILURE() << "a write on a closed connection must fail";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("send"), std::string::npos) << e.what();
  }
  ASSERT_TRUE(WaitGone(1));
  EXPECT_EQ(disconnects, std::vector<TLineConnection*>{c});
  EXPECT_EQ(server.ClientCount(), 0);
  EXPECT_TRUE(client->WaitClosed());

  // The peer closing right after its last line: the line comes first.
  auto second = Connect();
  second->Send("last\r\n");
  second.reset();
  ASSERT_TRUE(WaitGone(2));
  EXPECT_EQ(lines, std::vector<std::string>{"last\r\n"});
  EXPECT_EQ(server.ClientCount(), 0);
}

TEST_F(LineServerTest, WritesWaitForASlowReaderAndArriveInOrder) {
  std::vector<std::uint16_t> data_sent;
  server.OnDataSent = [&](TObject* s, std::uint16_t e) {
    EXPECT_EQ(s, &server);
    data_sent.push_back(e);
  };
  auto client = Connect();
  client->Take();
  client->PauseReading(true);
  TLineConnection* c = connects.at(0);
  std::string expected;
  for (int i = 0; c->UnsentBytes() == 0 && i < 200; ++i) {
    const std::string chunk(65536, static_cast<char>('a' + i % 26));
    c->SendStr(FromAnsi(chunk));
    expected += chunk;
    EXPECT_EQ(c->UnsentBytes(), chunk.size());  // written at the end of the turn, not at once
    loop.RunPending();
  }
  ASSERT_GT(c->UnsentBytes(), 0u);
  EXPECT_TRUE(data_sent.empty());
  // Broadcasts it cannot take (more than its bound of copies) fold into the
  // latest, which follows its own bytes.
  c->SendStr(FromAnsi(std::string(256 * 1024, 'z')));  // more than its socket can take meanwhile
  expected += std::string(256 * 1024, 'z');
  for (int i = 0; i < 200000; ++i) server.Broadcast(u"b" + IntToStr(i));
  server.FlushAll();
  c->SendStr(u"END");  // queued behind the rest
  expected += "ENDb199999";

  client->PauseReading(false);
  ASSERT_TRUE(client->WaitBytes(expected.size()));
  EXPECT_TRUE(client->Received() == expected);
  EXPECT_EQ(c->UnsentBytes(), 0u);
  EXPECT_EQ(data_sent, std::vector<std::uint16_t>{0});
}

TEST_F(LineServerTest, AReaderThatNeverReadsCannotGrowTheQueueWithoutBound) {
  auto client = Connect();
  client->PauseReading(true);
  TLineConnection* c = connects.at(0);
  const std::u16string chunk = FromAnsi(std::string(65536, 'x'));
  bool refused = false;
  for (int i = 0; i < 2000 && !refused; ++i) {
    try {
      c->SendStr(chunk);
    } catch (const SocketError& e) {
      refused = true;
      EXPECT_EQ(e.Api(), "send");
    }
    ASSERT_LE(c->UnsentBytes(), TLineConnection::kMaxUnsent);
  }
  ASSERT_TRUE(refused);
  EXPECT_EQ(c->State(), wsClosed);
  EXPECT_THROW(c->SendStr(u"more"), SocketError);
  ASSERT_TRUE(WaitGone(1));
  EXPECT_EQ(server.ClientCount(), 0);
  client->PauseReading(false);
  EXPECT_TRUE(client->WaitClosed());
}

// The bound of all connections together closes the one holding the most, and
// only that one; the writer learns of it only when it is the one closed.
TEST_F(LineServerTest, PastTheTotalBoundTheLargestQueueIsClosed) {
  server.MaxTotalUnsent = 100 * 1024;
  auto a = Connect();
  auto b = Connect();
  TLineConnection* ca = connects.at(0);
  TLineConnection* cb = connects.at(1);
  ca->SendStr(FromAnsi(std::string(60 * 1024, 'a')));  // queued until the end of the turn
  cb->SendStr(FromAnsi(std::string(30 * 1024, 'b')));
  EXPECT_EQ(server.TotalUnsent(), 90u * 1024);
  cb->SendStr(FromAnsi(std::string(20 * 1024, 'b')));  // 110 KiB: a holds the most
  EXPECT_EQ(ca->State(), wsClosed);
  EXPECT_EQ(cb->State(), wsConnected);
  EXPECT_EQ(server.TotalUnsent(), 50u * 1024);
  EXPECT_THROW(cb->SendStr(FromAnsi(std::string(60 * 1024, 'b'))), SocketError);  // now b is the largest
  EXPECT_EQ(cb->State(), wsClosed);
  EXPECT_EQ(server.TotalUnsent(), 0u);
  ASSERT_TRUE(WaitGone(2));
  EXPECT_TRUE(a->WaitClosed());
}

// A burst of lines is taken a slice per connection and turn, the rest in later
// turns and in order; connections take turns, so a chatty one cannot hold back
// a quiet one.
TEST_F(LineServerTest, ATurnDeliversASliceAndTheRestFollowsInOrder) {
  // Cost: messages each line makes; a handler charges the extra ones, and they
  // count against the slice and the turn like lines.
  struct Case {
    int slice, turn, lines, cost, first_turn;
  };
  for (const Case k : {Case{32, 96, 100, 1, 32}, Case{5, 8, 40, 1, 5}, Case{4, 10, 30, 2, 2}, Case{32, 6, 30, 3, 2}}) {
    server.LinesPerSlice = k.slice;
    server.LinesPerTurn = k.turn;
    configure = [&](TLineConnection* c) {
      c->OnDataAvailable = [&, c](TObject*, std::uint16_t) {
        lines.push_back(ToUtf8(c->ReceiveStr()));
        server.ChargeLines(k.cost - 1);
      };
    };
    lines.clear();
    auto chatty = Connect();
    auto quiet = Connect();
    std::string burst;
    for (int i = 0; i < k.lines; ++i) burst += "line " + std::to_string(i) + "\r\n";
    chatty->Send(burst);
    ASSERT_TRUE(loop.RunUntil([&] { return !lines.empty(); }, kWaitMs));
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(k.first_turn)) << "one slice in the first turn";
    quiet->Send("quiet\r\n");
    ASSERT_TRUE(WaitLines(k.lines + 1));
    std::vector<std::string> chatty_lines;
    std::size_t quiet_at = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == "quiet\r\n") quiet_at = i;
      else chatty_lines.push_back(lines[i]);
    }
    for (int i = 0; i < k.lines; ++i) EXPECT_EQ(chatty_lines.at(i), "line " + std::to_string(i) + "\r\n");
    EXPECT_LT(quiet_at, static_cast<std::size_t>(k.lines)) << "the quiet line waited for the whole burst";
    EXPECT_FALSE(connects.back()->ReadingPaused());
  }
}

// Past its line budget a connection is not read until the budget refills: its
// lines wait (in the kernel or our buffer), none is dropped, the connection
// stays, and the host hears of it once per episode.
TEST(LineServerRate, APeerPastItsBudgetIsReadMoreSlowlyAndLosesNothing) {
  MessageLoop& loop = MessageLoop::Current();
  FakeClock clock;
  ScopedClock scoped(clock);
  TLineServer server;
  server.Port = u"0";
  server.Addr = u"127.0.0.1";
  server.Banner.clear();
  server.MaxLineRate = 10;
  server.LineBurst = 5;
  std::vector<std::string> lines;
  std::vector<std::string> notices;
  server.OnNotice = [&](TObject*, const std::u16string& t) { notices.push_back(ToUtf8(t)); };
  server.OnClientConnect = [&](TObject*, TLineConnection* c, std::uint16_t) {
    c->LineMode = true;
    c->OnDataAvailable = [&lines, c](TObject*, std::uint16_t) { lines.push_back(ToUtf8(c->ReceiveStr())); };
  };
  server.Listen();
  LineClient client(server.BoundPort());
  ASSERT_TRUE(client.WaitConnected());
  ASSERT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 1; }, kWaitMs));
  std::string all;
  for (int i = 0; i < 20; ++i) all += std::to_string(i) + "\r\n";
  client.Send(all);

  struct Step {
    std::int64_t advance_ms;
    std::size_t lines;     // delivered in all once the budget is spent again
    std::size_t notices;
  };
  const Step steps[] = {
      {0, 5, 1},      // the burst
      {200, 7, 1},    // two more lines' worth: the same episode
      {300, 10, 1},
      {-5000, 10, 1},  // the clock steps back and returns to its highest reading:
      {5000, 10, 1},   // no time has passed
      {300, 13, 1},
      {10000, 18, 2},  // quiet long enough to refill: a new episode when it is spent
      {10000, 20, 2},  // all taken, the budget never ran out: no report
  };
  for (const Step& s : steps) {
    clock.AdvanceMs(s.advance_ms);
    loop.RunFor(50);  // the budget's refill timer (20 ms) reads the clock at least once
    ASSERT_TRUE(loop.RunUntil([&] { return lines.size() >= s.lines; }, kWaitMs)) << lines.size();
    ASSERT_TRUE(loop.RunUntil([&] { return server.Client(0)->ReadingPaused() || lines.size() == 20; }, kWaitMs));
    EXPECT_EQ(lines.size(), s.lines);
    EXPECT_EQ(notices.size(), s.notices) << "after " << s.lines;
    EXPECT_EQ(server.Client(0)->State(), wsConnected);
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(lines.at(i), std::to_string(i) + "\r\n");
  ASSERT_FALSE(notices.empty());
  EXPECT_NE(notices[0].find("127.0.0.1"), std::string::npos) << notices[0];
}

// Broadcast bytes nobody waits for go out ahead of the next frame for each
// connection, or within the broadcast interval; a connection that joins later or
// has closed gets none of them. The bytes and their order are as if each had
// been written at once.
TEST_F(LineServerTest, BroadcastBytesGoAheadOfTheNextFrameOrWithinTheInterval) {
  auto a = Connect();
  auto b = Connect();
  a->Take();
  b->Take();
  server.Broadcast(u"t1");
  server.Broadcast(u"t2");
  connects.at(0)->SendStr(u"F");  // a frame for a: the broadcasts first
  auto late = Connect();
  server.Broadcast(u"t3");
  connects.at(1)->Close();  // b closes: what it was owed goes with its last write
  ASSERT_TRUE(a->WaitFor("t1t2Ft3"));
  EXPECT_EQ(a->Take(), "t1t2Ft3");
  ASSERT_TRUE(b->WaitClosed());
  EXPECT_EQ(b->Take(), "t1t2t3");
  ASSERT_TRUE(late->WaitFor("t3"));
  EXPECT_EQ(late->Take(), greeting + "t3");
  ASSERT_TRUE(WaitGone(1));
  server.Broadcast(u"t4");
  EXPECT_TRUE(a->WaitFor("t4"));
  EXPECT_EQ(late->Received().find("t1"), std::string::npos);

  // The coalescing timer runs only while bytes are owed: it stops when the last
  // connection leaves owed some, and nobody connected owes nothing.
  server.Broadcast(u"t5");
  EXPECT_TRUE(server.BroadcastTimerRunning());
  a->Reset();
  late->Reset();
  ASSERT_TRUE(WaitGone(3));
  EXPECT_FALSE(server.BroadcastTimerRunning());
  server.Broadcast(u"t6");
  EXPECT_FALSE(server.BroadcastTimerRunning());

  // The peer whose line made a broadcast gets it at the end of that turn, so
  // its TCP hears back at once; the others wait for the interval.
  server.BroadcastIntervalMs = 60000;
  configure = [&](TLineConnection* c) {
    c->OnDataAvailable = [&, c](TObject*, std::uint16_t) { server.Broadcast(c->ReceiveStr()); };
  };
  auto sender = Connect(), other = Connect();
  sender->Send("x\r\n");
  EXPECT_TRUE(sender->WaitFor(greeting + "x\r\n"));
  EXPECT_EQ(other->Take(), greeting);
  // Once the other's own frame has taken it too, nothing is owed: the timer stops.
  connects.back()->SendStr(u"F");
  EXPECT_FALSE(server.BroadcastTimerRunning());
}

TEST_F(LineServerTest, ServerCloseStopsListeningAndKeepsConnections) {
  std::vector<std::uint16_t> sessions;
  server.OnSessionClosed = [&](TObject*, std::uint16_t e) { sessions.push_back(e); };
  auto client = Connect();
  client->Take();
  server.Close();
  EXPECT_EQ(sessions, std::vector<std::uint16_t>{0});
  EXPECT_NE(server.State(), wsListening);
  EXPECT_EQ(server.BoundPort(), 0);

  client->Send("still here\r\n");
  ASSERT_TRUE(WaitLines(1));
  EXPECT_EQ(lines[0], "still here\r\n");
  connects.at(0)->SendStr(u"and so am I");
  EXPECT_TRUE(client->WaitFor("and so am I"));

  LineClient refused(port);
  EXPECT_FALSE(refused.WaitConnected());

  server.Listen();
  EXPECT_EQ(server.State(), wsListening);
  port = server.BoundPort();
  auto again = Connect();
  EXPECT_EQ(server.ClientCount(), 2);
}

TEST_F(LineServerTest, AnErrorInALineHandlerAbortsUnlessTheHandlerKeepsIt) {
  enum class Bg { kNone, kKeep, kLeave };
  struct Case {
    Bg bg;
    bool survives;
  };
  for (const Case k : {Case{Bg::kNone, false}, Case{Bg::kKeep, true}, Case{Bg::kLeave, false}}) {
    std::vector<std::string> errors;
    configure = [&](TLineConnection* c) {
      c->OnDataAvailable = [this, c](TObject*, std::uint16_t) {
        lines.push_back(ToUtf8(c->ReceiveStr()));
        throw Error(u"boom");
      };
      if (k.bg == Bg::kNone) return;
      c->OnBgException = [&, c, k](TObject* s, const std::exception& E, bool& CanClose) {
        EXPECT_EQ(s, c);
        EXPECT_TRUE(CanClose);  // preset
        errors.push_back(E.what());
        if (k.bg == Bg::kKeep) CanClose = false;
      };
    };
    lines.clear();
    auto client = Connect();
    client->Send("a\r\nb\r\n");
    if (k.survives) {
      ASSERT_TRUE(WaitLines(2));
      EXPECT_EQ(errors, (std::vector<std::string>{"boom", "boom"}));
      EXPECT_EQ(connects.back()->State(), wsConnected);
    } else {
      EXPECT_TRUE(client->WaitClosed());
      EXPECT_EQ(lines, std::vector<std::string>{"a\r\n"});  // nothing after the abort
      if (k.bg == Bg::kLeave) {
        EXPECT_EQ(errors, std::vector<std::string>{"boom"});
      }
    }
  }
}

TEST_F(LineServerTest, AnErrorInTheConnectHandlerGoesToTheServersHandler) {
  for (const bool keep : {true, false}) {
    std::vector<std::string> errors;
    int sessions = 0;
    server.OnSessionClosed = [&](TObject*, std::uint16_t) { ++sessions; };
    server.OnClientConnect = [](TObject*, TLineConnection*, std::uint16_t) { throw Error(u"connect failed"); };
    server.OnBgException = [&](TObject* s, const std::exception& E, bool& CanClose) {
      EXPECT_EQ(s, &server);
      EXPECT_TRUE(CanClose);
      errors.push_back(E.what());
      CanClose = !keep;
    };
    LineClient client(server.BoundPort());
    ASSERT_TRUE(loop.RunUntil([&] { return !errors.empty(); }, kWaitMs));
    EXPECT_EQ(errors, std::vector<std::string>{"connect failed"});
    // The connection itself stays, without a greeting.
    const std::u16string peer_port = IntToStr(SocketLocalAddress(client.Handle()).port);
    TLineConnection* last = server.Client(server.ClientCount() - 1);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->PeerPort(), peer_port);
    EXPECT_EQ(last->State(), wsConnected);
    EXPECT_EQ(client.Received(), "");
    EXPECT_EQ(server.State() == wsListening, keep);
    EXPECT_EQ(sessions, keep ? 0 : 1);
  }
}

TEST_F(LineServerTest, TooManyClientsGetTheBusyBannerAndAreClosed) {
  server.MaxClients = 1;
  auto first = Connect();
  LineClient second(port);
  ASSERT_TRUE(second.WaitClosed());
  EXPECT_EQ(second.Received(), "Sorry, too many clients");
  ASSERT_TRUE(WaitGone(1));
  EXPECT_EQ(server.ClientCount(), 1);
  EXPECT_EQ(server.Client(0), connects[0]);
}

TEST_F(LineServerTest, ASiteReconnectingAtOnceIsAllAcceptedAndServed) {
  // A site's controllers all come back together after the host restarts. The
  // listen queue holds them until the loop takes them; a short one makes the
  // system drop (or refuse) the rest, whose retries come 1, 3, 7 s later.
  constexpr int kSite = 300;
  std::vector<std::unique_ptr<LineClient>> site;
  for (int i = 0; i < kSite; ++i) site.push_back(std::make_unique<LineClient>(port));
  // Bounds for a slow loop (Wine on a loaded machine); a short queue would have
  // let in a few dozen by then.
  ASSERT_TRUE(loop.RunUntil([&] { return server.ClientCount() == kSite; }, 2 * kWaitMs))
      << server.ClientCount() << " of " << kSite << " accepted";
  for (auto& c : site) c->Send("PING\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return lines.size() == std::size_t{kSite}; }, 2 * kWaitMs));
  for (auto& c : site) EXPECT_TRUE(c->WaitFor(greeting));
}

TEST(LineServerLifetime, DestroyingTheServerLeavesNothingBehind) {
  MessageLoop& loop = MessageLoop::Current();
  // With a disconnect report still pending.
  auto server = std::make_unique<TLineServer>();
  server->Port = u"0";
  server->Addr = u"127.0.0.1";
  server->OnClientDisconnect = [](TObject*, TLineConnection*, std::uint16_t) { ADD_FAILURE() << "too late"; };
  server->Listen();
  LineClient a(server->BoundPort()), b(server->BoundPort());
  ASSERT_TRUE(loop.RunUntil([&] { return server->ClientCount() == 2; }, kWaitMs));
  server->Client(0)->Close();
  server.reset();
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_TRUE(b.WaitClosed());

  // From inside a line handler (the host shutting down from within an event).
  server = std::make_unique<TLineServer>();
  server->Port = u"0";
  server->Addr = u"127.0.0.1";
  int handled = 0;
  server->OnClientConnect = [&](TObject*, TLineConnection* c, std::uint16_t) {
    c->LineMode = true;
    c->OnDataAvailable = [&, c](TObject*, std::uint16_t) {
      c->ReceiveStr();
      ++handled;
      server.reset();
    };
  };
  server->Listen();
  LineClient d(server->BoundPort());
  ASSERT_TRUE(d.WaitConnected());
  d.Send("first\r\nsecond\r\n");
  EXPECT_TRUE(d.WaitClosed());
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(server, nullptr);
  loop.RunFor(20);  // let anything still queued run against the freed objects
}

TEST(LineServerListen, RefusesWhatItCannotListenOn) {
  TLineServer taken;
  taken.Port = u"0";
  taken.Addr = u"127.0.0.1";
  taken.Listen();
  for (auto [proto, port] : {std::pair<std::u16string, std::u16string>{u"udp", u"0"}, {u"tcp", u"port"},
                             {u"tcp", u"70000"}, {u"tcp", IntToStr(taken.BoundPort())}}) {
    TLineServer s;
    s.Proto = proto;
    s.Port = port;
    s.Addr = u"127.0.0.1";
    EXPECT_THROW(s.Listen(), Error) << ToUtf8(port);
    EXPECT_NE(s.State(), wsListening);
  }
}

}  // namespace
}  // namespace axg
