#include "platform/socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/message_loop.h"
#include "platform/text.h"

namespace axg {
namespace {

constexpr unsigned kBound = 2000;  // ms

struct Event {
  unsigned bit;
  int error;
  bool operator==(const Event&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Event& e) {
  return os << "{bit " << e.bit << ", error " << e.error << "}";
}

// Closes what a test opened, whatever way it ends (closing also drops watches).
struct Sockets {
  std::vector<SocketHandle> all;
  SocketHandle Add(SocketHandle s) {
    all.push_back(s);
    return s;
  }
  void Forget(SocketHandle s) { std::erase(all, s); }
  ~Sockets() {
    for (SocketHandle s : all) SocketClose(s);
  }
};

// A connected loopback pair, made through the loop: listen, connect, accept.
struct Pair {
  SocketHandle listener = kInvalidSocket, client = kInvalidSocket, server = kInvalidSocket;
};

Pair MakePair(Sockets& owned, const std::string& bind_addr = {}) {
  MessageLoop& loop = MessageLoop::Current();
  Pair p;
  p.listener = owned.Add(SocketListen("127.0.0.1", 0, 5));
  std::uint16_t port = SocketLocalAddress(p.listener).port;
  EXPECT_NE(port, 0);
  std::vector<Event> client_events;
  p.client = owned.Add(SocketConnect("127.0.0.1", port, bind_addr));
  loop.WatchSocket(p.client, kSockConnect, [&](unsigned bit, int err) {
    client_events.push_back({bit, err});
  });
  loop.WatchSocket(p.listener, kSockAccept, [&](unsigned bit, int) {
    EXPECT_EQ(bit, kSockAccept);
    p.server = owned.Add(SocketAccept(p.listener, nullptr));
  });
  EXPECT_TRUE(loop.RunUntil([&] { return p.server != kInvalidSocket && !client_events.empty(); }, kBound));
  EXPECT_EQ(client_events, (std::vector<Event>{{kSockConnect, 0}}));
  loop.UnwatchSocket(p.listener);
  loop.UnwatchSocket(p.client);
  return p;
}

std::string DrainAll(SocketHandle s) {
  std::string got;
  char buf[65536];
  for (;;) {
    std::ptrdiff_t n = SocketRecv(s, buf, sizeof(buf));
    if (n <= 0) return got;
    got.append(buf, static_cast<std::size_t>(n));
  }
}

TEST(Socket, AcceptConnectAndReadOnALoopbackPair) {
  MessageLoop& loop = MessageLoop::Current();
  Sockets owned;
  Pair p = MakePair(owned);
  SocketAddress client_local = SocketLocalAddress(p.client);
  SocketAddress peer = SocketPeerAddress(p.server);
  EXPECT_EQ(peer.addr, "127.0.0.1");
  EXPECT_EQ(peer.port, client_local.port);
  EXPECT_EQ(SocketLocalAddress(p.server).port, SocketLocalAddress(p.listener).port);
  EXPECT_EQ(SocketAccept(p.listener, nullptr), kInvalidSocket) << "nothing else is pending";
  EXPECT_EQ(SocketPendingError(p.client), 0);

  char buf[16];
  EXPECT_EQ(SocketRecv(p.server, buf, sizeof(buf)), -1) << "nothing has arrived yet";
  std::string got;
  loop.WatchSocket(p.server, kSockRead, [&](unsigned bit, int err) {
    EXPECT_EQ(bit, kSockRead);
    EXPECT_EQ(err, 0);
    got += DrainAll(p.server);
  });
  EXPECT_EQ(SocketSend(p.client, "hello\r\n", 7), 7u);
  ASSERT_TRUE(loop.RunUntil([&] { return got.size() == 7; }, kBound));
  EXPECT_EQ(got, "hello\r\n");

  // The accepted socket reports its peer through SocketAccept as well.
  SocketHandle second = owned.Add(SocketConnect("127.0.0.1", SocketLocalAddress(p.listener).port));
  SocketAddress accepted_peer;
  SocketHandle accepted = kInvalidSocket;
  loop.WatchSocket(p.listener, kSockAccept,
                   [&](unsigned, int) { accepted = owned.Add(SocketAccept(p.listener, &accepted_peer)); });
  ASSERT_TRUE(loop.RunUntil([&] { return accepted != kInvalidSocket; }, kBound));
  EXPECT_EQ(accepted_peer.addr, "127.0.0.1");
  EXPECT_EQ(accepted_peer.port, SocketLocalAddress(second).port);
}

TEST(Socket, WriteReadinessIsReportedOnlyWhileAskedFor) {
  MessageLoop& loop = MessageLoop::Current();
  Sockets owned;
  Pair p = MakePair(owned);
  const std::string chunk(64 * 1024, 'x');
  std::size_t sent = 0;
  for (int i = 0; i < 10000; ++i) {
    std::size_t n = SocketSend(p.client, chunk.data(), chunk.size());
    sent += n;
    if (n < chunk.size()) break;
  }
  ASSERT_GT(sent, 0u);
  std::size_t received = 0;
  int writable = 0;
  loop.WatchSocket(p.server, kSockRead, [&](unsigned, int) { received += DrainAll(p.server).size(); });
  loop.WatchSocket(p.client, kSockWrite, [&](unsigned bit, int err) {
    EXPECT_EQ(bit, kSockWrite);
    EXPECT_EQ(err, 0);
    ++writable;
  });
  // Once the reader has taken everything the writer may write again.
  ASSERT_TRUE(loop.RunUntil([&] { return received == sent && writable > 0; }, kBound));
  EXPECT_EQ(SocketSend(p.client, "more", 4), 4u);
  loop.UpdateSocket(p.client, 0);
  writable = 0;
  ASSERT_TRUE(loop.RunUntil([&] { return received == sent + 4; }, kBound));
  loop.RunPending();
  EXPECT_EQ(writable, 0) << "kSockWrite left the mask but was still delivered";
}

TEST(Socket, PeerCloseIsSeenAsReadOfZeroAndOneCloseNotification) {
  MessageLoop& loop = MessageLoop::Current();
  struct Case {
    const char* name;
    void (*close)(SocketHandle);
    int close_error;
  };
  const Case cases[] = {{"graceful", &SocketClose, 0}, {"abort", &SocketAbort, kSockErrConnReset}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sockets owned;
    Pair p = MakePair(owned);
    SocketSend(p.client, "last", 4);
    owned.Forget(p.client);
    c.close(p.client);
    std::string data;
    int reads = 0, zero_reads = 0;
    std::vector<Event> closes;
    loop.WatchSocket(p.server, kSockRead | kSockClose, [&](unsigned bit, int err) {
      if (bit == kSockClose) {
        closes.push_back({bit, err});
        return;
      }
      ++reads;
      char buf[64];
      std::ptrdiff_t n;
      while ((n = SocketRecv(p.server, buf, sizeof(buf))) > 0) data.append(buf, static_cast<std::size_t>(n));
      if (n == 0) ++zero_reads;
    });
    // The end of the stream stays readable turn after turn; the close is told once.
    ASSERT_TRUE(loop.RunUntil([&] { return !closes.empty() && reads >= 3; }, kBound));
    EXPECT_EQ(closes, (std::vector<Event>{{kSockClose, c.close_error}}));
    EXPECT_GE(zero_reads, 1);
    if (c.close_error == 0) {
      EXPECT_EQ(data, "last");
    }
  }
}

TEST(Socket, ResetSeenByAReaderWithoutCloseWatchFailsRecv) {
  MessageLoop& loop = MessageLoop::Current();
  Sockets owned;
  Pair p = MakePair(owned);
  owned.Forget(p.client);
  SocketAbort(p.client);
  int code = 0;
  std::string api;
  loop.WatchSocket(p.server, kSockRead, [&](unsigned, int) {
    char buf[8];
    try {
      SocketRecv(p.server, buf, sizeof(buf));
    } catch (const SocketError& e) {
      code = e.Code();
      api = e.Api();
    }
    loop.UnwatchSocket(p.server);
  });
  ASSERT_TRUE(loop.RunUntil([&] { return code != 0; }, kBound));
  EXPECT_EQ(code, kSockErrConnReset);
  EXPECT_EQ(api, "recv");
}

TEST(Socket, ClosingItsOwnSocketInsideReadStopsTheRestOfTheEvent) {
  MessageLoop& loop = MessageLoop::Current();
  Sockets owned;
  Pair p = MakePair(owned);
  owned.Forget(p.client);
  SocketClose(p.client);  // data-less FIN: read and close are ready together
  std::vector<Event> events;
  loop.WatchSocket(p.server, kSockRead | kSockClose, [&](unsigned bit, int err) {
    events.push_back({bit, err});
    owned.Forget(p.server);
    SocketClose(p.server);
  });
  ASSERT_TRUE(loop.RunUntil([&] { return !events.empty(); }, kBound));
  loop.RunPending();
  EXPECT_EQ(events, (std::vector<Event>{{kSockRead, 0}}));
}

TEST(Socket, ConnectToAClosedPortReportsRefusedOnceAndNothingElse) {
  MessageLoop& loop = MessageLoop::Current();
  Sockets owned;
  SocketHandle probe = SocketListen("127.0.0.1", 0, 1);
  std::uint16_t port = SocketLocalAddress(probe).port;
  SocketClose(probe);
  SocketHandle c = owned.Add(SocketConnect("127.0.0.1", port));
  std::vector<Event> events;
  loop.WatchSocket(c, kSockConnect | kSockRead | kSockWrite | kSockClose, [&](unsigned bit, int err) {
    events.push_back({bit, err});
  });
  ASSERT_TRUE(loop.RunUntil([&] { return !events.empty(); }, kBound));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(loop.RunPending()) << "a failed connect keeps reporting";
  EXPECT_EQ(events, (std::vector<Event>{{kSockConnect, kSockErrConnRefused}}));
}

TEST(Socket, ConnectBindsTheGivenSourceAddress) {
  Sockets owned;
  Pair p = MakePair(owned, "127.0.0.2");
  EXPECT_EQ(SocketLocalAddress(p.client).addr, "127.0.0.2");
  EXPECT_EQ(SocketPeerAddress(p.server).addr, "127.0.0.2");
}

TEST(Socket, UnwatchingAnotherSocketSuppressesItsNotificationInTheSameTurn) {
  MessageLoop& loop = MessageLoop::Current();
  Sockets owned;
  Pair a = MakePair(owned), b = MakePair(owned);
  SocketSend(a.client, "a", 1);
  SocketSend(b.client, "b", 1);
  // Wait until both are readable; level triggering keeps them so.
  bool a_ready = false, b_ready = false;
  loop.WatchSocket(a.server, kSockRead, [&](unsigned, int) { a_ready = true; });
  loop.WatchSocket(b.server, kSockRead, [&](unsigned, int) { b_ready = true; });
  ASSERT_TRUE(loop.RunUntil([&] { return a_ready && b_ready; }, kBound));

  // Now one turn sees both. Whichever comes first unwatches and closes the other
  // and watches a fresh socket, which often gets the closed one's number.
  std::vector<std::string> calls;
  std::vector<Event> fresh_events;
  auto first = [&](const char* name, SocketHandle other) {
    return [&, name, other](unsigned, int) {
      calls.push_back(name);
      loop.UnwatchSocket(a.server);
      loop.UnwatchSocket(b.server);
      owned.Forget(other);
      SocketClose(other);
      SocketHandle fresh = owned.Add(SocketListen("127.0.0.1", 0, 1));
      loop.WatchSocket(fresh, kSockRead | kSockAccept | kSockClose, [&](unsigned bit, int err) {
        fresh_events.push_back({bit, err});
      });
    };
  };
  loop.WatchSocket(a.server, kSockRead, first("a", b.server));
  loop.WatchSocket(b.server, kSockRead, first("b", a.server));
  EXPECT_TRUE(loop.RunPending());
  EXPECT_EQ(calls.size(), 1u);
  EXPECT_TRUE(fresh_events.empty());
}

TEST(Socket, ACallPostedFromASocketCallbackRunsInTheNextTurn) {
  MessageLoop& loop = MessageLoop::Current();
  Sockets owned;
  Pair p = MakePair(owned);
  SocketSend(p.client, "x", 1);
  bool readable = false;
  loop.WatchSocket(p.server, kSockRead, [&](unsigned, int) { readable = true; });
  ASSERT_TRUE(loop.RunUntil([&] { return readable; }, kBound));
  std::vector<std::string> trace;
  loop.WatchSocket(p.server, kSockRead, [&](unsigned, int) {
    loop.UnwatchSocket(p.server);
    loop.Post([&] { trace.push_back("posted"); });
    trace.push_back("read");
  });
  EXPECT_TRUE(loop.RunPending());
  EXPECT_EQ(trace, (std::vector<std::string>{"read"}));
  EXPECT_TRUE(loop.RunPending());
  EXPECT_EQ(trace, (std::vector<std::string>{"read", "posted"}));
}

TEST(Socket, AnExceptionFromASocketCallbackDoesNotStopTheLoop) {
  MessageLoop& loop = MessageLoop::Current();
  Sockets owned;
  Pair p = MakePair(owned);
  int reads = 0;
  std::string got;
  loop.WatchSocket(p.server, kSockRead, [&](unsigned, int) {
    if (++reads == 1) throw Error(u"handler failed");
    got += DrainAll(p.server);
  });
  SocketSend(p.client, "ok", 2);
  testing::internal::CaptureStderr();
  bool ok = loop.RunUntil([&] { return got == "ok"; }, kBound);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ok);
  EXPECT_NE(err.find("handler failed"), std::string::npos) << err;
}

TEST(Socket, ManyConnectionsAreServedTogether) {
  MessageLoop& loop = MessageLoop::Current();
  Sockets owned;
  constexpr int kCount = 300;  // more than one turn's worth of ready descriptors
  SocketHandle listener = owned.Add(SocketListen("127.0.0.1", 0, 512));
  std::uint16_t port = SocketLocalAddress(listener).port;
  std::vector<SocketHandle> clients;
  std::string received;
  int accepted = 0;
  loop.WatchSocket(listener, kSockAccept, [&](unsigned, int) {
    SocketHandle s;
    while ((s = SocketAccept(listener, nullptr)) != kInvalidSocket) {
      owned.Add(s);
      ++accepted;
      loop.WatchSocket(s, kSockRead, [&, s](unsigned, int) {
        std::string got = DrainAll(s);
        received += got;
        loop.UnwatchSocket(s);
      });
    }
  });
  for (int i = 0; i < kCount; ++i) {
    SocketHandle c = owned.Add(SocketConnect("127.0.0.1", port));
    clients.push_back(c);
    loop.WatchSocket(c, kSockConnect, [&, c](unsigned, int err) {
      EXPECT_EQ(err, 0);
      SocketSend(c, "x", 1);
    });
  }
  ASSERT_TRUE(loop.RunUntil([&] { return received.size() == kCount; }, kBound * 5));
  EXPECT_EQ(accepted, kCount);
  for (SocketHandle c : clients) loop.UnwatchSocket(c);
  loop.UnwatchSocket(listener);
}

TEST(SocketError, MessageNamesTheTextTheCodeAndTheCall) {
  SocketError e(kSockErrConnRefused, "connect");
  EXPECT_EQ(e.Code(), kSockErrConnRefused);
  EXPECT_EQ(e.Api(), "connect");
  EXPECT_EQ(SocketErrorText(kSockErrConnRefused), u"Connection refused");
  EXPECT_EQ(e.Message(), u"Windows socket error: Connection refused (" + IntToStr(kSockErrConnRefused) +
                             u"), on API 'connect'");
  EXPECT_STREQ(SocketError(kSockErrAddrInUse, "bind").what(),
               ("Windows socket error: Address already in use (" + std::to_string(kSockErrAddrInUse) +
                "), on API 'bind'")
                   .c_str());
}

TEST(SocketError, ListenOnAPortInUseFailsInBind) {
  Sockets owned;
  SocketHandle first = owned.Add(SocketListen("127.0.0.1", 0, 5));
  std::uint16_t port = SocketLocalAddress(first).port;
  try {
    owned.Add(SocketListen("127.0.0.1", port, 5));
    ADD_FAILURE() << "a second listener took the port";
  } catch (const SocketError& e) {
    EXPECT_EQ(e.Api(), "bind");
    EXPECT_EQ(e.Code(), kSockErrAddrInUse);
    EXPECT_NE(std::string(e.what()).find("on API 'bind'"), std::string::npos);
  }
}

TEST(SocketError, AddressesThatAreNotDottedIPv4LiteralsAreRejected) {
  struct Case {
    std::string addr, bind_addr, api;
  };
  const Case cases[] = {
      {"localhost", "", "connect"},
      {"127.1", "", "connect"},
      {"256.0.0.1", "", "connect"},
      {"", "", "connect"},
      {" 127.0.0.1", "", "connect"},
      {"127.0.0.1 ", "", "connect"},
      {std::string("127.0.0.1\0x", 11), "", "connect"},
      {"127.0.0.1", "me", "bind"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.addr + " / " + c.bind_addr);
    try {
      SocketHandle s = SocketConnect(c.addr, 1, c.bind_addr);
      SocketClose(s);
      ADD_FAILURE() << "accepted";
    } catch (const SocketError& e) {
      EXPECT_EQ(e.Api(), c.api);
      EXPECT_EQ(e.Code(), EINVAL);
    }
  }
  EXPECT_THROW(SocketListen("1.2.3.400", 0, 5), SocketError);
}

}  // namespace
}  // namespace axg
