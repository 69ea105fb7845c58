// The Win32 message loop as the host sees it: inside 1C nothing of ours runs a
// loop; the host's own GetMessage/DispatchMessage loop pumps the thread's hidden
// window, and every socket notification, timer tick and posted call must arrive
// through it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/message_loop.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/win32/dotted_ipv4.h"
#include "platform/win32/tick_count.h"
#include "platform/win32/win32_util.h"

namespace axg {
namespace {

constexpr DWORD kBoundMs = 5000;

// The host's loop: plain GetMessage and DispatchMessage until done() holds, with a
// bound. A one-second system timer of its own keeps GetMessage from blocking
// forever if nothing of ours arrives.
bool HostLoopUntil(const std::function<bool()>& done) {
  const UINT_PTR guard = SetTimer(nullptr, 0, 50, nullptr);
  const DWORD start = GetTickCount();
  MSG msg;
  while (!done() && win32::MillisecondsLeft(start, kBoundMs) > 0 && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  KillTimer(nullptr, guard);
  return done();
}

TEST(HostPumpedLoop, TimerPostAndSocketsArriveThroughTheHostsOwnLoop) {
  MessageLoop& loop = MessageLoop::Current();
  int ticks = 0;
  TimerId timer = loop.StartTimer(10, [&] { ++ticks; });
  bool posted = false;
  loop.Post([&] { posted = true; });
  EXPECT_FALSE(posted) << "a posted call never runs inside Post";

  SocketHandle listener = SocketListen("127.0.0.1", 0, 5);
  const std::uint16_t port = SocketLocalAddress(listener).port;
  SocketHandle server = kInvalidSocket;
  loop.WatchSocket(listener, kSockAccept, [&](unsigned event, int error) {
    EXPECT_EQ(event, kSockAccept);
    EXPECT_EQ(error, 0);
    server = SocketAccept(listener, nullptr);
  });
  bool connected = false;
  SocketHandle client = SocketConnect("127.0.0.1", port);
  loop.WatchSocket(client, kSockConnect | kSockRead, [&](unsigned event, int error) {
    if (event == kSockConnect) connected = error == 0;
  });
  ASSERT_TRUE(HostLoopUntil([&] { return posted && ticks >= 3 && connected && server != kInvalidSocket; }));

  std::string got;
  bool peer_closed = false;
  loop.WatchSocket(server, kSockRead | kSockClose, [&](unsigned event, int) {
    if (event != kSockRead) return;
    char buf[64];
    for (;;) {
      std::ptrdiff_t n = SocketRecv(server, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
      if (n == 0) peer_closed = true;
      if (n <= 0) break;
    }
  });
  ASSERT_EQ(SocketSend(client, "$0001RQ\r\n", 9), 9u);
  SocketClose(client);
  ASSERT_TRUE(HostLoopUntil([&] { return peer_closed; }));
  EXPECT_EQ(got, "$0001RQ\r\n") << "data sent right before the close is read before the end is seen";

  loop.StopTimer(timer);
  loop.UnwatchSocket(server);
  loop.UnwatchSocket(listener);
  SocketClose(server);
  SocketClose(listener);
}

// The system makes WM_TIMER only while no posted message waits: with our
// posted work never letting the queue empty (a busy site), the timers still tick.
TEST(HostPumpedLoop, TimersTickWhilePostedWorkNeverLetsTheQueueEmpty) {
  MessageLoop& loop = MessageLoop::Current();
  int ticks = 0;
  const TimerId timer = loop.StartTimer(10, [&] { ++ticks; });
  bool busy = true;
  std::function<void()> again = [&] {
    if (busy) loop.Post(again);
  };
  loop.Post(again);
  EXPECT_TRUE(HostLoopUntil([&] { return ticks >= 5; })) << ticks;
  busy = false;
  loop.StopTimer(timer);
  loop.RunPending();
}

// A loop that has numbered its timers for months: past the loop's own two and
// the wrap-around, a number still in use is skipped, and every timer ticks as itself.
TEST(HostPumpedLoop, TimerNumbersWrapAroundPastTheLoopsOwnAndThoseInUse) {
  MessageLoop& loop = MessageLoop::Current();
  int ticks[5] = {};
  std::vector<TimerId> timers;
  for (int i = 0; i < 5; ++i) {
    if (i == 1) win32::NumberTimersFrom(~std::uintptr_t(0) - 2);
    if (i == 4) win32::NumberTimersFrom(static_cast<std::uintptr_t>(timers[0]));
    timers.push_back(loop.StartTimer(10, [&, i] { ++ticks[i]; }));
  }
  EXPECT_TRUE(HostLoopUntil([&] { return std::all_of(ticks, ticks + 5, [](int n) { return n >= 2; }); }));
  for (TimerId t : timers) loop.StopTimer(t);
}

TEST(HostPumpedLoop, AReaderThatLeftDataIsToldAgainWhileTheQueueStaysBusy) {
  // A reader may stop before taking what waits (its budget for the turn) and is
  // told again. WM_TIMER comes only while no posted message waits: a queue that
  // never empties, as at a large site, must not hold that back.
  MessageLoop& loop = MessageLoop::Current();
  SocketHandle listener = SocketListen("127.0.0.1", 0, 5);
  SocketHandle client = SocketConnect("127.0.0.1", SocketLocalAddress(listener).port);
  SocketHandle server = kInvalidSocket;
  loop.WatchSocket(listener, kSockAccept, [&](unsigned, int) { server = SocketAccept(listener, nullptr); });
  ASSERT_TRUE(HostLoopUntil([&] { return server != kInvalidSocket; }));
  loop.UnwatchSocket(listener);
  int notified = 0;
  std::string got;
  loop.WatchSocket(server, kSockRead, [&](unsigned, int) {
    if (++notified == 1) return;  // left for later
    char buf[16];
    for (std::ptrdiff_t n; (n = SocketRecv(server, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
  });
  bool busy = true;
  std::function<void()> spin = [&] {
    if (busy) loop.Post(spin);
  };
  loop.Post(spin);
  ASSERT_EQ(SocketSend(client, "PING\r\n", 6), 6u);
  EXPECT_TRUE(HostLoopUntil([&] { return got == "PING\r\n"; })) << notified << " notification(s)";
  busy = false;
  loop.RunPending();  // the last spin, before what it refers to goes
  for (SocketHandle s : {server, client, listener}) SocketClose(s);
}

TEST(HostPumpedLoop, AnExceptionInACallbackStaysOnOurSideOfTheWindowProcedure) {
  MessageLoop& loop = MessageLoop::Current();
  bool after = false;
  loop.Post([] { throw std::runtime_error("handler failed"); });
  loop.Post([] { throw 42; });
  loop.Post([&] { after = true; });
  EXPECT_TRUE(HostLoopUntil([&] { return after; }));
}

TEST(HostPumpedLoop, AnotherThreadsPostWakesTheHostsBlockedLoop) {
  MessageLoop& loop = MessageLoop::Current();
  bool ran = false;
  DWORD ran_on = 0;
  std::thread other([&loop, &ran, &ran_on] {
    Sleep(30);
    loop.Post([&ran, &ran_on] {
      ran = true;
      ran_on = GetCurrentThreadId();
    });
  });
  EXPECT_TRUE(HostLoopUntil([&] { return ran; }));
  other.join();
  EXPECT_EQ(ran_on, GetCurrentThreadId());
}

TEST(HostPumpedLoop, EachThreadHasItsOwnLoopAndWindow) {
  MessageLoop* mine = &MessageLoop::Current();
  MessageLoop* theirs = nullptr;
  bool ticked = false;
  std::thread other([&] {
    theirs = &MessageLoop::Current();
    TimerId id = theirs->StartTimer(5, [&] { ticked = true; });
    theirs->RunUntil([&] { return ticked; }, 2000);
    theirs->StopTimer(id);
  });
  other.join();
  EXPECT_NE(mine, theirs);
  EXPECT_TRUE(ticked);
}

TEST(Win32Loop, StopEndsRunAndAStopWithNothingRunningIsForgotten) {
  MessageLoop& loop = MessageLoop::Current();
  loop.Stop();  // nothing runs: must not end the next Run at once
  int ticks = 0;
  TimerId id = loop.StartTimer(10, [&] {
    if (++ticks == 3) loop.Stop();
  });
  const DWORD t0 = GetTickCount();
  loop.Run();
  loop.StopTimer(id);
  EXPECT_EQ(ticks, 3);
  EXPECT_GT(win32::MillisecondsLeft(t0, kBoundMs), 0u);
}

TEST(Win32Loop, AQuitMessageOfTheHostEndsOurWaitAndStaysForTheHost) {
  MessageLoop& loop = MessageLoop::Current();
  PostQuitMessage(7);
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 2000));
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 7u);
}

TEST(Win32Loop, ARefusedConnectIsReportedOnceWithTheWinsockCode) {
  MessageLoop& loop = MessageLoop::Current();
  SocketHandle probe = SocketListen("127.0.0.1", 0, 1);
  const std::uint16_t port = SocketLocalAddress(probe).port;
  SocketClose(probe);  // nothing listens there any more
  int reports = 0, code = -1;
  SocketHandle s = SocketConnect("127.0.0.1", port);
  loop.WatchSocket(s, kSockConnect | kSockRead | kSockWrite | kSockClose, [&](unsigned event, int error) {
    ++reports;
    EXPECT_EQ(event, kSockConnect);
    code = error;
  });
  ASSERT_TRUE(loop.RunUntil([&] { return reports > 0; }, 5000));
  loop.RunFor(100);
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(code, kSockErrConnRefused);
  EXPECT_EQ(kSockErrConnRefused, WSAECONNREFUSED);
  SocketClose(s);
}

// The system's tick count wraps around every 49.7 days; a wait that spans the
// wrap must neither end at once nor last for ever.
TEST(Win32TickCount, WaitsAreMeasuredFromTheirStartAcrossTheWrapAround) {
  struct Case {
    DWORD start, timeout, now, left;
  };
  const Case cases[] = {
      {1000, 500, 1000, 500},
      {1000, 500, 1499, 1},
      {1000, 500, 1500, 0},
      {1000, 500, 900000, 0},
      {0xFFFFFF00u, 1000, 0xFFFFFFFFu, 745},
      {0xFFFFFF00u, 1000, 0x10u, 728},           // past the wrap, still waiting
      {0xFFFFFF00u, 1000, 0x2E8u, 0},            // past the wrap, over
      {0xFFFFFFFFu, 0xFFFFFFFEu, 0x7FFFFFFFu, 0x7FFFFFFEu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.start << " + " << c.timeout << " at " << c.now);
    EXPECT_EQ(win32::MillisecondsLeft(c.start, c.timeout, c.now), c.left);
  }
}

// The runtime's timed waits take their 64-bit count from the 32-bit one (Windows
// XP has no GetTickCount64): it must go on rising across the wrap.
TEST(Win32TickCount, The64BitCountRisesAcrossTheWrapAround) {
  struct Case {
    std::uint64_t last;
    DWORD now;
    std::uint64_t next;
  };
  const Case cases[] = {
      {0, 0, 0},
      {0, 5, 5},
      {5, 5, 5},
      {0xFFFFFFF0u, 0xFFFFFFFFu, 0xFFFFFFFFu},
      {0xFFFFFFF0u, 0x10, 0x100000010u},
      {0x100000010u, 0x20, 0x100000020u},
      {0x1FFFFFFFFu, 0, 0x200000000u},
      {0x280000000u, 0x7FFFFFFFu, 0x37FFFFFFFu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.last << " then " << c.now);
    EXPECT_EQ(win32::NextTickCount64(c.last, c.now), c.next);
  }
  const std::uint64_t a = win32::TickCount64();
  const DWORD low = GetTickCount();
  const std::uint64_t b = win32::TickCount64();
  EXPECT_LE(a, b);
  EXPECT_LE(static_cast<DWORD>(b) - low, 1000u) << "follows the system's count";
}

TEST(Win32Socket, OnlyDottedDecimalIPv4LiteralsAreAddresses) {
  const std::pair<std::string, std::uint32_t> good[] = {
      {"127.0.0.1", 0x7F000001u}, {"0.0.0.0", 0}, {"255.255.255.255", 0xFFFFFFFFu}, {"10.20.30.40", 0x0A141E28u},
      {"127.0.0.200", 0x7F0000C8u}};
  for (const auto& [text, expected] : good) {
    std::uint32_t address = 1;
    EXPECT_TRUE(win32::ParseDottedIPv4(text, &address)) << text;
    EXPECT_EQ(address, expected) << text;
  }
  const std::string bad[] = {"", "localhost", "127.1", "127.0.1", "1.2.3.4.5", "256.0.0.1", "1.2.3.1000",
                             "1234.1.1.1", "01.2.3.4", "1.2.3.00", "1..3.4", ".1.2.3", "1.2.3.", "+1.2.3.4",
                             "-1.2.3.4", " 1.2.3.4", "1.2.3.4 ", "1.2.3.4\n", "0x7f.0.0.1", "1.2.3.4a",
                             std::string("127.0.0.1\0x", 11), std::string("127.0.0.1\0", 10)};
  for (const std::string& text : bad) {
    std::uint32_t address = 42;
    EXPECT_FALSE(win32::ParseDottedIPv4(text, &address)) << text;
    EXPECT_EQ(address, 42u) << "changed by a rejected text: " << text;
  }
  // Sockets take exactly these: a refused text fails with WSAEINVAL before any
  // socket is made.
  try {
    SocketClose(SocketConnect("127.0.0.010", 1));
    ADD_FAILURE() << "a leading zero was accepted";
  } catch (const SocketError& e) {
    EXPECT_EQ(e.Code(), WSAEINVAL);
  }
  SocketHandle s = SocketListen("127.0.0.1", 0, 1);
  EXPECT_EQ(SocketLocalAddress(s).addr, "127.0.0.1");
  SocketClose(s);
}

TEST(Win32Socket, ErrorTextComesFromTheSystem) {
  const std::u16string text = SocketErrorText(WSAECONNREFUSED);
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text.back(), u'\n');
  SocketError e(WSAEADDRINUSE, "bind");
  EXPECT_EQ(e.Message(), u"Windows socket error: " + SocketErrorText(WSAEADDRINUSE) + u" (10048), on API 'bind'");
}

}  // namespace
}  // namespace axg
