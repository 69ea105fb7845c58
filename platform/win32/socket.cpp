// Winsock 2 sockets. Every socket is non-blocking; readiness reaches the owning
// thread through the message loop's hidden window (WSAAsyncSelect).
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>
#include <climits>

#include "platform/text.h"
#include "platform/win32/dotted_ipv4.h"
#include "platform/win32/win32_util.h"

namespace axg {

const int kSockErrWouldBlock = WSAEWOULDBLOCK;
const int kSockErrConnRefused = WSAECONNREFUSED;
const int kSockErrNotConnected = WSAENOTCONN;
const int kSockErrAddrInUse = WSAEADDRINUSE;
const int kSockErrConnReset = WSAECONNRESET;

namespace {

// Winsock is started once per module and stays up until the module goes away.
void EnsureWinsock() {
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) throw SocketError(started, "WSAStartup");
}

SOCKET Raw(SocketHandle s) { return static_cast<SOCKET>(s); }

// Only a dotted IPv4 literal: no host names, no short forms like "127.1".
bool ParseIPv4(const std::string& text, in_addr* out) {
  std::uint32_t address = 0;
  if (!win32::ParseDottedIPv4(text, &address)) return false;
  out->s_addr = htonl(address);
  return true;
}

SocketAddress FromSockaddr(const sockaddr_in& sa) {
  SocketAddress out;
  const unsigned long v = ntohl(sa.sin_addr.s_addr);
  out.addr = std::to_string((v >> 24) & 255) + "." + std::to_string((v >> 16) & 255) + "." +
             std::to_string((v >> 8) & 255) + "." + std::to_string(v & 255);
  out.port = ntohs(sa.sin_port);
  return out;
}

SOCKET NewStreamSocket() {
  EnsureWinsock();
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
  if (s == INVALID_SOCKET) throw SocketError(WSAGetLastError(), "socket");
  // Sockets must not leak into processes the host starts.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  u_long on = 1;
  if (ioctlsocket(s, FIONBIO, &on) != 0) {
    const int code = WSAGetLastError();
    closesocket(s);
    throw SocketError(code, "ioctlsocket");
  }
  return s;
}

[[noreturn]] void FailAndClose(SOCKET s, const char* api) {
  const int code = WSAGetLastError();
  closesocket(s);
  throw SocketError(code, api);
}

}  // namespace

SocketHandle SocketListen(const std::string& addr, std::uint16_t port, int backlog) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (!ParseIPv4(addr, &sa.sin_addr)) throw SocketError(WSAEINVAL, "bind");
  SOCKET s = NewStreamSocket();
  // No SO_REUSEADDR here: on Windows it would let another process bind the same
  // port; a closed listener's port is free again at once without it.
  if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) FailAndClose(s, "bind");
  if (listen(s, backlog) != 0) FailAndClose(s, "listen");
  return static_cast<SocketHandle>(s);
}

SocketHandle SocketAccept(SocketHandle listener, SocketAddress* peer) {
  sockaddr_in sa{};
  int len = sizeof sa;
  SOCKET s = accept(Raw(listener), reinterpret_cast<sockaddr*>(&sa), &len);
  if (s == INVALID_SOCKET) {
    const int code = WSAGetLastError();
    // A connection that was reset before we took it is simply gone.
    if (code == WSAEWOULDBLOCK) win32::NoteSocketDrained(listener);
    if (code == WSAEWOULDBLOCK || code == WSAECONNRESET) return kInvalidSocket;
    throw SocketError(code, "accept");
  }
  // An accepted socket inherits the listener's WSAAsyncSelect; drop it until the
  // new owner watches the socket itself. The socket stays non-blocking.
  WSAEventSelect(s, nullptr, 0);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  // Frames are small and must go out as written: without this a frame waits for
  // the peer's delayed acknowledgement of the one before it.
  BOOL nodelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nodelay), sizeof nodelay);
  // Keep-alive with our own timings; the number of probes is the system's
  // (10 since Vista, 5 before), which finds a vanished peer within minutes too.
  tcp_keepalive ka{};
  ka.onoff = 1;
  ka.keepalivetime = kKeepAliveIdleS * 1000;
  ka.keepaliveinterval = kKeepAliveIntervalS * 1000;
  DWORD returned = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &returned, nullptr, nullptr);
  if (peer) *peer = FromSockaddr(sa);
  return static_cast<SocketHandle>(s);
}

bool SocketErrorIsShortage(int code) { return code == WSAEMFILE || code == WSAENOBUFS; }

SocketHandle SocketConnect(const std::string& addr, std::uint16_t port, const std::string& bind_addr) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (!ParseIPv4(addr, &sa.sin_addr)) throw SocketError(WSAEINVAL, "connect");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (!bind_addr.empty() && !ParseIPv4(bind_addr, &local.sin_addr)) throw SocketError(WSAEINVAL, "bind");
  SOCKET s = NewStreamSocket();
  if (!bind_addr.empty() && bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    FailAndClose(s, "bind");
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && WSAGetLastError() != WSAEWOULDBLOCK)
    FailAndClose(s, "connect");
  return static_cast<SocketHandle>(s);
}

std::size_t SocketSend(SocketHandle s, const char* data, std::size_t len) {
  // Keep sending until everything is out or Winsock says WSAEWOULDBLOCK: only that
  // answer re-arms FD_WRITE, and a caller that got a short count waits for it.
  std::size_t done = 0;
  while (done < len) {
    const int chunk = static_cast<int>(std::min<std::size_t>(len - done, INT_MAX));
    const int n = send(Raw(s), data + done, chunk, 0);
    if (n == SOCKET_ERROR) {
      const int code = WSAGetLastError();
      if (code == WSAEWOULDBLOCK) break;
      throw SocketError(code, "send");
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::ptrdiff_t SocketRecv(SocketHandle s, char* buf, std::size_t len) {
  const int n = recv(Raw(s), buf, static_cast<int>(std::min<std::size_t>(len, INT_MAX)), 0);
  if (n == SOCKET_ERROR) {
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
      win32::NoteSocketDrained(s);
      return -1;
    }
    throw SocketError(code, "recv");
  }
  return n;
}

void SocketClose(SocketHandle s) {
  if (s == kInvalidSocket) return;
  win32::DropSocketWatch(s);
  shutdown(Raw(s), SD_SEND);
  closesocket(Raw(s));
}

void SocketAbort(SocketHandle s) {
  if (s == kInvalidSocket) return;
  win32::DropSocketWatch(s);
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  setsockopt(Raw(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  closesocket(Raw(s));
}

SocketAddress SocketLocalAddress(SocketHandle s) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (getsockname(Raw(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return FromSockaddr(sa);
}

SocketAddress SocketPeerAddress(SocketHandle s) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (getpeername(Raw(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return FromSockaddr(sa);
}

int SocketPendingError(SocketHandle s) {
  int err = 0;
  int len = sizeof err;
  if (getsockopt(Raw(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    return WSAGetLastError();
  return err;
}

std::u16string SocketErrorText(int code) {
  std::u16string text = win32::SystemMessage(static_cast<DWORD>(code));
  if (!text.empty()) return text;
  // Windows' own texts for the codes the transports meet, for a system whose
  // message table lacks them (Wine has none for Winsock).
  static const struct {
    int code;
    const char16_t* text;
  } kTexts[] = {
      {WSAEINTR, u"A blocking operation was interrupted by a call to WSACancelBlockingCall"},
      {WSAEACCES, u"An attempt was made to access a socket in a way forbidden by its access permissions"},
      {WSAEFAULT, u"The system detected an invalid pointer address in attempting to use a pointer argument in a call"},
      {WSAEINVAL, u"An invalid argument was supplied"},
      {WSAEMFILE, u"Too many open sockets"},
      {WSAEWOULDBLOCK, u"A non-blocking socket operation could not be completed immediately"},
      {WSAEALREADY, u"An operation was attempted on a non-blocking socket that already had an operation in progress"},
      {WSAENOTSOCK, u"An operation was attempted on something that is not a socket"},
      {WSAEAFNOSUPPORT, u"An address incompatible with the requested protocol was used"},
      {WSAEADDRINUSE, u"Only one usage of each socket address (protocol/network address/port) is normally permitted"},
      {WSAEADDRNOTAVAIL, u"The requested address is not valid in its context"},
      {WSAENETDOWN, u"A socket operation encountered a dead network"},
      {WSAENETUNREACH, u"A socket operation was attempted to an unreachable network"},
      {WSAECONNABORTED, u"An established connection was aborted by the software in your host machine"},
      {WSAECONNRESET, u"An existing connection was forcibly closed by the remote host"},
      {WSAENOBUFS, u"An operation on a socket could not be performed because the system lacked sufficient buffer "
                   u"space or because a queue was full"},
      {WSAEISCONN, u"A connect request was made on an already connected socket"},
      {WSAENOTCONN, u"A request to send or receive data was disallowed because the socket is not connected and "
                    u"(when sending on a datagram socket using a sendto call) no address was supplied"},
      {WSAESHUTDOWN, u"A request to send or receive data was disallowed because the socket had already been shut "
                     u"down in that direction with a previous shutdown call"},
      {WSAETIMEDOUT, u"A connection attempt failed because the connected party did not properly respond after a "
                     u"period of time, or established connection failed because connected host has failed to "
                     u"respond"},
      {WSAECONNREFUSED, u"No connection could be made because the target machine actively refused it"},
      {WSAEHOSTUNREACH, u"A socket operation was attempted to an unreachable host"},
      {WSANOTINITIALISED, u"Either the application has not called WSAStartup, or WSAStartup failed"},
  };
  for (const auto& t : kTexts)
    if (t.code == code) return t.text;
  return u"Error " + IntToStr(code);
}

}  // namespace axg
