#pragma once
// A device stand-in for network tests: one TCP client on the thread's message
// loop that writes raw bytes and collects everything the server writes back.
// Every wait is bounded.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/message_loop.h"
#include "platform/socket.h"

namespace axg::test {

inline constexpr unsigned kWaitMs = 5000;

class LineClient {
 public:
  explicit LineClient(std::uint16_t port, const std::string& addr = "127.0.0.1")
      : loop_(MessageLoop::Current()) {
    s_ = SocketConnect(addr, port);
    loop_.WatchSocket(s_, kSockConnect | kSockRead | kSockClose,
                      [this](unsigned event, int error) { OnSocket(event, error); });
  }
  ~LineClient() { Drop(false); }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool WaitConnected() {
    return loop_.RunUntil([this] { return connected_ || closed_; }, kWaitMs) && connected_;
  }
  void Send(std::string_view bytes) {
    ASSERT_EQ(SocketSend(s_, bytes.data(), bytes.size()), bytes.size());
  }
  // Waits until the received bytes hold `text` (from the start when whole).
  bool WaitFor(std::string_view text) {
    return loop_.RunUntil([&] { return received_.find(text) != std::string::npos; }, kWaitMs);
  }
  bool WaitBytes(std::size_t n) {
    return loop_.RunUntil([&] { return received_.size() >= n || closed_; }, kWaitMs) && received_.size() >= n;
  }
  bool WaitClosed() { return loop_.RunUntil([this] { return closed_; }, kWaitMs); }
  // Everything received so far; the buffer is emptied.
  std::string Take() {
    std::string out;
    out.swap(received_);
    return out;
  }
  const std::string& Received() const { return received_; }
  bool Closed() const { return closed_; }
  SocketHandle Handle() const { return s_; }
  // Stops (or resumes) reading, so that the server's writes back up.
  void PauseReading(bool pause) { loop_.UpdateSocket(s_, pause ? unsigned(kSockClose) : kSockRead | kSockClose); }
  // Resets the connection at once.
  void Reset() { Drop(true); }

 private:
  void OnSocket(unsigned event, int error) {
    if (event & kSockConnect) {
      if (error == 0) connected_ = true;
      else closed_ = true;
      return;
    }
    if (event & kSockRead) {
      char buf[65536];
      for (;;) {
        std::ptrdiff_t n = 0;
        try {
          n = SocketRecv(s_, buf, sizeof buf);
        } catch (const SocketError&) {
          n = 0;
        }
        if (n < 0) return;
        if (n == 0) {
          Drop(false);
          closed_ = true;
          return;
        }
        received_.append(buf, static_cast<std::size_t>(n));
      }
    }
    if (event & kSockClose) closed_ = true;
  }
  void Drop(bool reset) {
    if (s_ == kInvalidSocket) return;
    loop_.UnwatchSocket(s_);
    if (reset) SocketAbort(s_);
    else SocketClose(s_);
    s_ = kInvalidSocket;
  }

  MessageLoop& loop_;
  SocketHandle s_ = kInvalidSocket;
  bool connected_ = false;
  bool closed_ = false;
  std::string received_;
};

}  // namespace axg::test
