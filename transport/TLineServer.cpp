#include "transport/TLineServer.h"

#include <algorithm>

#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/text.h"

namespace axg {

namespace {

constexpr unsigned kIdleEvents = kSockRead | kSockClose;
// Bytes taken from one socket per read notification; what is left comes with the
// next one, so one chatty device cannot hold the loop.
constexpr std::size_t kReadBudget = 64 * 1024;
// A line handler that never reads its line gets it offered this often, then the
// line is dropped instead of looping for ever.
constexpr int kLineOffers = 8;
// Connections taken from the listening socket per accept notification.
constexpr int kAcceptBudget = 64;

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

std::uint16_t ErrorCode16(int code) { return static_cast<std::uint16_t>(code & 0xFFFF); }

}  // namespace

// ---------------------------------------------------------------- connection

TLineConnection::TLineConnection(TComponent* AOwner)
    : TComponent(AOwner), loop_(&MessageLoop::Current()) {}

TLineConnection::~TLineConnection() {
  life_.reset();
  if (socket_ != kInvalidSocket) {
    loop_->UnwatchSocket(socket_);
    try {
      SocketClose(socket_);
    } catch (...) {
    }
    socket_ = kInvalidSocket;
  }
  if (server_) server_->ConnectionDestroyed(this);
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

void TLineConnection::Accept(SocketHandle s, const SocketAddress& peer) {
  socket_ = s;
  state_ = wsConnected;
  peer_addr_ = FromUtf8(peer.addr);
  peer_port_ = IntToStr(peer.port);
  loop_->WatchSocket(s, kIdleEvents, [this](unsigned event, int error) { OnSocket(event, error); });
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
  if (event & kSockRead) {
    ReadAndDeliver();
  } else if (event & kSockWrite) {
    FlushUnsent();
  } else if (event & kSockClose) {
    // Take what arrived before the end; the read sees the end and closes.
    std::weak_ptr<int> alive = life_;
    ReadAndDeliver();
    if (!alive.expired() && state_ == wsConnected) Shut(true, error);
  }
}

void TLineConnection::ReadAndDeliver() {
  if (state_ != wsConnected) return;
  std::weak_ptr<int> alive = life_;
  bool ended = false;
  int error = 0;
  std::size_t total = 0;
  char buf[4096];
  while (total < kReadBudget) {
    std::ptrdiff_t n = 0;
    try {
      n = SocketRecv(socket_, buf, sizeof buf);
    } catch (const SocketError& e) {
      ended = true;
      error = e.Code();
      break;
    }
    if (n < 0) break;
    if (n == 0) {
      ended = true;
      break;
    }
    AppendReceived(buf, static_cast<std::size_t>(n));
    total += static_cast<std::size_t>(n);
    if (LineEcho && LineMode) {
      Guarded([&] { SendBytes(std::string(buf, static_cast<std::size_t>(n))); });
      if (alive.expired() || state_ != wsConnected) return;
    }
  }
  if (total > 0) {
    if (LineMode) {
      if (!DeliverLines()) return;
      CheckLineLimit();
    } else {
      RaiseDataAvailable();
    }
    if (alive.expired()) return;
  }
  if (ended && state_ == wsConnected) Shut(true, error);
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

bool TLineConnection::DeliverLines() {
  std::weak_ptr<int> alive = life_;
  while (state_ == wsConnected && !LineEnd.empty()) {
    const std::size_t end = received_.find(LineEnd);
    if (end == std::string::npos) break;
    const std::size_t length = end + LineEnd.size();
    line_len_ = length;
    line_read_ = false;
    for (int offer = 0; OnDataAvailable && !line_read_ && offer < kLineOffers; ++offer) {
      Guarded([this] { OnDataAvailable(this, 0); });
      if (alive.expired()) return false;
      if (state_ != wsConnected) break;
    }
    if (!line_read_) received_.erase(0, std::min(length, received_.size()));
    line_len_ = 0;
  }
  return true;
}

void TLineConnection::RaiseDataAvailable() {
  if (!OnDataAvailable) {
    received_.clear();
    return;
  }
  Guarded([this] { OnDataAvailable(this, 0); });
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

void TLineConnection::SendBytes(std::string bytes) {
  if (state_ != wsConnected) {
    if (state_ != wsClosed) Shut(false, kSockErrNotConnected);
    throw SocketError(kSockErrNotConnected, "send");
  }
  if (bytes.empty()) return;
  if (unsent_.empty()) {
    std::size_t sent = 0;
    try {
      sent = SocketSend(socket_, bytes.data(), bytes.size());
    } catch (const SocketError& e) {
      Shut(false, e.Code());
      throw;
    }
    bytes.erase(0, sent);
    if (bytes.empty()) return;
  }
  if (unsent_.size() + bytes.size() > kMaxUnsent) {
    // The peer has stopped reading; holding more would only grow memory.
    Shut(false, kSockErrWouldBlock);
    throw SocketError(kSockErrWouldBlock, "send");
  }
  unsent_ += bytes;
  if (!want_write_) {
    want_write_ = true;
    loop_->UpdateSocket(socket_, kIdleEvents | kSockWrite);
  }
}

void TLineConnection::FlushUnsent() {
  if (state_ != wsConnected || unsent_.empty()) return;
  std::size_t sent = 0;
  try {
    sent = SocketSend(socket_, unsent_.data(), unsent_.size());
  } catch (const SocketError& e) {
    Shut(false, e.Code());
    return;
  }
  unsent_.erase(0, sent);
  if (unsent_.empty()) {
    want_write_ = false;
    loop_->UpdateSocket(socket_, kIdleEvents);
    if (server_) server_->DataSent(0);
  }
}

void TLineConnection::Close() { Shut(true, 0); }

void TLineConnection::Abort() { Shut(false, 0); }

void TLineConnection::Shut(bool graceful, int error) {
  if (state_ == wsClosed) return;
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
  unsent_.clear();
  want_write_ = false;
  close_error_ = error;
  if (server_) server_->ConnectionClosed(this);
}

// -------------------------------------------------------------------- server

TLineServer::TLineServer(TComponent* AOwner) : TComponent(AOwner), loop_(&MessageLoop::Current()) {}

TLineServer::~TLineServer() {
  life_.reset();
  if (listener_ != kInvalidSocket) {
    loop_->UnwatchSocket(listener_);
    try {
      SocketClose(listener_);
    } catch (...) {
    }
    listener_ = kInvalidSocket;
  }
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
  loop_->UnwatchSocket(s);
  SocketClose(s);
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
  if (!(event & kSockAccept)) return;
  std::weak_ptr<int> alive = life_;
  for (int i = 0; i < kAcceptBudget && listener_ != kInvalidSocket; ++i) {
    SocketAddress peer;
    SocketHandle s = kInvalidSocket;
    try {
      s = SocketAccept(listener_, &peer);
    } catch (const std::exception& e) {
      HandleBgException(e);
      return;
    }
    if (s == kInvalidSocket) return;
    AcceptOne(s, peer);
    if (alive.expired()) return;
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
  client->Accept(s, peer);
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
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void TLineServer::DataSent(std::uint16_t error) {
  RunGuarded([&] { if (OnDataSent) OnDataSent(this, error); },
             [this](const std::exception& e) { HandleBgException(e); });
}

}  // namespace axg
