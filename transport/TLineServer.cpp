#include "transport/TLineServer.h"

#include <algorithm>
#include <limits>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/text.h"

namespace axg {

namespace {

constexpr unsigned kIdleEvents = kSockRead | kSockClose;
// Bytes taken from a socket at a time; another chunk is read only when the
// buffered bytes hold no complete line, so what waits in our buffer stays small
// and the rest waits in the kernel, where TCP flow control holds the peer.
constexpr std::size_t kReadChunk = 4096;
// A line longer than LineLimit is still delivered whole when its end arrives in
// the same burst: reading goes on past the limit while bytes are there, but by
// no more than this, so a peer that never ends its line cannot grow the buffer.
constexpr std::size_t kLongLineReach = 64 * 1024;
// A line handler that never reads its line gets it offered this often, then the
// line is dropped instead of looping for ever.
constexpr int kLineOffers = 8;
// Connections taken from the listening socket per accept notification.
constexpr int kAcceptBudget = 64;
// How often connections held back for sending too fast are looked at again.
constexpr unsigned kRefillMs = 20;
// Buffers larger than this give their memory back once they are empty.
constexpr std::size_t kKeptCapacity = 64 * 1024;

// Runs f; an error escaping it goes to report (the object's background handler).
template <class F, class R>
void RunGuarded(F&& f, R&& report) {
  try {
    f();
  } catch (const std::exception& e) {
    report(e);
  } catch (...) {
    report(Error(u"Unknown error in an event handler"));
  }
}

// Stops watching a socket and closes it; a failure to close has nowhere to go
// from the places that use this (destructors, a closing listener).
void UnwatchAndClose(MessageLoop& loop, SocketHandle s) noexcept {
  loop.UnwatchSocket(s);
  try {
    SocketClose(s);
  } catch (...) {
  }
}

std::uint16_t ErrorCode16(int code) { return static_cast<std::uint16_t>(code & 0xFFFF); }

void GiveBackCapacity(std::string& buffer) {
  if (buffer.empty() && buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
}

template <class C>
void EraseValue(C& c, TLineConnection* v) {
  c.erase(std::remove(c.begin(), c.end(), v), c.end());
}

}  // namespace

// ---------------------------------------------------------------- connection

TLineConnection::TLineConnection(TComponent* AOwner)
    : TComponent(AOwner), loop_(&MessageLoop::Current()) {}

TLineConnection::~TLineConnection() {
  life_.reset();
  if (socket_ != kInvalidSocket) {
    UnwatchAndClose(*loop_, socket_);
    socket_ = kInvalidSocket;
  }
  if (server_) {
    if (attached_) server_->broadcast_.Detach(broadcast_pos_);
    server_->ConnectionDestroyed(this);
  }
}

std::u16string TLineConnection::GetXAddr() const {
  if (socket_ == kInvalidSocket) return {};
  try {
    return FromUtf8(SocketLocalAddress(socket_).addr);
  } catch (const std::exception&) {
    return {};
  }
}

std::u16string TLineConnection::GetXPort() const {
  if (socket_ == kInvalidSocket) return {};
  try {
    return IntToStr(SocketLocalAddress(socket_).port);
  } catch (const std::exception&) {
    return {};
  }
}

// Only the server accepts a connection, so while it is connected it has its
// server; only Shut and the destructor can meet one without.
void TLineConnection::Accept(SocketHandle s, const SocketAddress& peer) {
  socket_ = s;
  state_ = wsConnected;
  peer_addr_ = FromUtf8(peer.addr);
  peer_port_ = IntToStr(peer.port);
  tokens_ = std::max(server_->LineBurst, 1);
  broadcast_pos_ = server_->broadcast_.End();
  tokens_at_ = CurrentClock().MonotonicMs();
  loop_->WatchSocket(s, kIdleEvents, [this](unsigned event, int error) { OnSocket(event, error); });
  Reattach();
}

template <class F>
void TLineConnection::Guarded(F&& f) {
  RunGuarded(std::forward<F>(f), [this](const std::exception& e) { HandleBgException(e); });
}

void TLineConnection::HandleBgException(const std::exception& E) {
  std::weak_ptr<int> alive = life_;
  bool CanClose = true;
  if (OnBgException) {
    try {
      OnBgException(this, E, CanClose);
    } catch (...) {
      CanClose = true;
    }
  }
  if (!alive.expired() && CanClose) Abort();
}

void TLineConnection::OnSocket(unsigned event, int error) {
  if (event & kSockWrite) {
    Flush(true);
    return;
  }
  if (event & kSockClose) {
    // What arrived before the end is still delivered; the read then sees the end.
    close_seen_ = true;
    end_error_ = error;
  } else if (!(event & kSockRead)) {
    return;
  }
  if (paused_ || state_ != wsConnected) return;  // its turn comes from the server's list
  if (!server_->SliceHasRoom(server_->budget_.Used())) {
    server_->Schedule(this, false);
    return;
  }
  std::weak_ptr<int> alive = life_;
  const SliceEnd end = ServeSlice();
  if (!alive.expired()) AfterSlice(end);
}

void TLineConnection::AfterSlice(SliceEnd end) {
  if (state_ != wsConnected) return;
  switch (end) {
    case SliceEnd::kIdle:
      SetReading(true);
      break;
    case SliceEnd::kMore:
      server_->Schedule(this, false);
      break;
    case SliceEnd::kThrottled:
      server_->Schedule(this, true);
      break;
    case SliceEnd::kGone:
      break;
  }
}

// The slice counts what its lines cost the server's budget, the extra messages
// their handlers charge included, so neither the slice nor the turn runs over.
TLineConnection::SliceEnd TLineConnection::ServeSlice() {
  std::weak_ptr<int> alive = life_;
  const int start = server_->budget_.Used();
  // Judges the buffered start of a line against the limit; false when the
  // connection went on the way.
  auto judge = [&] {
    unchecked_ = false;
    CheckLineLimit();
    return !alive.expired() && state_ == wsConnected;
  };
  for (;;) {
    if (state_ != wsConnected) return SliceEnd::kGone;
    if (LineMode) {
      if (const std::size_t length = NextLineLength(); length > 0) {
        if (!server_->SliceHasRoom(start)) return SliceEnd::kMore;
        if (!TakeLineToken()) return SliceEnd::kThrottled;
        server_->CountLine();
        if (!DeliverLine(length)) return SliceEnd::kGone;
        AnswerPeer();
        continue;
      }
      // Nothing complete is buffered: what is there now is the start of a line.
      // It is judged once everything that has arrived is read (below), so that
      // a line cut by the size of a read is not taken for a long one; a start
      // that runs on far past the limit is judged at once.
      if (unchecked_ && PastLineLimit(kLongLineReach) && !judge()) return SliceEnd::kGone;
    } else if (!server_->SliceHasRoom(start)) {
      return SliceEnd::kMore;
    }
    if (peer_ended_) {
      Shut(true, end_error_);
      return SliceEnd::kGone;
    }
    bool ended = false;
    if (!ReadChunk(ended)) {
      if (alive.expired()) return SliceEnd::kGone;
      if (LineMode && unchecked_ && !judge()) return SliceEnd::kGone;
      if (!ended) return SliceEnd::kIdle;
      peer_ended_ = true;
      continue;
    }
    if (!LineMode) {
      // Raw mode: every chunk that arrives is one notification.
      server_->CountLine();
      RaiseDataAvailable();
      if (alive.expired()) return SliceEnd::kGone;
      AnswerPeer();
    }
  }
}

bool TLineConnection::ReadChunk(bool& ended) {
  char buf[kReadChunk];
  std::ptrdiff_t n = 0;
  try {
    n = SocketRecv(socket_, buf, sizeof buf);
  } catch (const SocketError& e) {
    ended = true;
    end_error_ = e.Code();
    return false;
  }
  if (n <= 0) {
    ended = n == 0 || close_seen_;
    return false;
  }
  AppendReceived(buf, static_cast<std::size_t>(n));
  unchecked_ = true;
  if (LineEcho && LineMode) {
    std::weak_ptr<int> alive = life_;
    Guarded([&] { SendBytes(std::string(buf, static_cast<std::size_t>(n))); });
    if (alive.expired() || state_ != wsConnected) return false;
  }
  return true;
}

void TLineConnection::AppendReceived(const char* data, std::size_t len) {
  const bool edit = LineMode && LineEdit;
  for (std::size_t i = 0; i < len; ++i) {
    const char b = data[i];
    if (edit && b == '\b') {
      if (!received_.empty()) received_.pop_back();
    } else if (edit && b == '\t') {
      do {
        received_ += ' ';
      } while (received_.size() % 8 != 0);
    } else {
      received_ += b;
    }
  }
}

std::size_t TLineConnection::NextLineLength() const {
  if (LineEnd.empty()) return 0;
  const std::size_t end = received_.find(LineEnd);
  return end == std::string::npos ? 0 : end + LineEnd.size();
}

bool TLineConnection::DeliverLine(std::size_t length) {
  std::weak_ptr<int> alive = life_;
  line_len_ = length;
  line_read_ = false;
  for (int offer = 0; OnDataAvailable && !line_read_ && offer < kLineOffers; ++offer) {
    Guarded([this] { OnDataAvailable(this, 0); });
    if (alive.expired()) return false;
    if (state_ != wsConnected) break;
  }
  if (!line_read_) received_.erase(0, std::min(length, received_.size()));
  line_len_ = 0;
  GiveBackCapacity(received_);
  return true;
}

// Broadcast bytes a line made the server owe its own peer go out with the
// connection's write at the end of the turn instead of within the coalescing
// interval. The peer's TCP then hears back at once: a device whose stack holds
// small writes until the previous one is acknowledged (Nagle) would otherwise
// keep its next line until our side's delayed acknowledgement.
void TLineConnection::AnswerPeer() {
  if (state_ == wsConnected && broadcast_pos_ < server_->broadcast_.End()) server_->FlushDue(this);
}

void TLineConnection::RaiseDataAvailable() {
  if (!OnDataAvailable) {
    received_.clear();
    return;
  }
  Guarded([this] { OnDataAvailable(this, 0); });
}

bool TLineConnection::PastLineLimit(std::size_t reach) const {
  return LineLimit > 0 && received_.size() > static_cast<std::size_t>(LineLimit) + reach;
}

void TLineConnection::CheckLineLimit() {
  if (state_ != wsConnected || LineLimit <= 0) return;
  if (received_.size() <= static_cast<std::size_t>(LineLimit)) return;
  std::weak_ptr<int> alive = life_;
  bool ClearData = true;
  if (OnLineLimitExceeded) {
    Guarded([&] { OnLineLimitExceeded(this, static_cast<long>(received_.size()), ClearData); });
    if (alive.expired()) return;
  }
  if (ClearData) received_.clear();
}

double TLineConnection::TokensNow() {
  if (server_->MaxLineRate <= 0) return 1;
  const std::int64_t now = CurrentClock().MonotonicMs();
  const double burst = std::max(server_->LineBurst, 1);
  // Refilled up to the clock's highest reading only: a step back (readings
  // alternating between cores) is not counted again as time passed.
  if (now > tokens_at_) {
    tokens_ = std::min(burst, tokens_ + static_cast<double>(now - tokens_at_) * server_->MaxLineRate / 1000.0);
    tokens_at_ = now;
  }
  // A bucket full again means the peer has been quiet for a while: the episode
  // of sending too fast is over, and the next one is reported afresh.
  if (tokens_ >= burst) throttled_ = false;
  return tokens_;
}

bool TLineConnection::TakeLineToken() {
  if (server_->MaxLineRate <= 0) return true;
  if (TokensNow() < 1) {
    if (!throttled_) {
      throttled_ = true;
      server_->Notice(u"Client " + peer_addr_ + u" sends more than " + IntToStr(server_->MaxLineRate) +
                      u" lines a second; its lines are taken more slowly");
    }
    return false;
  }
  tokens_ -= 1;
  return true;
}

void TLineConnection::SetReading(bool reading) {
  if (paused_ == !reading) return;
  paused_ = !reading;
  UpdateWatch();
}

// The loop may refuse (on Linux, epoll_ctl without memory for the watch): a
// socket left unwatched would never be read or written again while the
// connection still counted as connected, so it is closed and the server told.
bool TLineConnection::UpdateWatch() {
  if (state_ != wsConnected || socket_ == kInvalidSocket) return state_ == wsConnected;
  try {
    loop_->UpdateSocket(socket_, (paused_ ? 0u : kIdleEvents) | (want_write_ ? unsigned(kSockWrite) : 0u));
    return true;
  } catch (const SocketError& e) {
    Shut(false, e.Code());
    server_->Notice(u"Client " + peer_addr_ + u" closed: its socket cannot be watched: " + e.Message());
  }
  return false;
}

std::u16string TLineConnection::ReceiveStr() {
  if (!LineMode) {
    std::u16string all = FromAnsi(received_);
    received_.clear();
    return all;
  }
  if (line_len_ == 0 || line_read_) return {};
  std::u16string line = FromAnsi(std::string_view(received_).substr(0, line_len_));
  received_.erase(0, line_len_);
  line_read_ = true;
  return line;
}

void TLineConnection::SendStr(const std::u16string& text) { SendBytes(ToAnsi(text)); }

void TLineConnection::SendBytes(std::string bytes, bool urgent) {
  if (state_ != wsConnected) {
    if (state_ != wsClosed) Shut(false, kSockErrNotConnected);
    throw SocketError(kSockErrNotConnected, "send");
  }
  if (bytes.empty()) return;
  // Broadcast bytes queued before these go out ahead of them, unless the
  // connection is behind: then they fold, and its own bytes keep their order.
  TakeBroadcast();
  if (state_ == wsConnected && unsent_.size() + bytes.size() > kMaxUnsent) {
    // The peer has stopped reading; holding more would only grow memory.
    Shut(false, kSockErrWouldBlock);
  }
  if (state_ != wsConnected) throw SocketError(kSockErrWouldBlock, "send");
  unsent_ += bytes;
  server_->UnsentChanged(static_cast<std::ptrdiff_t>(bytes.size()));
  // Past the bound of all connections together, this one may be the largest.
  if (state_ != wsConnected) throw SocketError(kSockErrWouldBlock, "send");
  if (urgent) server_->FlushDue(this);
}

// What a connection that keeps up takes is at most what was broadcast since its
// last write, so broadcasts never grow its queue without bound.
void TLineConnection::TakeBroadcast() {
  if (state_ != wsConnected) return;
  if (want_write_) {
    FoldBroadcast();
    return;
  }
  TLineServer& s = *server_;
  const std::string_view owed = s.broadcast_.From(broadcast_pos_);
  if (owed.empty()) return;
  broadcast_pos_ = s.broadcast_.End();
  if (attached_) s.broadcast_.TookAll();
  unsent_.append(owed);
  s.UnsentChanged(static_cast<std::ptrdiff_t>(owed.size()));
}

// A peer that reads slowly would otherwise owe one copy of every frame the
// site's lines made, and be closed at the bound for copies of the same text.
void TLineConnection::FoldBroadcast() { broadcast_pos_ = server_->broadcast_.Fold(broadcast_pos_); }

// What the socket does not take stays queued; what it takes none of stays owed
// in the stream, where later broadcasts fold into it.
bool TLineConnection::CatchUp() {
  TLineServer& s = *server_;
  FoldBroadcast();
  const std::string_view owed = s.broadcast_.From(broadcast_pos_);
  if (owed.empty()) return true;
  const std::size_t sent = Offer(owed);
  if (sent == std::string::npos) return false;
  if (sent == 0) return true;
  broadcast_pos_ = s.broadcast_.End();
  unsent_.assign(owed.substr(sent));
  s.UnsentChanged(static_cast<std::ptrdiff_t>(unsent_.size()));
  return state_ == wsConnected;
}

std::size_t TLineConnection::Offer(std::string_view bytes) {
  try {
    return SocketSend(socket_, bytes.data(), bytes.size());
  } catch (const SocketError& e) {
    Shut(false, e.Code());
    return std::string::npos;
  }
}

void TLineConnection::Reattach() {
  const bool attach = state_ == wsConnected && !want_write_;
  if (attach == attached_ || !server_) return;
  attached_ = attach;
  if (attach)
    server_->broadcast_.Attach(broadcast_pos_);
  else
    server_->broadcast_.Detach(broadcast_pos_);
}

void TLineConnection::Flush(bool on_writable) {
  if (state_ != wsConnected) return;
  TakeBroadcast();
  if (state_ != wsConnected) return;
  if (!unsent_.empty()) {
    const std::size_t sent = Offer(unsent_);
    if (sent == std::string::npos) return;
    unsent_.erase(0, sent);
    server_->UnsentChanged(-static_cast<std::ptrdiff_t>(sent));
  }
  if (unsent_.empty() && want_write_ && !CatchUp()) return;
  const bool more = !unsent_.empty() || broadcast_pos_ < server_->broadcast_.End();
  if (more != want_write_) {
    want_write_ = more;
    Reattach();
    if (!UpdateWatch()) return;
  }
  if (!more) {
    GiveBackCapacity(unsent_);
    if (on_writable) server_->DataSent(0);
  }
}

void TLineConnection::Close() { Shut(true, 0); }

void TLineConnection::Abort() { Shut(false, 0); }

void TLineConnection::Shut(bool graceful, int error) {
  if (state_ == wsClosed) return;
  if (graceful) TakeBroadcast();
  if (state_ == wsClosed) return;  // taking the broadcast passed the bound of all connections
  if (socket_ != kInvalidSocket) {
    const SocketHandle s = socket_;
    socket_ = kInvalidSocket;
    loop_->UnwatchSocket(s);
    try {
      if (graceful && !unsent_.empty()) SocketSend(s, unsent_.data(), unsent_.size());
    } catch (...) {
    }
    try {
      if (graceful)
        SocketClose(s);
      else
        SocketAbort(s);
    } catch (...) {
    }
  }
  state_ = wsClosed;
  Reattach();
  if (server_) server_->UnsentChanged(-static_cast<std::ptrdiff_t>(unsent_.size()));
  std::string().swap(unsent_);
  std::string().swap(received_);
  want_write_ = false;
  close_error_ = error;
  if (server_) server_->ConnectionClosed(this);
}

// -------------------------------------------------------------------- server

TLineServer::TLineServer(TComponent* AOwner) : TComponent(AOwner), loop_(&MessageLoop::Current()) {}

TLineServer::~TLineServer() {
  life_.reset();
  CloseListener();
  while (!clients_.empty()) {
    TLineConnection* client = clients_.back();
    clients_.pop_back();
    client->server_ = nullptr;
    delete client;
  }
}

TLineConnection* TLineServer::Client(int index) const {
  if (index < 0 || index >= ClientCount()) return nullptr;
  return clients_[static_cast<std::size_t>(index)];
}

void TLineServer::Listen() {
  if (listener_ != kInvalidSocket) return;
  std::u16string proto = Proto;
  for (auto& c : proto)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  if (!proto.empty() && proto != u"tcp") throw Error(u"Unsupported protocol '" + Proto + u"'");
  long port = 0;
  bool valid = !Port.empty() && Port.size() <= 5;
  for (char16_t c : Port) {
    if (c < u'0' || c > u'9') valid = false;
    else port = port * 10 + (c - u'0');
  }
  if (!valid || port > 65535) throw Error(u"Invalid port '" + Port + u"'");
  const std::string addr = Addr.empty() ? std::string("0.0.0.0") : ToUtf8(Addr);

  const SocketHandle s = SocketListen(addr, static_cast<std::uint16_t>(port), ListenBacklog);
  try {
    bound_port_ = SocketLocalAddress(s).port;
  } catch (...) {
    SocketClose(s);
    throw;
  }
  listener_ = s;
  state_ = wsListening;
  loop_->WatchSocket(s, kSockAccept, [this](unsigned event, int error) { OnListenSocket(event, error); });
}

void TLineServer::CloseListener() {
  if (listener_ == kInvalidSocket) return;
  const SocketHandle s = listener_;
  listener_ = kInvalidSocket;
  state_ = wsClosed;
  bound_port_ = 0;
  accept_backoff_.Cancel();
  UnwatchAndClose(*loop_, s);
}

void TLineServer::Close() {
  if (listener_ == kInvalidSocket) return;
  CloseListener();
  RunGuarded([this] { if (OnSessionClosed) OnSessionClosed(this, 0); },
             [this](const std::exception& e) { HandleBgException(e); });
}

void TLineServer::HandleBgException(const std::exception& E) {
  std::weak_ptr<int> alive = life_;
  bool CanClose = true;
  if (OnBgException) {
    try {
      OnBgException(this, E, CanClose);
    } catch (...) {
      CanClose = true;
    }
  }
  if (alive.expired() || !CanClose || listener_ == kInvalidSocket) return;
  try {
    CloseListener();
    if (OnSessionClosed) OnSessionClosed(this, 0);
  } catch (...) {
    // Already aborting; a second failure has nowhere better to go.
  }
}

void TLineServer::OnListenSocket(unsigned event, int /*error*/) {
  if (event & kSockAccept) AcceptPending();
}

void TLineServer::AcceptPending() {
  std::weak_ptr<int> alive = life_;
  for (int i = 0; i < kAcceptBudget && listener_ != kInvalidSocket && !accept_backoff_.Paused(); ++i) {
    SocketAddress peer;
    SocketHandle s = kInvalidSocket;
    try {
      s = SocketAccept(listener_, &peer);
    } catch (const SocketError& e) {
      if (SocketErrorIsShortage(e.Code())) {
        PauseAccepting(e);
      } else {
        HandleBgException(e);
      }
      return;
    } catch (const std::exception& e) {
      HandleBgException(e);
      return;
    }
    if (accept_backoff_.End()) {
      Notice(u"Accepting connections again");
      if (alive.expired()) return;
    }
    if (s == kInvalidSocket) return;
    AcceptOne(s, peer);
    if (alive.expired()) return;
  }
}

// The system has no descriptors or buffers for another connection: the
// listener rests for a while (see AcceptBackoff); reported once per shortage.
void TLineServer::PauseAccepting(const SocketError& e) {
  loop_->UpdateSocket(listener_, 0);
  if (accept_backoff_.Pause()) Notice(u"Cannot accept connections: " + e.Message() + u"; trying again shortly");
}

void TLineServer::ResumeAccepting() {
  if (listener_ == kInvalidSocket) return;
  try {
    loop_->UpdateSocket(listener_, kSockAccept);
  } catch (const SocketError& e) {
    // The loop cannot watch the listener again yet (on Linux, epoll_ctl without
    // memory): the shortage goes on, and so does the pause.
    PauseAccepting(e);
    return;
  }
  AcceptPending();
}

void TLineServer::Notice(const std::u16string& text) {
  RunGuarded([&] { if (OnNotice) OnNotice(this, text); },
             [this](const std::exception& e) { HandleBgException(e); });
}

// ------------------------------------------------------- the work of a turn

bool TLineServer::SliceHasRoom(int slice_start) const {
  return budget_.Room(slice_start, LinesPerSlice, LinesPerTurn);
}

void TLineServer::CountLine() { ChargeLines(1); }

void TLineServer::ChargeLines(int n) {
  // The count starts afresh in the next turn, when the lines of this one (and
  // whatever they made the host queue) have been taken away.
  if (budget_.Charge(n)) PostTurn();
}

void TLineServer::Schedule(TLineConnection* client, bool throttled) {
  client->SetReading(false);
  if (throttled) {
    if (client->refill_wait_) return;
    client->refill_wait_ = true;
    throttled_.push_back(client);
    if (!refill_timer_) refill_timer_ = std::make_unique<Timer>([this] { RefillThrottled(); }, kRefillMs);
    if (!refill_timer_->Enabled()) refill_timer_->SetEnabled(true);
    return;
  }
  if (client->scheduled_) return;
  client->scheduled_ = true;
  scheduled_.push_back(client);
  PostTurn();
}

void TLineServer::PostTurn() { PostOnce(turn_posted_, &TLineServer::RunTurn); }

// Runs run in a later turn of the loop, once however often it is asked for
// before then; run clears the flag when it starts.
void TLineServer::PostOnce(bool& posted, void (TLineServer::*run)()) {
  if (posted) return;
  posted = true;
  std::weak_ptr<int> alive = life_;
  PostTracked(*loop_, [this, alive, run] {
    if (!alive.expired()) (this->*run)();
  });
}

// A new turn: the connections with work left get a slice each, in order, as far
// as the turn's budget goes; the rest wait for the next turn, and so do those
// that still have more, behind sockets that became ready meanwhile.
void TLineServer::RunTurn() {
  turn_posted_ = false;
  budget_.NewTurn();
  std::weak_ptr<int> alive = life_;
  for (std::size_t n = scheduled_.size(); n > 0 && !scheduled_.empty(); --n) {
    if (!SliceHasRoom(budget_.Used())) break;
    TLineConnection* client = scheduled_.front();
    scheduled_.pop_front();
    client->scheduled_ = false;
    if (client->State() != wsConnected) continue;
    std::weak_ptr<int> client_alive = client->life_;
    const TLineConnection::SliceEnd end = client->ServeSlice();
    if (alive.expired()) return;
    if (!client_alive.expired()) client->AfterSlice(end);
  }
  if (!scheduled_.empty()) PostTurn();
}

void TLineServer::RefillThrottled() {
  std::vector<TLineConnection*> waiting;
  waiting.swap(throttled_);
  for (TLineConnection* client : waiting) {
    client->refill_wait_ = false;
    if (client->State() != wsConnected) continue;
    if (client->TokensNow() >= 1) {
      Schedule(client, false);
    } else {
      client->refill_wait_ = true;
      throttled_.push_back(client);
    }
  }
  if (throttled_.empty() && refill_timer_) refill_timer_->SetEnabled(false);
}

// ------------------------------------------------------------------ writing

void TLineServer::FlushDue(TLineConnection* client) {
  if (client->flush_due_) return;
  client->flush_due_ = true;
  flush_due_.push_back(client);
  PostOnce(flush_posted_, &TLineServer::RunFlush);
}

// One write per connection for everything queued in the turn. A connection that
// waits for the socket to take more is written when the loop says it can.
void TLineServer::RunFlush() {
  flush_posted_ = false;
  std::vector<TLineConnection*> due;
  due.swap(flush_due_);
  for (TLineConnection* client : due) {
    client->flush_due_ = false;
    if (!client->want_write_) client->Flush(false);
  }
}

void TLineServer::Broadcast(const std::u16string& text) {
  // With no connection there is nobody to owe the bytes to. Connections that
  // have closed never take them; the next tick drops what only they were owed.
  if (clients_.empty()) return;
  broadcast_.Append(ToAnsi(text), BroadcastIntervalMs);
}

void TLineServer::FlushAll() {
  for (TLineConnection* c : clients_) c->Flush(false);
  TrimBroadcast();
}

// Writes the broadcast bytes still waiting to the next connections in turn, a
// bounded number per tick, so that the writes of a large site spread over ticks.
void TLineServer::BroadcastTick() {
  const std::uint64_t end = broadcast_.End();
  const int limit = BroadcastFlushes > 0 ? BroadcastFlushes : std::numeric_limits<int>::max();
  int written = 0;
  for (std::size_t visited = 0; visited < clients_.size() && written < limit; ++visited) {
    if (broadcast_cursor_ >= clients_.size()) broadcast_cursor_ = 0;
    TLineConnection* c = clients_[broadcast_cursor_++];
    // A connection whose socket is full takes its frame when the socket can take more.
    if (c->State() != wsConnected || c->want_write_ || c->broadcast_pos_ >= end) continue;
    c->Flush(false);
    ++written;
  }
  TrimBroadcast();
}

// Drops the broadcast bytes every connected connection has taken or folded away.
void TLineServer::TrimBroadcast() {
  std::uint64_t lowest = broadcast_.End();
  for (TLineConnection* c : clients_) {
    if (c->State() != wsConnected) continue;
    if (c->want_write_) c->FoldBroadcast();
    lowest = std::min(lowest, c->broadcast_pos_);
  }
  broadcast_.Trim(lowest);
}

void TLineServer::UnsentChanged(std::ptrdiff_t delta) {
  total_unsent_ = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(total_unsent_) + delta);
  if (delta <= 0 || MaxTotalUnsent == 0) return;
  while (total_unsent_ > MaxTotalUnsent) {
    // Past the bound of all connections together: the one holding the most
    // unsent bytes is the one whose peer reads least; it goes, as it would at
    // its own bound.
    TLineConnection* largest = nullptr;
    for (TLineConnection* c : clients_)
      if (c->State() == wsConnected && (!largest || c->UnsentBytes() > largest->UnsentBytes())) largest = c;
    if (!largest || largest->UnsentBytes() == 0) return;
    largest->Shut(false, kSockErrWouldBlock);
  }
}

void TLineServer::AcceptOne(SocketHandle s, const SocketAddress& peer) {
  std::weak_ptr<int> alive = life_;
  TLineConnection* client = nullptr;
  try {
    client = ClientClass ? ClientClass(this) : new TLineConnection(this);
  } catch (const std::exception& e) {
    SocketAbort(s);
    HandleBgException(e);
    return;
  }
  clients_.push_back(client);
  client->server_ = this;
  try {
    client->Accept(s, peer);
  } catch (const std::exception& e) {
    // The loop could not watch it, so nothing would ever be heard of it: the
    // connection goes at once, before anyone was told of it, and the listener
    // carries on with the next.
    delete client;
    Notice(u"Cannot take a connection from " + FromUtf8(peer.addr) + u": " + FromUtf8(e.what()));
    return;
  }
  std::weak_ptr<int> client_alive = client->life_;

  bool failed = false;
  RunGuarded([&] { if (OnClientConnect) OnClientConnect(this, client, 0); },
             [&](const std::exception& e) {
               failed = true;
               HandleBgException(e);
             });
  if (failed || alive.expired() || client_alive.expired()) return;
  if (client->State() != wsConnected) return;

  // The greeting goes out after the user configured the connection, before
  // anything else is written to it.
  RunGuarded(
      [&] {
        if (MaxClients > 0 && ClientCount() > MaxClients) {
          client->SendStr(BannerTooBusy);
          client->Close();
        } else if (!Banner.empty()) {
          client->SendBytes(ToAnsi(Banner) + client->LineEnd);
        }
      },
      [this](const std::exception& e) { HandleBgException(e); });
}

void TLineServer::ConnectionClosed(TLineConnection* client) {
  std::weak_ptr<int> alive = life_;
  std::weak_ptr<int> client_alive = client->life_;
  // Reported and destroyed in a later turn of the loop: the connection may be
  // closing from inside one of its own handlers.
  PostTracked(*loop_, [this, client, alive, client_alive] {
    if (alive.expired() || client_alive.expired()) return;
    const std::uint16_t error = ErrorCode16(client->close_error_);
    RunGuarded([&] { if (OnClientDisconnect) OnClientDisconnect(this, client, error); },
               [this](const std::exception& e) { HandleBgException(e); });
    if (alive.expired() || client_alive.expired()) return;
    delete client;
  });
}

void TLineServer::ConnectionDestroyed(TLineConnection* client) {
  EraseValue(clients_, client);
  EraseValue(scheduled_, client);
  EraseValue(throttled_, client);
  EraseValue(flush_due_, client);
  // What only this connection was still owed is owed to nobody now.
  if (broadcast_.Owed()) TrimBroadcast();
}

void TLineServer::DataSent(std::uint16_t error) {
  RunGuarded([&] { if (OnDataSent) OnDataSent(this, error); },
             [this](const std::exception& e) { HandleBgException(e); });
}

}  // namespace axg
