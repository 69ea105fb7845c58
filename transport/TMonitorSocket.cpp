#include "transport/TMonitorSocket.h"

#include <algorithm>
#include <iostream>

#include "platform/message_loop.h"
#include "platform/text.h"

namespace axg {

namespace {

const char16_t kCantChange[] = u"Can't change value while socket is active";

void CheckPort(int port) {
  if (port < 0 || port > 65535) throw Error(u"Invalid port number " + IntToStr(port));
}

// Runs a loop callback so that nothing it throws reaches the loop.
template <class R, class F>
void Shielded(const R& report, F&& f) {
  try {
    f();
  } catch (const Error& e) {
    report(e.Message());
  } catch (const std::exception& e) {
    report(FromUtf8(e.what()));
  } catch (...) {
    report(u"Unknown error in a socket notification");
  }
}

void ToStderr(const std::u16string& message) { std::cerr << ToUtf8(message) << std::endl; }

// Four decimal parts of one to three digits without leading zeros, each at most 255.
bool IsDottedIPv4(const std::u16string& text) {
  int parts = 0;
  std::size_t i = 0;
  while (i <= text.size()) {
    std::size_t digits = 0;
    int value = 0;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9' && digits < 4) {
      value = value * 10 + (text[i] - u'0');
      ++digits;
      ++i;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    if (digits > 1 && text[i - digits] == u'0') return false;
    ++parts;
    if (i == text.size()) break;
    if (text[i] != u'.' || parts == 4) return false;
    ++i;
  }
  return parts == 4;
}

}  // namespace

// ---------------------------------------------------------------------------
// TMonitorConnection

TMonitorConnection::TMonitorConnection(TMonitorSocket* owner)
    : owner_(owner), loop_(MessageLoop::Current()) {}

TMonitorConnection::~TMonitorConnection() {
  if (handle_ != kInvalidSocket) {
    loop_.UnwatchSocket(handle_);
    SocketClose(handle_);
  }
}

void TMonitorConnection::Attach(SocketHandle s, State state, unsigned events) {
  handle_ = s;
  state_ = state;
  in_.clear();
  out_.clear();
  out_off_ = 0;
  watched_ = events;
  std::weak_ptr<TMonitorConnection> weak = weak_from_this();
  loop_.WatchSocket(s, events, [weak, s](unsigned event, int error) {
    if (auto self = weak.lock()) self->OnSocket(s, event, error);
  });
}

void TMonitorConnection::UpdateWatch() {
  if (state_ != State::kOpen) return;
  unsigned events = kSockClose;
  if (in_.size() < kMaxUnread) events |= kSockRead;
  if (QueuedBytes() > 0) events |= kSockWrite;
  if (events == watched_) return;
  watched_ = events;
  try {
    loop_.UpdateSocket(handle_, events);
  } catch (const SocketError& e) {
    // The loop refused (on Linux, epoll_ctl without memory for the watch): a
    // socket it does not watch would be neither read nor written again, so the
    // connection is reported and closed rather than left hanging.
    Fail(eeGeneral, e.Code());
  }
}

void TMonitorConnection::OnSocket(SocketHandle s, unsigned event, int error) {
  if (s != handle_) return;  // a socket this connection has already given up
  auto keep = shared_from_this();
  auto report = [this](const std::u16string& m) {
    if (owner_) {
      owner_->ReportBgError(m);
    } else {
      ToStderr(m);
    }
  };
  Shielded(report, [&] {
    if (event == kSockConnect) {
      if (state_ == State::kConnecting) ConnectDone(error);
      return;
    }
    if (state_ != State::kOpen) return;
    if (error != 0) {
      // An error only comes with a notification when the connection broke (a
      // reset, say); whichever notification brings it first, it is the loss of
      // the connection that is reported.
      TErrorEvent kind = event == kSockWrite ? eeSend : eeDisconnect;
      Fail(kind, error);
      return;
    }
    switch (event) {
      case kSockRead:
        ReadAvailable(false);
        break;
      case kSockWrite:
        Flush();
        break;
      case kSockClose:
        ReadAvailable(true);
        if (state_ == State::kOpen) Shut(false, true);
        break;
      default:
        break;
    }
  });
}

void TMonitorConnection::ConnectDone(int error) {
  if (error == 0) error = SocketPendingError(handle_);
  if (error != 0) {
    // The attempt is over: the client stays inactive and may be opened again.
    loop_.UnwatchSocket(handle_);
    SocketClose(handle_);
    handle_ = kInvalidSocket;
    state_ = State::kClosed;
    if (owner_) owner_->AsyncError(this, eeConnect, error);
    return;
  }
  remote_ = FromUtf8(SocketPeerAddress(handle_).addr);
  state_ = State::kOpen;
  watched_ = 0;
  UpdateWatch();
}

void TMonitorConnection::ReadAvailable(bool closing) {
  char buf[16384];
  bool fresh = false;
  bool eof = false;
  int fail = 0;
  // At most kReadPerTurn per notification, so that one busy peer cannot hold the
  // loop; what is left is reported again in the next turn. Once the peer is gone
  // there is no flow control left to lean on: take all.
  std::size_t taken = 0;
  while (closing || (in_.size() < kMaxUnread && taken < kReadPerTurn)) {
    std::ptrdiff_t n;
    try {
      n = SocketRecv(handle_, buf, sizeof buf);
    } catch (const SocketError& e) {
      fail = e.Code() != 0 ? e.Code() : -1;
      break;
    }
    if (n > 0) {
      in_.append(buf, static_cast<std::size_t>(n));
      taken += static_cast<std::size_t>(n);
      fresh = true;
    } else {
      eof = n == 0;
      break;
    }
  }
  if (fresh && owner_) {
    owner_->ConnectionRead(this);
    if (state_ != State::kOpen) return;  // the handler closed it
  }
  if (fail != 0) {
    Fail(eeReceive, fail);
  } else if (eof) {
    Shut(false, true);
  } else {
    UpdateWatch();  // stop reading while too much lies unread
  }
}

std::string TMonitorConnection::ReceiveText() {
  std::string text;
  text.swap(in_);
  UpdateWatch();
  return text;
}

std::u16string TMonitorConnection::RemoteAddress() const {
  if (state_ == State::kOpen || state_ == State::kClosing) return remote_;
  return {};
}

void TMonitorConnection::SendText(const std::string& bytes) {
  if (state_ != State::kOpen || bytes.empty() || cut_) return;
  auto keep = shared_from_this();
  std::size_t sent = 0;
  if (QueuedBytes() == 0) {
    try {
      sent = SocketSend(handle_, bytes.data(), bytes.size());
    } catch (const SocketError& e) {
      int code = owner_ ? owner_->RaiseError(this, eeSend, e.Code()) : e.Code();
      Shut(true, true);
      if (code != 0) throw;
      return;
    }
  }
  std::size_t rest = bytes.size() - sent;
  if (rest == 0) return;
  std::size_t bound = owner_ ? owner_->MaxSendQueue : 0;
  if (QueuedBytes() + rest > bound) {
    // Dropping these bytes would leave a hole in the peer's stream; the
    // connection goes instead, and the reset tells the peer it was cut short.
    // No system call failed, so there is no error notification: the exception is
    // the one report. The connection takes no more bytes and closes at the
    // caller's Close, or in the next loop turn, so that its disconnect notice
    // comes after the caller's report.
    cut_ = true;
    std::weak_ptr<TMonitorConnection> weak = weak_from_this();
    PostTracked(loop_, [weak] {
      if (auto self = weak.lock(); self && self->cut_) self->Close();
    });
    throw Error(u"Connection to " + remote_ + u" closed: more than " + IntToStr(static_cast<std::int64_t>(bound)) +
                u" bytes waiting to be sent");
  }
  if (out_off_ > 0 && out_off_ >= out_.size() / 2) {
    out_.erase(0, out_off_);
    out_off_ = 0;
  }
  out_.append(bytes, sent, rest);
  UpdateWatch();
}

void TMonitorConnection::Flush() {
  while (QueuedBytes() > 0) {
    std::size_t n;
    try {
      n = SocketSend(handle_, out_.data() + out_off_, QueuedBytes());
    } catch (const SocketError& e) {
      Fail(eeSend, e.Code());
      return;
    }
    if (n == 0) break;
    out_off_ += n;
  }
  if (QueuedBytes() == 0) {
    out_.clear();
    out_off_ = 0;
  }
  UpdateWatch();
}

void TMonitorConnection::Fail(TErrorEvent kind, int code) {
  if (owner_) {
    owner_->AsyncError(this, kind, code);
  } else {
    ToStderr(u"Asynchronous socket error " + IntToStr(code));
  }
  // A socket that failed is of no further use, whatever the handler said.
  if (state_ == State::kOpen) Shut(true, true);
}

void TMonitorConnection::Close() {
  auto keep = shared_from_this();
  if (state_ == State::kConnecting) {
    Shut(false, false);
    return;
  }
  if (state_ == State::kOpen) Shut(cut_, true);
}

void TMonitorConnection::Shut(bool abortive, bool notify) {
  if (state_ != State::kOpen && state_ != State::kConnecting) return;
  bool was_open = state_ == State::kOpen;
  state_ = State::kClosing;
  if (notify && was_open && owner_) owner_->ConnectionClosing(this);
  if (handle_ != kInvalidSocket) {
    loop_.UnwatchSocket(handle_);
    if (abortive) {
      SocketAbort(handle_);
    } else {
      SocketClose(handle_);
    }
    handle_ = kInvalidSocket;
  }
  state_ = State::kClosed;
  out_.clear();
  out_off_ = 0;
  watched_ = 0;
  cut_ = false;
  if (notify && was_open && owner_) owner_->ConnectionClosed(this);
}

// ---------------------------------------------------------------------------
// TMonitorSocket

TMonitorSocket::TMonitorSocket(TComponent* owner) : TComponent(owner), loop_(MessageLoop::Current()) {}

TMonitorSocket::~TMonitorSocket() = default;

int TMonitorSocket::RaiseError(TMonitorConnection* conn, TErrorEvent kind, int code) {
  CallError(conn, kind, code);
  return code;
}

void TMonitorSocket::AsyncError(TMonitorConnection* conn, TErrorEvent kind, int code) {
  std::weak_ptr<int> alive = life_;
  int left = code;
  try {
    left = RaiseError(conn, kind, code);
  } catch (const Error& e) {
    if (alive.expired()) return ToStderr(e.Message());
    ReportBgError(e.Message());
  } catch (const std::exception& e) {
    if (alive.expired()) return ToStderr(FromUtf8(e.what()));
    ReportBgError(FromUtf8(e.what()));
  }
  if (left == 0) return;
  std::u16string message = u"Asynchronous socket error " + IntToStr(left);
  if (alive.expired()) return ToStderr(message);
  ReportBgError(message);
}

void TMonitorSocket::ReportBgError(const std::u16string& message) {
  if (!OnBgError) return ToStderr(message);
  try {
    OnBgError(message);
  } catch (...) {
    ToStderr(message);
  }
}

// ---------------------------------------------------------------------------
// TMonitorServer

TMonitorServer::TMonitorServer(TComponent* owner) : TMonitorSocket(owner) {}

TMonitorServer::~TMonitorServer() {
  Close();
  life_.reset();
}

void TMonitorServer::SetPort(int port) {
  if (port == port_) return;
  if (Active()) throw Error(kCantChange);
  port_ = port;
}

TMonitorConnection* TMonitorServer::Connection(int index) const {
  if (index < 0 || index >= ConnectionCount()) throw Error(u"List index out of bounds (" + IntToStr(index) + u")");
  return connections_[static_cast<std::size_t>(index)].get();
}

void TMonitorServer::Open() {
  if (Active()) return;
  CheckPort(port_);
  SocketHandle s = SocketListen("0.0.0.0", static_cast<std::uint16_t>(port_), 5);
  try {
    loop_.WatchSocket(s, kSockAccept, [this, s](unsigned event, int error) {
      if (s == listener_) OnListener(event, error);
    });
  } catch (...) {
    SocketClose(s);
    throw;
  }
  listener_ = s;
  bound_port_ = SocketLocalAddress(s).port;
}

void TMonitorServer::Close() {
  if (!Active()) return;
  loop_.UnwatchSocket(listener_);
  SocketClose(listener_);
  listener_ = kInvalidSocket;
  bound_port_ = 0;
  accept_backoff_.Cancel();
  std::vector<std::shared_ptr<TMonitorConnection>> discarded;
  discarded.swap(connections_);
  for (auto& conn : discarded) {
    conn->owner_ = nullptr;  // closes without telling anyone
    conn->Shut(false, false);
  }
  // A handler further up the stack may still hold one of them for the rest of
  // its call: let them go in a later turn.
  if (!discarded.empty()) PostTracked(loop_, [discarded] {});
}

void TMonitorServer::OnListener(unsigned event, int error) {
  if (event != kSockAccept) return;
  std::weak_ptr<int> alive = life_;
  auto report = [this, &alive](const std::u16string& m) {
    if (alive.expired()) return ToStderr(m);
    ReportBgError(m);
  };
  Shielded(report, [&] {
    if (error != 0) {
      AsyncError(nullptr, eeAccept, error);
      return;
    }
    // Take every peer that is waiting; a handler may close or destroy the server.
    while (!alive.expired() && Active()) {
      SocketAddress peer;
      SocketHandle s;
      try {
        s = SocketAccept(listener_, &peer);
      } catch (const SocketError& e) {
        if (SocketErrorIsShortage(e.Code())) {
          PauseAccepting(e.Code());
          return;
        }
        AsyncError(nullptr, eeAccept, e.Code());
        return;
      }
      accept_backoff_.End();  // a shortage, if there was one, is over
      if (s == kInvalidSocket) return;
      std::shared_ptr<TMonitorConnection> conn(new TMonitorConnection(this));
      conn->remote_ = FromUtf8(peer.addr);
      conn->Attach(s, TMonitorConnection::State::kOpen, kSockRead | kSockClose);
      connections_.push_back(conn);
      if (OnClientConnect) OnClientConnect(this, conn.get());
    }
  });
}

// Out of descriptors or buffers: the listener rests for a while (see
// AcceptBackoff); the first failure of a shortage is reported.
void TMonitorServer::PauseAccepting(int code) {
  loop_.UpdateSocket(listener_, 0);
  if (accept_backoff_.Pause()) AsyncError(nullptr, eeAccept, code);
}

void TMonitorServer::ResumeAccepting() {
  if (!Active()) return;
  try {
    loop_.UpdateSocket(listener_, kSockAccept);
  } catch (const SocketError& e) {
    // The loop cannot watch the listener again yet: the pause goes on.
    PauseAccepting(e.Code());
    return;
  }
  OnListener(kSockAccept, 0);
}

void TMonitorServer::CallError(TMonitorConnection* conn, TErrorEvent kind, int& code) {
  if (OnClientError) OnClientError(this, conn, kind, code);
}

void TMonitorServer::ConnectionRead(TMonitorConnection* conn) {
  if (OnClientRead) OnClientRead(this, conn);
}

void TMonitorServer::ConnectionClosing(TMonitorConnection* conn) {
  if (OnClientDisconnect) OnClientDisconnect(this, conn);
}

void TMonitorServer::ConnectionClosed(TMonitorConnection* conn) {
  std::weak_ptr<int> alive = life_;
  std::shared_ptr<TMonitorConnection> keep = conn->shared_from_this();
  PostTracked(loop_, [this, alive, keep] {
    if (alive.expired()) return;
    auto it = std::find(connections_.begin(), connections_.end(), keep);
    if (it != connections_.end()) connections_.erase(it);
  });
}

// ---------------------------------------------------------------------------
// TMonitorClient

TMonitorClient::TMonitorClient(TComponent* owner)
    : TMonitorSocket(owner), conn_(new TMonitorConnection(this)) {}

TMonitorClient::~TMonitorClient() {
  conn_->owner_ = nullptr;
  conn_->Shut(false, false);
  life_.reset();
}

void TMonitorClient::SetAddress(const std::u16string& address) {
  if (address == address_) return;
  if (Active()) throw Error(kCantChange);
  if (Connecting()) conn_->Shut(false, false);
  address_ = address;
}

void TMonitorClient::SetPort(int port) {
  if (port == port_) return;
  if (Active()) throw Error(kCantChange);
  if (Connecting()) conn_->Shut(false, false);
  port_ = port;
}

void TMonitorClient::Open() {
  // A second open while an attempt is pending is ignored: the controller opens
  // on every line it sends, and each new attempt would throw the last one away.
  if (Active() || Connecting()) return;
  if (address_.empty()) {
    if (RaiseError(conn_.get(), eeLookup, kErrNoAddress) == 0) return;
    throw Error(u"No address specified");
  }
  CheckPort(port_);
  SocketHandle s;
  try {
    s = SocketConnect(ToUtf8(address_), static_cast<std::uint16_t>(port_));
  } catch (const SocketError& e) {
    if (IsDottedIPv4(address_)) {
      // Refused before it started: still an outcome of the attempt, so it
      // travels the way a later refusal would.
      AsyncError(conn_.get(), eeConnect, e.Code());
      return;
    }
    // There is no name resolution: a text that is not an address is a failed lookup.
    if (RaiseError(conn_.get(), eeLookup, e.Code()) == 0) return;
    throw;
  }
  conn_->remote_.clear();
  conn_->Attach(s, TMonitorConnection::State::kConnecting, kSockConnect);
}

void TMonitorClient::Close() { conn_->Close(); }

void TMonitorClient::CallError(TMonitorConnection* conn, TErrorEvent kind, int& code) {
  if (OnError) OnError(this, conn, kind, code);
}

void TMonitorClient::ConnectionRead(TMonitorConnection* conn) {
  if (OnRead) OnRead(this, conn);
}

}  // namespace axg
