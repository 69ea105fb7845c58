#pragma once
// Plain non-blocking TCP server and client of the monitor link. They carry bytes
// and nothing else: every operation returns at once, and whatever happens later
// (a peer connects, data arrives, a connect completes or fails, a peer goes away)
// is delivered as a notification on the message loop of the thread that made the
// socket.
//
// Sending never loses or reorders bytes: what the system does not take at once is
// queued and written as the socket becomes writable. The queue of a connection is
// bounded (MaxSendQueue); a peer that stops reading long enough to pass the bound
// has its connection reset (the send that passes it fails) rather than receive a
// stream with a hole in it.
//
// Errors that happen inside a call (Open, SendText) raise the error notification
// first; if the handler leaves the code non-zero the call fails with an Error.
// Errors that happen later, in the loop, raise the error notification; if the
// handler leaves the code non-zero, "Asynchronous socket error <code>" goes to
// OnBgError, or to stderr when that is not set. Nothing is ever thrown into the
// loop.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/socket.h"
#include "transport/AcceptBackoff.h"

namespace axg {

class MessageLoop;
class Timer;
class TMonitorConnection;
class TMonitorSocket;

// What an error notification is about.
enum TErrorEvent : std::uint8_t { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

// Error code of the layer itself, beside the system's socket error numbers.
inline constexpr int kErrNoAddress = 1110;  // a client opened with an empty address

// Sender is the TMonitorServer or TMonitorClient; Socket the connection concerned
// (null for an accept failure of a server, which has no connection yet).
using TSocketNotifyEvent = std::function<void(TObject* Sender, TMonitorConnection* Socket)>;
// Setting ErrorCode to 0 tells the layer that the handler dealt with the error.
using TSocketErrorEvent =
    std::function<void(TObject* Sender, TMonitorConnection* Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;
using TSocketBgErrorEvent = std::function<void(const std::u16string& Message)>;

// One TCP connection: an accepted peer of a server, or the connection of a client.
// The server or client owns it; a server's connection stays valid until the loop
// turn after it was closed.
class TMonitorConnection : public TObject, public std::enable_shared_from_this<TMonitorConnection> {
 public:
  ~TMonitorConnection() override;
  TMonitorConnection(const TMonitorConnection&) = delete;
  TMonitorConnection& operator=(const TMonitorConnection&) = delete;

  bool Connected() const { return state_ == State::kOpen; }

  // Hands the bytes to the system, queueing what it does not take now; they go
  // out in order. Does nothing when not connected. Fails with an Error when the
  // system refuses the send (after the error notification, unless the handler set
  // the code to 0; the connection is closed) and when the queue would pass the
  // owner's MaxSendQueue (no notification: the connection takes no more bytes and
  // is reset at the next Close, or in the next loop turn).
  void SendText(const std::string& bytes);

  // Every byte that has arrived and has not been read yet (possibly several
  // monitor lines, or part of one).
  std::string ReceiveText();

  // The peer's dotted IPv4 address; empty when not connected. It still answers
  // inside the disconnect notification.
  std::u16string RemoteAddress() const;

  // Closes the connection; bytes still queued for sending are dropped. On a
  // server the disconnect notification is raised at once and the connection
  // leaves the list in a later loop turn.
  void Close();

  // Received bytes held for ReceiveText. Past this the connection stops reading
  // until they are taken, and the system's flow control holds the peer back.
  static constexpr std::size_t kMaxUnread = 1u << 20;
  // Bytes read per notification at most; the rest comes in later turns.
  static constexpr std::size_t kReadPerTurn = 64 * 1024;

  // Bytes accepted by SendText that the system has not taken yet.
  std::size_t QueuedBytes() const { return out_.size() - out_off_; }

 private:
  friend class TMonitorSocket;
  friend class TMonitorServer;
  friend class TMonitorClient;

  enum class State : std::uint8_t { kIdle, kConnecting, kOpen, kClosing, kClosed };

  explicit TMonitorConnection(TMonitorSocket* owner);
  void Attach(SocketHandle s, State state, unsigned events);
  void OnSocket(SocketHandle s, unsigned event, int error);
  void ConnectDone(int error);
  void ReadAvailable(bool closing);
  void Flush();
  void Fail(TErrorEvent kind, int code);
  void Shut(bool abortive, bool notify);
  void UpdateWatch();

  TMonitorSocket* owner_;
  MessageLoop& loop_;
  SocketHandle handle_ = kInvalidSocket;
  State state_ = State::kIdle;
  std::u16string remote_;
  std::string in_;
  std::string out_;
  std::size_t out_off_ = 0;  // bytes of out_ already written
  unsigned watched_ = 0;
  bool cut_ = false;  // the send queue overflowed: closing resets the connection
};

// What the server and the client share: the send bound and the error path.
class TMonitorSocket : public TComponent {
 public:
  // Largest number of unsent bytes a connection may hold.
  std::size_t MaxSendQueue = 256 * 1024;
  // Where unhandled asynchronous errors are reported; stderr when empty.
  TSocketBgErrorEvent OnBgError;

 protected:
  explicit TMonitorSocket(TComponent* owner);
  ~TMonitorSocket() override;

  // Raises the error notification and returns the code the handler left.
  int RaiseError(TMonitorConnection* conn, TErrorEvent kind, int code);
  // Error notification from the loop: an unhandled code goes to ReportBgError.
  void AsyncError(TMonitorConnection* conn, TErrorEvent kind, int code);
  void ReportBgError(const std::u16string& message);

  virtual void CallError(TMonitorConnection* conn, TErrorEvent kind, int& code) = 0;
  virtual void ConnectionRead(TMonitorConnection* conn) = 0;
  // Raised while the connection still has its address, before the socket closes.
  virtual void ConnectionClosing(TMonitorConnection* conn) = 0;
  virtual void ConnectionClosed(TMonitorConnection* conn) = 0;

  MessageLoop& loop_;
  // Expires with the object; posted work checks it before touching the object.
  std::shared_ptr<int> life_ = std::make_shared<int>(0);

 private:
  friend class TMonitorConnection;
};

// Listens on all local IPv4 addresses with a backlog of 5. When the system runs
// out of descriptors or buffers, accepting pauses (100 ms, doubling up to 2 s)
// instead of retrying at once; the first failure of such a spell is reported.
class TMonitorServer : public TMonitorSocket {
 public:
  explicit TMonitorServer(TComponent* owner = nullptr);
  ~TMonitorServer() override;

  int Port() const { return port_; }
  // Refused while active: "Can't change value while socket is active".
  void SetPort(int port);
  bool Active() const { return listener_ != kInvalidSocket; }
  // The port actually listened on (the system's choice when Port is 0); 0 when inactive.
  int BoundPort() const { return bound_port_; }

  // Listens before it returns; fails with a SocketError naming "socket", "bind"
  // or "listen". Does nothing when active.
  void Open();
  // Stops listening, closes and discards every connection without raising the
  // disconnect notification. Does nothing when inactive.
  void Close();

  // Connections in the order they were accepted; a closed one stays until the
  // loop turn after its disconnect notification.
  int ConnectionCount() const { return static_cast<int>(connections_.size()); }
  TMonitorConnection* Connection(int index) const;

  TSocketNotifyEvent OnClientConnect;
  TSocketNotifyEvent OnClientDisconnect;
  TSocketNotifyEvent OnClientRead;
  TSocketErrorEvent OnClientError;

 private:
  void OnListener(unsigned event, int error);
  void PauseAccepting(int code);
  void ResumeAccepting();
  void CallError(TMonitorConnection* conn, TErrorEvent kind, int& code) override;
  void ConnectionRead(TMonitorConnection* conn) override;
  void ConnectionClosing(TMonitorConnection* conn) override;
  void ConnectionClosed(TMonitorConnection* conn) override;

  int port_ = 0;
  int bound_port_ = 0;
  SocketHandle listener_ = kInvalidSocket;
  std::vector<std::shared_ptr<TMonitorConnection>> connections_;
  AcceptBackoff accept_backoff_{[this] { ResumeAccepting(); }};
};

// Connects to a server at a dotted IPv4 address; there is no name resolution.
class TMonitorClient : public TMonitorSocket {
 public:
  explicit TMonitorClient(TComponent* owner = nullptr);
  ~TMonitorClient() override;

  const std::u16string& Address() const { return address_; }
  int Port() const { return port_; }
  // Refused while active: "Can't change value while socket is active". A changed
  // value abandons a connection attempt still pending, so that the attempt cannot
  // complete toward the old server after the change.
  void SetAddress(const std::u16string& address);
  void SetPort(int port);

  // True from the moment the connection is established until it is closed by
  // either side; false while an attempt is pending.
  bool Active() const { return conn_->Connected(); }
  bool Connecting() const { return conn_->state_ == TMonitorConnection::State::kConnecting; }

  // Starts a connection attempt and returns at once; its failure arrives through
  // OnError (kind connect). Does nothing while active or while an attempt is
  // pending. An empty address raises OnError at once with kind lookup and code
  // 1110: a handler that sets the code to 0 abandons the open silently, otherwise
  // Open fails with "No address specified". An address that is not a dotted IPv4
  // literal is a failed lookup and is treated the same way, except that Open
  // fails with the SocketError. An attempt the system refuses at once is
  // reported like a later refusal: OnError with kind connect, raised before Open
  // returns, and Open itself succeeds.
  void Open();
  // Closes the connection, or abandons a pending attempt; no notification.
  void Close();

  TMonitorConnection* Connection() const { return conn_.get(); }

  TSocketNotifyEvent OnRead;
  TSocketErrorEvent OnError;

 private:
  void CallError(TMonitorConnection* conn, TErrorEvent kind, int& code) override;
  void ConnectionRead(TMonitorConnection* conn) override;
  void ConnectionClosing(TMonitorConnection*) override {}
  void ConnectionClosed(TMonitorConnection*) override {}

  std::u16string address_;
  int port_ = 0;
  std::shared_ptr<TMonitorConnection> conn_;
};

}  // namespace axg
