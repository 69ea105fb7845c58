#pragma once
// Line-mode TCP server: one listening socket and one TLineConnection per accepted
// client. Each connection cuts its byte stream into CR LF lines and raises
// OnDataAvailable once per line; writes are queued and go out as the socket takes
// them. Everything runs on the message loop of the thread that made the server.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/socket.h"

namespace axg {

class TLineServer;
class TLineConnection;
class MessageLoop;

// Socket states, in their declared order.
enum TSocketState : std::uint8_t {
  wsInvalid,         // no socket
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,  // connected through a proxy
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed,
};

using TBgExceptionEvent = std::function<void(TObject* Sender, const std::exception& E, bool& CanClose)>;
using TDataAvailableEvent = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TLineLimitEvent = std::function<void(TObject* Sender, long Cnt, bool& ClearData)>;
using TClientEvent = std::function<void(TObject* Sender, TLineConnection* Client, std::uint16_t Error)>;
using TSessionEvent = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;

// Makes the connection object for an accepted socket; the server owns it.
using TClientClass = TLineConnection* (*)(TLineServer* Server);
template <class T>
TLineConnection* MakeClient(TLineServer* Server);

class TLineConnection : public TComponent {
 public:
  // Unsent bytes a connection may hold. A peer that stops reading cannot make
  // the queue grow past this: the connection is aborted and the write fails.
  static constexpr std::size_t kMaxUnsent = 1u << 20;

  explicit TLineConnection(TComponent* AOwner = nullptr);
  ~TLineConnection() override;

  bool LineMode = false;
  std::string LineEnd = "\r\n";
  long LineLimit = 65536;
  bool LineEdit = false;
  bool LineEcho = false;

  TDataAvailableEvent OnDataAvailable;
  TLineLimitEvent OnLineLimitExceeded;
  TBgExceptionEvent OnBgException;

  TSocketState State() const { return state_; }
  const std::u16string& PeerAddr() const { return peer_addr_; }
  const std::u16string& PeerPort() const { return peer_port_; }
  std::u16string GetXAddr() const;
  std::u16string GetXPort() const;

  // The line that is ready (line end included), decoded from the code page; in
  // raw mode everything received so far. Empty when nothing is ready.
  std::u16string ReceiveStr();
  // Queues text (converted to the code page, nothing appended) and writes what the
  // socket takes now. Raises SocketError naming "send" when the connection is not
  // connected (and marks it closed) or when the unsent queue would pass kMaxUnsent.
  void SendStr(const std::u16string& text);
  // Graceful close: what is queued is offered to the socket once, then the socket
  // is shut down. The server reports and destroys the connection later.
  void Close();
  // Closes the socket at once, dropping what is queued.
  void Abort();

  std::size_t UnsentBytes() const { return unsent_.size(); }
  TLineServer* Server() const { return server_; }

 private:
  friend class TLineServer;
  void Accept(SocketHandle s, const SocketAddress& peer);
  void OnSocket(unsigned event, int error);
  void ReadAndDeliver();
  void AppendReceived(const char* data, std::size_t len);
  // Delivers complete lines; false when the connection died on the way.
  bool DeliverLines();
  void RaiseDataAvailable();
  void CheckLineLimit();
  void SendBytes(std::string bytes);
  void FlushUnsent();
  void Shut(bool graceful, int error);
  void HandleBgException(const std::exception& E);
  template <class F>
  void Guarded(F&& f);

  MessageLoop* loop_;
  TLineServer* server_ = nullptr;
  SocketHandle socket_ = kInvalidSocket;
  TSocketState state_ = wsInvalid;
  std::u16string peer_addr_;
  std::u16string peer_port_;
  std::string received_;
  std::size_t line_len_ = 0;  // length of the line ready to read (0: none)
  bool line_read_ = false;
  std::string unsent_;
  bool want_write_ = false;
  int close_error_ = 0;
  // Expires when the connection is destroyed; posted work and the read loop
  // check it so they never touch a connection that a handler destroyed.
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

class TLineServer : public TComponent {
 public:
  explicit TLineServer(TComponent* AOwner = nullptr);
  ~TLineServer() override;

  std::u16string Proto;
  std::u16string Port;
  std::u16string Addr;
  TClientClass ClientClass = &MakeClient<TLineConnection>;
  std::u16string Banner = u"Welcome to the ax_gate turnstile server";
  std::u16string BannerTooBusy = u"Sorry, too many clients";
  int MaxClients = 0;
  int ListenBacklog = 5;

  TClientEvent OnClientConnect;
  TClientEvent OnClientDisconnect;
  TSessionEvent OnDataSent;
  TSessionEvent OnSessionClosed;
  TBgExceptionEvent OnBgException;

  // Starts listening on Addr:Port; raises an error and stays not listening on failure.
  void Listen();
  // Stops listening; accepted connections stay open.
  void Close();
  TSocketState State() const { return state_; }
  // The port the listening socket is bound to (useful when Port is "0"); 0 when
  // not listening.
  std::uint16_t BoundPort() const { return bound_port_; }

  int ClientCount() const { return static_cast<int>(clients_.size()); }
  TLineConnection* Client(int index) const;

  // Takes a connected socket as the next client, exactly as one accepted from
  // the listening socket: a ClientClass object, OnClientConnect, the greeting.
  // The server owns the socket from here on. The listener's accept path uses
  // it; so can a caller that already holds a connected socket (a local pair).
  void AcceptOne(SocketHandle s, const SocketAddress& peer);

 private:
  friend class TLineConnection;
  void OnListenSocket(unsigned event, int error);
  void CloseListener();
  void ConnectionClosed(TLineConnection* client);
  void ConnectionDestroyed(TLineConnection* client);
  void DataSent(std::uint16_t error);
  void HandleBgException(const std::exception& E);

  MessageLoop* loop_;
  SocketHandle listener_ = kInvalidSocket;
  TSocketState state_ = wsInvalid;
  std::uint16_t bound_port_ = 0;
  std::vector<TLineConnection*> clients_;
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

template <class T>
TLineConnection* MakeClient(TLineServer* Server) {
  return new T(Server);
}

}  // namespace axg
