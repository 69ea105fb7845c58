#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/error.h"
#include "platform/export.h"

namespace axg {

// A socket of the operating system. Every socket made here is non-blocking.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

struct SocketAddress {
  std::string addr;        // dotted IPv4 text
  std::uint16_t port = 0;
};

// A failed socket call. The message reads
//   Windows socket error: <system text> (<code>), on API '<api>'
// which is the form every transport reports.
class AXG_PLATFORM_API SocketError : public Error {
 public:
  SocketError(int code, const std::string& api);
  int Code() const noexcept { return code_; }
  const std::string& Api() const noexcept { return api_; }

 private:
  int code_;
  std::string api_;
};

// System error numbers the transports test for (WSA codes on Windows, errno on Linux).
AXG_PLATFORM_API extern const int kSockErrWouldBlock;
AXG_PLATFORM_API extern const int kSockErrConnRefused;
AXG_PLATFORM_API extern const int kSockErrNotConnected;
AXG_PLATFORM_API extern const int kSockErrAddrInUse;
AXG_PLATFORM_API extern const int kSockErrConnReset;

// Listening IPv4 TCP socket on addr:port ("0.0.0.0" for all interfaces), with
// SO_REUSEADDR on Linux so that a restarted listener can bind at once.
// Throws SocketError naming "socket", "bind" or "listen". Port 0 picks a free port.
AXG_PLATFORM_API SocketHandle SocketListen(const std::string& addr, std::uint16_t port, int backlog);

// Accepts one pending connection; kInvalidSocket when none is pending.
// Throws SocketError("accept") for other failures. The connection sends what it
// is given at once (TCP_NODELAY): small frames do not wait for the peer's
// acknowledgement of the previous one. It has TCP keep-alive on (probes after
// kKeepAliveIdleS seconds of silence, every kKeepAliveIntervalS seconds, given up
// after kKeepAliveProbes), so that a peer that vanished without a word (power
// cut, cable pulled) is found out and its connection closed within minutes.
AXG_PLATFORM_API SocketHandle SocketAccept(SocketHandle listener, SocketAddress* peer);
inline constexpr unsigned kKeepAliveIdleS = 60;
inline constexpr unsigned kKeepAliveIntervalS = 10;
inline constexpr unsigned kKeepAliveProbes = 5;

// True for the errors that mean the system is short of descriptors or buffers
// for now (as opposed to a fault of the socket itself).
AXG_PLATFORM_API bool SocketErrorIsShortage(int code);

// Starts a non-blocking connect to a dotted IPv4 address. When bind_addr is not
// empty the socket is first bound to that local address (port 0). Completion is
// reported by the message loop's kSockConnect notification. A text that is not a
// dotted IPv4 literal, or an immediate failure, throws SocketError("connect").
AXG_PLATFORM_API SocketHandle SocketConnect(const std::string& addr, std::uint16_t port,
                                            const std::string& bind_addr = {});

// Writes as much as the socket accepts now and returns that count (less than len
// when the send buffer is full). Throws SocketError("send") on any other failure.
AXG_PLATFORM_API std::size_t SocketSend(SocketHandle s, const char* data, std::size_t len);

// Reads what has arrived: > 0 bytes read, 0 when the peer closed in order,
// -1 when nothing is available now. Throws SocketError("recv") on failure.
AXG_PLATFORM_API std::ptrdiff_t SocketRecv(SocketHandle s, char* buf, std::size_t len);

// Graceful close (shutdown, then close) and abortive close (reset). Both first
// drop the socket's watch from the calling thread's loop.
AXG_PLATFORM_API void SocketClose(SocketHandle s);
AXG_PLATFORM_API void SocketAbort(SocketHandle s);

AXG_PLATFORM_API SocketAddress SocketLocalAddress(SocketHandle s);
AXG_PLATFORM_API SocketAddress SocketPeerAddress(SocketHandle s);

// The pending error of a socket (SO_ERROR), 0 when none.
AXG_PLATFORM_API int SocketPendingError(SocketHandle s);

// The system's text for a socket error number.
AXG_PLATFORM_API std::u16string SocketErrorText(int code);

}  // namespace axg
