// The message loop of a thread on Windows: the thread's own message queue. A
// hidden message-only window per thread receives the WSAAsyncSelect socket
// notifications, WM_TIMER for the timers and a message for posted calls. Inside
// the host, the host's own loop pumps that window; Run, RunFor, RunUntil and
// RunPending pump the same queue for the tools and tests.
//
// The system makes WM_TIMER only while no posted message waits, and socket
// notifications and posted calls are posted messages: under sustained traffic
// the timers would never fire. So each timer also keeps its deadline, and so do
// the loop's own second looks at sockets; after each message of the window the
// loop catches up with whatever a busy queue has left waiting past its deadline
// (CatchUp), and with posted calls whose message the system would not queue.
#include "platform/message_loop.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/error.h"
#include "platform/text.h"
#include "platform/win32/thread_slot.h"
#include "platform/win32/win32_util.h"

namespace axg {
namespace {

constexpr UINT kMsgPosted = WM_APP;      // the posted-call queue has work
constexpr UINT kMsgWake = WM_APP + 1;    // Stop(): let a waiting Run look at its flag
constexpr UINT kMsgTurnEnd = WM_APP + 2; // RunPending: everything queued before it is this turn's
// The timer that looks again at sockets left readable after their notification.
constexpr UINT_PTR kRecheckTimer = ~static_cast<UINT_PTR>(0);
// The timer that runs posted calls whose message could not be posted.
constexpr UINT_PTR kPostedTimer = ~static_cast<UINT_PTR>(0) - 1;
// A recheck this late is done after the next message of the window instead:
// WM_TIMER comes only while no posted message waits, so a busy queue would hold
// it back for as long as it stays busy.
constexpr auto kCatchUpAfter = std::chrono::milliseconds(20);
// The sweep's timers are numbered from 1 up, below the loop's own two.
constexpr UINT_PTR kLastTimerId = kPostedTimer - 1;
// Each watch of a socket gets its own message number from this range, so a
// notification that was already queued for an earlier watch of the same handle
// value (sockets are reused quickly) is recognised and dropped.
constexpr UINT kMsgSocketFirst = WM_APP + 0x10;
constexpr UINT kMsgSocketLast = 0xBFFF;

// Deadlines of RunFor and RunUntil: the tick count moves in steps of up to 16 ms
// on Windows, too coarse for waits of a few milliseconds.
using Steady = std::chrono::steady_clock;
// How long past its interval a timer may wait for WM_TIMER before it fires
// anyway (at least its own interval): more than the system timer's resolution,
// so that a timer the system serves is never fired twice.
constexpr std::chrono::milliseconds kTimerSlack{20};

constexpr long kAllSocketEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr wchar_t kClassName[] = L"axg.MessageLoop";

// One line on standard error (the tools) and the debugger's output (inside the
// host). Said where nothing may escape, out of memory included: without the
// memory for the whole line the debugger gets a shorter one.
void Say(const char* what, const char* detail) noexcept {
  std::fprintf(stderr, "ax_gate: message loop: %s%s\n", what, detail);
  std::fflush(stderr);
  try {
    const std::u16string line = FromUtf8(std::string("ax_gate: message loop: ") + what + detail + "\n");
    OutputDebugStringW(reinterpret_cast<const wchar_t*>(line.c_str()));
  } catch (...) {
    OutputDebugStringA("ax_gate: message loop: out of memory\n");
  }
}

// Nothing that a callback throws may cross the window procedure: the system's
// frames in between cannot be unwound. It is reported on one line and the loop
// carries on with the next notification.
void ReportEscaped(const char* what) noexcept { Say("callback failed: ", what); }

// A message the system would not queue (the thread's queue holds 10 000 posted
// messages on Windows) or a watch it would not register: what waited on it is
// taken another way, and the failure is told once per run of failures.
void ReportQueueTrouble(const char* what, DWORD code, bool* told) noexcept {
  if (*told) return;
  *told = true;
  std::string why;
  try {
    why = ": " + ToUtf8(win32::SystemErrorText(code)) + "; taken by a timer instead";
  } catch (...) {
  }
  Say(what, why.c_str());
}

template <typename Fn>
void Guarded(Fn&& fn) noexcept {
  try {
    fn();
  } catch (const std::exception& e) {
    ReportEscaped(e.what());
  } catch (...) {
    ReportEscaped("unknown exception");
  }
}

class Win32Loop final : public MessageLoop {
 public:
  Win32Loop();
  ~Win32Loop() override;

  void WatchSocket(SocketHandle s, unsigned events, SocketCallback cb) override;
  void UpdateSocket(SocketHandle s, unsigned events) override;
  void UnwatchSocket(SocketHandle s) override;
  TimerId StartTimer(unsigned interval_ms, std::function<void()> cb) override;
  void StopTimer(TimerId id) override;
  void Post(std::function<void()> fn) override;
  void Run() override;
  void RunFor(unsigned ms) override;
  bool RunUntil(const std::function<bool()>& done, unsigned timeout_ms) override;
  void Stop() override;
  bool RunPending() override;

  // Forgets a socket's watch (closing a socket calls it).
  void Drop(SocketHandle s) noexcept;
  void NoteDrained(SocketHandle s) noexcept { drained_ = s; }
  void NumberTimersFrom(UINT_PTR id) noexcept { next_timer_ = id; }

 private:
  struct Watch {
    UINT message;
    unsigned events;
    SocketCallback cb;
    bool connect_failed = false;  // a failed connect ends all notifications of the watch
    bool close_delivered = false;  // kSockClose comes once
  };

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
  void OnSocket(UINT msg, SocketHandle s, unsigned fd_event, int error);
  void Deliver(SocketHandle s, UINT msg, unsigned event, int error);
  void OnTimer(UINT_PTR id);
  void OnPosted();
  // Posts kMsgPosted, from any thread; false if the system would not queue it.
  bool SignalPosted();
  void PostReadyNow(SocketHandle s, const std::shared_ptr<Watch>& w, unsigned added);
  bool PostNotification(SocketHandle s, UINT message, long fd_event, int error);
  void RecheckLater(SocketHandle s, const std::shared_ptr<Watch>& w, unsigned event);
  // Looks at the socket again soon (the recheck timer) for these events.
  void AddRecheck(SocketHandle s, const std::shared_ptr<Watch>& w, unsigned events);
  void OnRecheck();
  // After each message of the window: posted calls whose message the system
  // would not queue, then the recheck and the timers that a busy queue has kept
  // waiting past their deadlines (see the top of this file).
  void CatchUp();
  // Takes one message from the queue and dispatches it. False when the queue is
  // empty, or on WM_QUIT, which is put back for the owner of the outer loop.
  bool PumpOne(bool* quit);
  // Waits for the next message, at most until the deadline; false once it has passed.
  bool Wait(Steady::time_point deadline);
  // Every callback is called through here: the guard above, timed for Stats().
  template <typename Fn>
  void Guarded(Fn&& fn) noexcept {
    CallbackTiming timing(*this);
    axg::Guarded(std::forward<Fn>(fn));
  }

  HWND hwnd_ = nullptr;
  DWORD thread_ = GetCurrentThreadId();
  UINT next_message_ = kMsgSocketFirst;
  std::unordered_map<SocketHandle, std::shared_ptr<Watch>> sockets_;
  struct TimerRec {
    std::shared_ptr<std::function<void()>> cb;
    std::chrono::milliseconds interval;
    Steady::time_point late;  // past this the tick is overdue, WM_TIMER or not
  };
  std::unordered_map<UINT_PTR, TimerRec> timers_;
  // The earliest deadline of the timers and the recheck: CatchUp looks no further before it.
  Steady::time_point next_late_ = Steady::time_point::max();
  // Sockets to look at again when the recheck timer fires, with the watch seen
  // and the events to look for.
  struct Recheck {
    std::weak_ptr<Watch> watch;
    unsigned events = 0;
  };
  std::unordered_map<SocketHandle, Recheck> recheck_;
  bool recheck_armed_ = false;
  Steady::time_point recheck_since_;
  bool told_notify_ = false;  // a notification could not be posted (told once)
  bool told_timer_ = false;   // the recheck timer could not be started (told once)
  // The socket whose read or accept last said WSAEWOULDBLOCK in a callback.
  SocketHandle drained_ = kInvalidSocket;
  std::uint64_t callbacks_run_ = 0;  // tells RunPending whether anything ran
  WPARAM turn_ = 0;
  UINT_PTR next_timer_ = 1;
  // Post() may be called from any thread (a serial line's reader thread does).
  std::mutex post_mutex_;
  std::deque<std::function<void()>> posted_;
  bool post_signalled_ = false;
  bool told_post_ = false;  // kMsgPosted could not be posted (told once)
  // Calls wait in posted_ with no kMsgPosted queued for them: the posted timer or
  // the window's next message (CatchUp) runs them.
  std::atomic<bool> post_stranded_{false};
  bool post_timer_armed_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> depth_{0};  // Run, RunFor and RunUntil in progress
};

// Counts a running Run, RunFor or RunUntil; Stop() outside of one does nothing.
struct Running {
  std::atomic<int>& depth;
  explicit Running(std::atomic<int>& d) : depth(d) { ++depth; }
  ~Running() { --depth; }
};

// What the loops of this module share: the window class, and the thread slot
// that holds each thread's loop. The slot destroys a thread's loop when the
// thread ends (C++ thread_local destructors run after the storage of a mingw
// thread is already gone, so they cannot be used for this), and the loops that
// are left when the module goes away, so no window of ours outlives the code of
// its window procedure.
class LoopModule {
 public:
  LoopModule() { slot_.emplace(&FreeLoop); }
  ~LoopModule() {
    slot_.reset();  // the loops go before their window class
    if (atom_) UnregisterClassW(kClassName, win32::ThisModule());
  }
  LoopModule(const LoopModule&) = delete;
  LoopModule& operator=(const LoopModule&) = delete;

  win32::ThreadSlot& Slot() { return *slot_; }

  void RegisterClassOnce(WNDPROC proc) {
    if (atom_) return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = win32::ThisModule();
    wc.lpszClassName = kClassName;
    ATOM atom = RegisterClassExW(&wc);
    if (!atom && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
      // Left behind by an earlier load of this module that could not remove it:
      // its procedure address may be stale, so register afresh.
      UnregisterClassW(kClassName, wc.hInstance);
      atom = RegisterClassExW(&wc);
    }
    if (!atom) throw Error(u"Cannot register the message window class: " + win32::SystemErrorText(GetLastError()));
    atom_ = atom;
  }

 private:
  static void FreeLoop(void* loop);
  std::optional<win32::ThreadSlot> slot_;
  ATOM atom_ = 0;
};

LoopModule& TheModule() {
  static LoopModule module;
  return module;
}

Win32Loop::Win32Loop() {
  TheModule().RegisterClassOnce(&WindowProc);
  hwnd_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, win32::ThisModule(), nullptr);
  if (!hwnd_) throw Error(u"Cannot create the message window: " + win32::SystemErrorText(GetLastError()));
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32Loop::~Win32Loop() {
  if (!hwnd_) return;
  for (auto& [s, w] : sockets_) WSAAsyncSelect(static_cast<SOCKET>(s), hwnd_, 0, 0);
  for (auto& [id, t] : timers_) KillTimer(hwnd_, id);
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  if (GetCurrentThreadId() == thread_) {
    DestroyWindow(hwnd_);
    return;
  }
  // A window can only be destroyed by its own thread. On another one (the module
  // unloading on the thread that held it last, a worker of ours, or process
  // shutdown) the window is handed to the system's own procedure, so that nothing
  // reaches this module's code once it is unmapped, and its owner's loop closes it.
  SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcW));
  PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

// The loop's own work around the callbacks (which are guarded each) is guarded
// as a whole too: nothing crosses into the system's frames.
LRESULT CALLBACK Win32Loop::WindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) try {
  auto* self = reinterpret_cast<Win32Loop*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, msg, wparam, lparam);
  LRESULT result = 0;
  if (msg >= kMsgSocketFirst && msg <= kMsgSocketLast) {
    self->OnSocket(msg, static_cast<SocketHandle>(wparam), WSAGETSELECTEVENT(lparam), WSAGETSELECTERROR(lparam));
  } else {
    switch (msg) {
      case WM_TIMER:
        if (wparam == kRecheckTimer) self->OnRecheck();
        else if (wparam == kPostedTimer) self->OnPosted();
        else self->OnTimer(wparam);
        break;
      case kMsgPosted:
        self->OnPosted();
        break;
      case kMsgWake:
      case kMsgTurnEnd:
        break;
      default:
        result = DefWindowProcW(hwnd, msg, wparam, lparam);
        break;
    }
  }
  self->CatchUp();
  return result;
} catch (const std::exception& e) {
  ReportEscaped(e.what());
  return 0;
} catch (...) {
  ReportEscaped("unknown exception");
  return 0;
}

void Win32Loop::OnSocket(UINT msg, SocketHandle s, unsigned fd_event, int error) {
  switch (fd_event) {
    case FD_READ: Deliver(s, msg, kSockRead, error); break;
    case FD_WRITE: Deliver(s, msg, kSockWrite, error); break;
    case FD_ACCEPT: Deliver(s, msg, kSockAccept, error); break;
    case FD_CONNECT: Deliver(s, msg, kSockConnect, error); break;
    case FD_CLOSE:
      // Winsock may report the close while data is still unread, and it sends no
      // FD_READ for the end of the stream. A reader is told to read first, so it
      // takes the rest and sees the end itself, as with a readable socket on
      // other systems; then the close goes to whoever still watches it.
      Deliver(s, msg, kSockRead, 0);
      Deliver(s, msg, kSockClose, error);
      break;
    default: break;
  }
}

void Win32Loop::Deliver(SocketHandle s, UINT msg, unsigned event, int error) {
  auto it = sockets_.find(s);
  if (it == sockets_.end() || it->second->message != msg) return;  // unwatched, or an earlier watch
  std::shared_ptr<Watch> w = it->second;  // the callback may unwatch itself
  if (!(w->events & event) || w->connect_failed) return;
  if (event == kSockConnect) {
    w->events &= ~kSockConnect;  // once per connect
    w->connect_failed = error != 0;
  }
  if (event == kSockClose) {
    if (w->close_delivered) return;
    w->close_delivered = true;
  }
  ++callbacks_run_;
  drained_ = kInvalidSocket;
  Guarded([&] { w->cb(event, error); });
  // A reader that took everything needs no second look (each costs a call into
  // the system, a round trip to the server under Wine).
  if ((event == kSockRead || event == kSockAccept) && drained_ != s) RecheckLater(s, w, event);
}

void Win32Loop::RecheckLater(SocketHandle s, const std::shared_ptr<Watch>& w, unsigned event) {
  // Winsock tells of readable data once, until the next recv, and of the end of
  // the stream once. A reader that stopped early (a budget, an error escaping it,
  // the end left for later) is told again, as a level-triggered loop would, but
  // through a timer: a posted message would come before the host's input and
  // paint messages every time.
  auto it = sockets_.find(s);
  if (it == sockets_.end() || it->second != w || !(w->events & event)) return;
  fd_set rd;
  FD_ZERO(&rd);
  FD_SET(static_cast<SOCKET>(s), &rd);
  timeval zero{0, 0};
  if (select(0, &rd, nullptr, nullptr, &zero) != 1) return;
  AddRecheck(s, w, event);
}

void Win32Loop::AddRecheck(SocketHandle s, const std::shared_ptr<Watch>& w, unsigned events) {
  Recheck& r = recheck_[s];
  if (r.watch.lock() != w) r = Recheck{w, 0};
  r.events |= events;
  if (recheck_armed_) return;
  recheck_armed_ = true;
  recheck_since_ = Steady::now();
  next_late_ = std::min(next_late_, recheck_since_ + kCatchUpAfter);
  // Without the timer, the window's next message takes the recheck (CatchUp).
  if (!SetTimer(hwnd_, kRecheckTimer, USER_TIMER_MINIMUM, nullptr))
    ReportQueueTrouble("cannot start the recheck timer", GetLastError(), &told_timer_);
}

void Win32Loop::OnRecheck() {
  KillTimer(hwnd_, kRecheckTimer);
  recheck_armed_ = false;
  std::unordered_map<SocketHandle, Recheck> due;
  due.swap(recheck_);
  for (auto& [s, r] : due) {
    std::shared_ptr<Watch> w = r.watch.lock();
    auto it = sockets_.find(s);
    if (!w || it == sockets_.end() || it->second != w) continue;  // unwatched or watched anew meanwhile
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(static_cast<SOCKET>(s), &rd);
    FD_SET(static_cast<SOCKET>(s), &wr);
    FD_SET(static_cast<SOCKET>(s), &ex);
    timeval zero{0, 0};
    if (select(0, &rd, &wr, &ex, &zero) <= 0) continue;
    const bool readable = FD_ISSET(static_cast<SOCKET>(s), &rd);
    const bool writable = FD_ISSET(static_cast<SOCKET>(s), &wr);
    const bool failed = FD_ISSET(static_cast<SOCKET>(s), &ex);
    // Each delivery may end the watch; Deliver looks it up again every time.
    if ((r.events & kSockConnect) && (writable || failed))
      Deliver(s, w->message, kSockConnect, failed ? SocketPendingError(s) : 0);
    if (readable && (r.events & (kSockAccept | kSockRead))) {
      if (w->events & kSockAccept) Deliver(s, w->message, kSockAccept, 0);
      if (w->events & kSockRead) Deliver(s, w->message, kSockRead, 0);
    }
    if ((r.events & kSockWrite) && writable && !(r.events & kSockConnect)) Deliver(s, w->message, kSockWrite, 0);
  }
}

void Win32Loop::CatchUp() {
  if (post_stranded_.load()) OnPosted();
  const Steady::time_point now = Steady::now();
  if (now < next_late_) return;
  if (recheck_armed_ && now - recheck_since_ >= kCatchUpAfter) OnRecheck();
  std::vector<UINT_PTR> due;
  next_late_ = recheck_armed_ ? recheck_since_ + kCatchUpAfter : Steady::time_point::max();
  for (const auto& [id, rec] : timers_) {
    if (now >= rec.late) due.push_back(id);
    else next_late_ = std::min(next_late_, rec.late);
  }
  for (UINT_PTR id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // an earlier tick stopped it
    // The system's countdown starts afresh with this tick, as after a WM_TIMER.
    SetTimer(hwnd_, id, static_cast<UINT>(it->second.interval.count()), nullptr);
    OnTimer(id);
    it = timers_.find(id);
    if (it != timers_.end()) next_late_ = std::min(next_late_, it->second.late);
  }
}

bool Win32Loop::PostNotification(SocketHandle s, UINT message, long fd_event, int error) {
  if (PostMessageW(hwnd_, message, static_cast<WPARAM>(s), WSAMAKESELECTREPLY(fd_event, error))) {
    told_notify_ = false;
    return true;
  }
  ReportQueueTrouble("cannot post a socket notification", GetLastError(), &told_notify_);
  return false;
}

void Win32Loop::PostReadyNow(SocketHandle s, const std::shared_ptr<Watch>& w, unsigned added) {
  // Winsock posts FD_READ, FD_ACCEPT and FD_CONNECT once per condition, and
  // FD_WRITE only after a send met a full buffer; a condition that arose before
  // the watch asked for it would never be reported. Look now and report what
  // already holds; a duplicate of a message Winsock posts as well is harmless
  // (a read finds nothing, a connect is reported only once). What cannot be
  // posted is looked at again by the recheck.
  if (!(added & (kSockRead | kSockAccept | kSockWrite | kSockConnect))) return;
  fd_set rd, wr, ex;
  FD_ZERO(&rd);
  FD_ZERO(&wr);
  FD_ZERO(&ex);
  FD_SET(static_cast<SOCKET>(s), &rd);
  FD_SET(static_cast<SOCKET>(s), &wr);
  FD_SET(static_cast<SOCKET>(s), &ex);
  timeval zero{0, 0};
  if (select(0, &rd, &wr, &ex, &zero) <= 0) return;
  const bool readable = FD_ISSET(static_cast<SOCKET>(s), &rd);
  const bool writable = FD_ISSET(static_cast<SOCKET>(s), &wr);
  const bool failed = FD_ISSET(static_cast<SOCKET>(s), &ex);
  unsigned missed = 0;
  if ((added & kSockConnect) && (writable || failed) &&
      !PostNotification(s, w->message, FD_CONNECT, failed ? SocketPendingError(s) : 0))
    missed |= kSockConnect;
  if ((added & kSockAccept) && readable && !PostNotification(s, w->message, FD_ACCEPT, 0)) missed |= kSockAccept;
  if ((added & kSockRead) && readable && !PostNotification(s, w->message, FD_READ, 0)) missed |= kSockRead;
  if ((added & kSockWrite) && writable && !(added & kSockConnect) && !PostNotification(s, w->message, FD_WRITE, 0))
    missed |= kSockWrite;
  if (missed) AddRecheck(s, w, missed);
}

void Win32Loop::WatchSocket(SocketHandle s, unsigned events, SocketCallback cb) {
  auto w = std::make_shared<Watch>();
  w->message = next_message_;
  next_message_ = next_message_ == kMsgSocketLast ? kMsgSocketFirst : next_message_ + 1;
  w->events = events;
  w->cb = std::move(cb);
  // Winsock reports everything; the watch's mask decides what is delivered, so a
  // mask changed later needs no new registration (which would re-post events).
  if (WSAAsyncSelect(static_cast<SOCKET>(s), hwnd_, w->message, kAllSocketEvents) != 0)
    throw SocketError(WSAGetLastError(), "WSAAsyncSelect");
  sockets_[s] = w;
  PostReadyNow(s, w, events);
}

void Win32Loop::UpdateSocket(SocketHandle s, unsigned events) {
  auto it = sockets_.find(s);
  if (it == sockets_.end()) return;
  const unsigned added = events & ~it->second->events;
  it->second->events = events;
  PostReadyNow(s, it->second, added);
}

void Win32Loop::UnwatchSocket(SocketHandle s) { Drop(s); }

void Win32Loop::Drop(SocketHandle s) noexcept {
  auto it = sockets_.find(s);
  if (it == sockets_.end()) return;
  // Fails harmlessly on a closed socket. Otherwise Winsock goes on posting under
  // the old watch's message, which finds no watch and is dropped: nothing waits
  // on it, but it is told.
  if (WSAAsyncSelect(static_cast<SOCKET>(s), hwnd_, 0, 0) != 0) {
    const int code = WSAGetLastError();
    if (code != WSAENOTSOCK) ReportQueueTrouble("cannot end a socket's notifications", code, &told_notify_);
  }
  sockets_.erase(it);
}

TimerId Win32Loop::StartTimer(unsigned interval_ms, std::function<void()> cb) {
  // After a wrap-around (the i686 ids are 32 bits, and the sweep restarts its
  // timer at every keep-alive) an id may still be in use, or be one of the loop's own.
  UINT_PTR id = next_timer_;
  while (timers_.count(id) != 0 || id == 0 || id > kLastTimerId) id = id >= kLastTimerId ? 1 : id + 1;
  next_timer_ = id == kLastTimerId ? 1 : id + 1;
  if (!SetTimer(hwnd_, id, interval_ms, nullptr))
    throw Error(u"Cannot start a timer: " + win32::SystemErrorText(GetLastError()));
  const std::chrono::milliseconds interval(interval_ms);
  const Steady::time_point late = Steady::now() + interval + std::max(interval, kTimerSlack);
  timers_[id] = TimerRec{std::make_shared<std::function<void()>>(std::move(cb)), interval, late};
  next_late_ = std::min(next_late_, late);
  return id;
}

void Win32Loop::StopTimer(TimerId id) {
  auto it = timers_.find(static_cast<UINT_PTR>(id));
  if (it == timers_.end()) return;
  KillTimer(hwnd_, it->first);
  timers_.erase(it);  // a WM_TIMER already queued for it finds nothing
}

void Win32Loop::OnTimer(UINT_PTR id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  TimerRec& rec = it->second;
  rec.late = Steady::now() + rec.interval + std::max(rec.interval, kTimerSlack);
  std::shared_ptr<std::function<void()>> cb = rec.cb;  // the tick may stop its own timer
  ++callbacks_run_;
  Guarded([&] { (*cb)(); });
}

void Win32Loop::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(post_mutex_);
    posted_.push_back(std::move(fn));
    if (post_signalled_) return;
  }
  if (SignalPosted()) return;
  if (GetCurrentThreadId() == thread_) {
    // The owner's timer (WM_TIMER is made, not queued, so a full queue does not
    // refuse it) or, sooner, the window's next message runs the calls.
    if (!post_timer_armed_) post_timer_armed_ = SetTimer(hwnd_, kPostedTimer, USER_TIMER_MINIMUM, nullptr) != 0;
    return;
  }
  // Another thread cannot start the owner's timers: it tries again while the
  // owner drains its queue, up to about a second; past that the owner's next
  // message of this window, or the next Post, takes the calls.
  for (DWORD wait = 1; wait <= 256 && post_stranded_.load(); wait *= 2) {
    Sleep(wait);
    if (post_stranded_.load() && SignalPosted()) return;
  }
}

bool Win32Loop::SignalPosted() {
  std::lock_guard<std::mutex> lock(post_mutex_);
  if (post_signalled_ || posted_.empty()) return true;
  post_signalled_ = PostMessageW(hwnd_, kMsgPosted, 0, 0) != 0;
  if (post_signalled_) {
    post_stranded_.store(false);
    told_post_ = false;
    return true;
  }
  ReportQueueTrouble("cannot post the loop's call message", GetLastError(), &told_post_);
  post_stranded_.store(true);
  return false;
}

void Win32Loop::OnPosted() {
  if (post_timer_armed_) {
    KillTimer(hwnd_, kPostedTimer);
    post_timer_armed_ = false;
  }
  // Calls posted while these run wait for the next turn.
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> lock(post_mutex_);
    batch.swap(posted_);
    post_signalled_ = false;
    post_stranded_.store(false);
  }
  callbacks_run_ += batch.size();
  for (auto& fn : batch) Guarded([&] { fn(); });
}

bool Win32Loop::PumpOne(bool* quit) {
  MSG msg;
  if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
  if (msg.message == WM_QUIT) {
    PostQuitMessage(static_cast<int>(msg.wParam));
    *quit = true;
    return false;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

bool Win32Loop::Wait(Steady::time_point deadline) {
  const auto now = Steady::now();
  if (now >= deadline) return false;
  // Rounded up: waking a little before the deadline would only spin.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  MsgWaitForMultipleObjectsEx(0, nullptr, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left), QS_ALLINPUT,
                              MWMO_INPUTAVAILABLE);
  return true;
}

void Win32Loop::Run() {
  Running running(depth_);
  MSG msg;
  while (!stop_.load()) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that owns WM_QUIT
      break;
    }
    if (got < 0) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  stop_.store(false);
}

void Win32Loop::RunFor(unsigned ms) {
  Running running(depth_);
  const auto deadline = Steady::now() + std::chrono::milliseconds(ms);
  bool quit = false;
  while (!stop_.load() && !quit) {
    while (!stop_.load() && !quit && Steady::now() < deadline && PumpOne(&quit)) {
    }
    if (stop_.load() || quit || !Wait(deadline)) break;
  }
  stop_.store(false);
}

bool Win32Loop::RunUntil(const std::function<bool()>& done, unsigned timeout_ms) {
  Running running(depth_);
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeout_ms);
  bool quit = false;
  while (!done() && !stop_.load() && !quit) {
    if (PumpOne(&quit)) {
      if (Steady::now() >= deadline) break;
      continue;
    }
    if (quit || !Wait(deadline)) break;
  }
  stop_.store(false);
  return done();
}

void Win32Loop::Stop() {
  if (depth_.load() == 0) return;  // nothing runs: there is nothing to stop
  stop_.store(true);
  // The loops look at the flag after every message, so the owner's own Stop
  // needs no wake-up. Another thread's must reach a loop that waits: it tries
  // again while the owner drains its queue.
  if (GetCurrentThreadId() == thread_) return;
  for (DWORD wait = 1; !PostMessageW(hwnd_, kMsgWake, 0, 0) && wait <= 256; wait *= 2) Sleep(wait);
}

bool Win32Loop::RunPending() {
  // One turn: what was queued when it began, then the timers that are due (the
  // system makes WM_TIMER only while no posted message waits). What the callbacks
  // post meanwhile lands behind the marker and waits for the next turn.
  const std::uint64_t before = callbacks_run_;
  const WPARAM turn = ++turn_;
  // Without its marker (a full queue) the turn ends when the queue is empty, or
  // at the bound below.
  const bool marked = PostMessageW(hwnd_, kMsgTurnEnd, turn, 0) != 0;
  MSG msg;
  for (int n = 0; n < 10000 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++n) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return callbacks_run_ != before;
    }
    if (msg.hwnd == hwnd_ && msg.message == kMsgTurnEnd) {
      if (marked && msg.wParam == turn) break;
      continue;  // the marker of an earlier turn that ended early
    }
    // Another window of the thread (the loop of another module in the process,
    // say, whose calls are pumped here too) counts as something that ran.
    if (msg.hwnd != hwnd_) ++callbacks_run_;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  for (int n = 0; n < 1000 && PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE); ++n) {
    if (msg.hwnd != hwnd_) ++callbacks_run_;
    DispatchMessageW(&msg);
  }
  return callbacks_run_ != before;
}

void LoopModule::FreeLoop(void* loop) { delete static_cast<Win32Loop*>(loop); }

Win32Loop* ThisThreadsLoop() { return static_cast<Win32Loop*>(TheModule().Slot().Get()); }

}  // namespace

MessageLoop& MessageLoop::Current() {
  if (Win32Loop* loop = ThisThreadsLoop()) return *loop;
  auto loop = std::make_unique<Win32Loop>();
  TheModule().Slot().Set(loop.get());
  return *loop.release();
}

namespace win32 {

void DropSocketWatch(SocketHandle s) noexcept {
  if (Win32Loop* loop = ThisThreadsLoop()) loop->Drop(s);
}

void NoteSocketDrained(SocketHandle s) noexcept {
  if (Win32Loop* loop = ThisThreadsLoop()) loop->NoteDrained(s);
}

void NumberTimersFrom(std::uintptr_t id) {
  static_cast<Win32Loop&>(MessageLoop::Current()).NumberTimersFrom(static_cast<UINT_PTR>(id));
}

}  // namespace win32

}  // namespace axg
