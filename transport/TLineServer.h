#pragma once
// Line-mode TCP server: one listening socket and one TLineConnection per accepted
// client. Each connection cuts its byte stream into CR LF lines and raises
// OnDataAvailable once per line; writes are queued and go out as the socket takes
// them. Everything runs on the message loop of the thread that made the server,
// which inside the host is the host's own window thread, so the server keeps the
// work of every loop turn small:
// - a read notification delivers a slice of lines (LinesPerSlice per connection,
//   LinesPerTurn across all of them, counted in a LineBudget) and the rest waits
//   for later turns, in order;
// - a connection delivers at most MaxLineRate lines a second (with a burst of
//   LineBurst); past that its socket is not read until the budget refills, so TCP
//   flow control holds the peer back and nothing is dropped;
// - what is written to a connection goes out in one write at the end of the turn,
//   and broadcast bytes that nobody waits for ride along with the next write or
//   go out within a coalescing interval (BroadcastStream), except to the peer
//   whose line made them, which gets them at the end of that turn; a peer that
//   reads more slowly than the site broadcasts owes only the latest of them;
// - unsent bytes are bounded per connection and in total; accept failures for
//   lack of descriptors or buffers back off instead of retrying at once.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/component.h"
#include "platform/socket.h"
#include "transport/AcceptBackoff.h"
#include "transport/BroadcastStream.h"
#include "transport/LineBudget.h"

namespace axg {

class TLineServer;
class TLineConnection;
class MessageLoop;
class Timer;

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
// A remark for whoever watches the server (a peer held back, accepting paused).
using TNoticeEvent = std::function<void(TObject* Sender, const std::u16string& Text)>;

// Makes the connection object for an accepted socket; the server owns it.
using TClientClass = TLineConnection* (*)(TLineServer* Server);
template <class T>
TLineConnection* MakeClient(TLineServer* Server);

class TLineConnection : public TComponent {
 public:
  // Unsent bytes a connection may hold. A peer that stops reading cannot make
  // the queue grow past this: the connection is aborted and the write fails.
  // Broadcasts do not count: a connection that is behind owes at most the
  // latest one, so what the bound measures is the connection's own traffic.
  static constexpr std::size_t kMaxUnsent = 1u << 20;

  explicit TLineConnection(TComponent* AOwner = nullptr);
  ~TLineConnection() override;

  bool LineMode = false;
  std::string LineEnd = "\r\n";
  // Bytes a line may hold without its end (0: no limit). The start of a line
  // is judged once everything that has arrived is read, so a line cut by a read
  // is never taken for a long one and a longer one whose end comes in the same
  // burst is delivered whole; past the limit OnLineLimitExceeded decides.
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
  // Queues text (converted to the code page, nothing appended); it goes out with
  // the connection's one write at the end of this loop turn, after whatever was
  // queued before it. Raises SocketError naming "send" when the connection is not
  // connected (and marks it closed) or when the unsent queue would pass kMaxUnsent.
  void SendStr(const std::u16string& text);
  // Graceful close: what is queued is offered to the socket once, then the socket
  // is shut down. The server reports and destroys the connection later.
  void Close();
  // Closes the socket at once, dropping what is queued.
  void Abort();

  std::size_t UnsentBytes() const { return unsent_.size(); }
  // Bytes received and not yet delivered as lines.
  std::size_t UnreadBytes() const { return received_.size(); }
  // True while the connection is not read: its slice of this turn is used up, or
  // it has used up its line budget for now.
  bool ReadingPaused() const { return paused_; }
  TLineServer* Server() const { return server_; }

 private:
  friend class TLineServer;
  // Why a slice of reading ended.
  enum class SliceEnd { kIdle, kMore, kThrottled, kGone };

  void Accept(SocketHandle s, const SocketAddress& peer);
  void OnSocket(unsigned event, int error);
  // Reads and delivers lines while the server's budget has room for this
  // slice; says why it stopped.
  SliceEnd ServeSlice();
  // Reads one chunk from the socket; false when nothing more can come now.
  bool ReadChunk(bool& ended);
  void AppendReceived(const char* data, std::size_t len);
  // The length of the complete line at the front of the buffer, 0 when none.
  std::size_t NextLineLength() const;
  // Delivers the line at the front; false when the connection died on the way.
  bool DeliverLine(std::size_t length);
  void RaiseDataAvailable();
  void AnswerPeer();
  // The start of a line buffered without its end is past LineLimit by more
  // than `reach` bytes.
  bool PastLineLimit(std::size_t reach) const;
  void CheckLineLimit();
  bool TakeLineToken();
  double TokensNow();
  void SetReading(bool reading);
  // Tells the loop what the socket is watched for; false when the loop refused
  // and the connection was closed for it.
  bool UpdateWatch();
  void AfterSlice(SliceEnd end);
  void SendBytes(std::string bytes, bool urgent = true);
  // Takes the broadcast bytes owed into the unsent queue; a connection that is
  // behind (its socket full) only folds them into the latest frame.
  void TakeBroadcast();
  void FoldBroadcast();
  // Once a connection that was behind has written everything else: the latest
  // frame. False when the connection went on the way.
  bool CatchUp();
  // Offers bytes to the socket: how many it took, or npos when the write failed
  // and the connection was shut.
  std::size_t Offer(std::string_view bytes);
  // Keeps the broadcast timer's count of the connections it writes: those that
  // are connected and not behind.
  void Reattach();
  void Flush(bool on_writable);
  void Shut(bool graceful, int error);
  void SetUnsent(std::string&& bytes);
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
  // Reading and its budget.
  bool paused_ = false;      // the socket is not watched for reading
  bool scheduled_ = false;   // waits in the server's list of connections with work left
  bool peer_ended_ = false;  // the peer closed; what is buffered is still delivered
  int end_error_ = 0;
  double tokens_ = 0;        // lines the connection may deliver now
  std::int64_t tokens_at_ = 0;  // highest monotonic reading the tokens were refilled to
  bool throttled_ = false;   // in an episode of sending too fast (reported once)
  bool refill_wait_ = false; // waits in the server's list for its budget to refill
  bool close_seen_ = false;  // the loop reported the end of the connection
  bool unchecked_ = false;   // bytes arrived since the line limit was last checked
  // Writing: a flush is due at the end of the turn; broadcast bytes up to this
  // position of the server's broadcast stream have been taken into unsent_.
  bool flush_due_ = false;
  std::uint64_t broadcast_pos_ = 0;
  bool attached_ = false;  // counted by the broadcast stream as written by its timer
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
  // Connections the system holds until the loop accepts them. A whole site
  // reconnects at once after the host restarts: with a short queue the system
  // drops the rest (Linux, and so Wine) or refuses them (Windows), and each
  // controller waits for its retry, 1, 3, 7 s and longer. The system caps it.
  int ListenBacklog = 1024;

  TClientEvent OnClientConnect;
  TClientEvent OnClientDisconnect;
  TSessionEvent OnDataSent;
  TSessionEvent OnSessionClosed;
  TBgExceptionEvent OnBgException;
  TNoticeEvent OnNotice;

  // The work of one loop turn: lines one connection delivers per read slice, and
  // lines all connections together deliver before the rest waits for the next turn.
  int LinesPerSlice = 32;
  int LinesPerTurn = 64;
  // Lines a connection may deliver per second, and how many it may deliver at
  // once after a quiet spell; 0 switches the limit off.
  int MaxLineRate = 100;
  int LineBurst = 200;
  // Unsent bytes all connections together may hold; past it the connection
  // holding the most is closed.
  std::size_t MaxTotalUnsent = 16u << 20;
  // Broadcast bytes wait at most about this long for a connection's next write;
  // at most BroadcastFlushes connections are written per interval.
  unsigned BroadcastIntervalMs = 50;
  int BroadcastFlushes = 100;

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

  // Queues text for every connected connection. Nobody waits for it: it goes out
  // ahead of the next bytes written to a connection, or within the broadcast
  // interval, so that many broadcasts in a row cost one write per connection.
  void Broadcast(const std::u16string& text);

  // Writes what every connection holds now, broadcast bytes included, one
  // write each, instead of at the end of the turn or within the interval.
  void FlushAll();

  // Counts n more lines' worth of work against this turn's budget: a handler
  // whose line made several messages for the host says so, so that one turn
  // still passes on a bounded number of them.
  void ChargeLines(int n);

  // Unsent bytes held by all connections together.
  std::size_t TotalUnsent() const { return total_unsent_; }
  // True while accepting is paused after the system ran out of descriptors or buffers.
  bool AcceptPaused() const { return accept_backoff_.Paused(); }
  // True while the broadcast coalescing timer runs, which is exactly while
  // broadcast bytes are owed to a connection whose socket takes them.
  bool BroadcastTimerRunning() const { return broadcast_.TimerRunning(); }

 private:
  friend class TLineConnection;
  void OnListenSocket(unsigned event, int error);
  void AcceptPending();
  void PauseAccepting(const SocketError& e);
  void ResumeAccepting();
  // Reading: the line budget of the turn and the connections with work left.
  bool SliceHasRoom(int slice_start) const;
  void CountLine();
  void Schedule(TLineConnection* client, bool throttled);
  void PostTurn();
  void PostOnce(bool& posted, void (TLineServer::*run)());
  void RunTurn();
  void RefillThrottled();
  void Notice(const std::u16string& text);
  // Writing: flushes at the end of the turn, broadcast coalescing, total bound.
  void FlushDue(TLineConnection* client);
  void PostFlush();
  void RunFlush();
  void BroadcastTick();
  void UnsentChanged(std::ptrdiff_t delta);
  void TrimBroadcast();
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

  LineBudget budget_;
  bool turn_posted_ = false;
  std::deque<TLineConnection*> scheduled_;    // work left, served in order
  std::vector<TLineConnection*> throttled_;   // waiting for their budget to refill
  std::unique_ptr<Timer> refill_timer_;

  std::vector<TLineConnection*> flush_due_;
  bool flush_posted_ = false;
  BroadcastStream broadcast_{[this] { BroadcastTick(); }};
  std::size_t broadcast_cursor_ = 0;  // next connection the coalescing timer writes
  std::size_t total_unsent_ = 0;

  AcceptBackoff accept_backoff_{[this] { ResumeAccepting(); }};

  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

template <class T>
TLineConnection* MakeClient(TLineServer* Server) {
  return new T(Server);
}

}  // namespace axg
