#pragma once
// Devices for the load and fault tests, each one TCP client of port 1001 from
// its own loopback address, on the test's message loop:
//   cards   presents cards one at a time and plays the turnstile on "GO" (relay
//           report, then the finished pass); now and then it leaves in the middle
//           of a line, closing or resetting the connection, and comes back
//   garbage writes random bytes (NUL and bytes above 127 included), now and then
//           with line ends and fragments of the protocol
//   endless writes without ever ending a line, until the server closes it
//   slow    sends lines as fast as it can and never reads the answers
//   pinger  sends keep-alives quickly and counts the answers
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/socket.h"
#include "tools/devsim/device_stream.h"

namespace axg::load {

enum class Kind { kCards, kGarbage, kEndless, kSlow, kPinger };

struct DeviceConfig {
  Kind kind = Kind::kCards;
  int index = 0;                   // source address 127.0.0.2 + index
  std::string id;                  // device address (4 characters)
  unsigned seed = 1;
  double leave_chance = 0;         // cards: after a road, leave in the middle of a line
  double reset_share = 0.5;        // of those leaves, the share with a connection reset
  int answer_timeout_ms = 10000;   // cards: wait this long for the decision frame
  // cards: pause after a road before the next card; long enough for the finished
  // request to have left the controller's stack
  unsigned gap_min_ms = 500, gap_max_ms = 900;
  // cards and pinger: pause between keep-alives
  unsigned ping_min_ms = 4000, ping_max_ms = 8000;
  int read_bytes_per_s = 0;        // cards: read this slowly until it winds up (0: as data comes)
};

struct DeviceStats {
  std::vector<std::string> cards;  // card numbers of complete card lines sent
  int gos = 0, phs = 0, echoes = 0, pings = 0, unanswered = 0, tests = 0;
  int connects = 0, failed_connects = 0, own_closes = 0, server_closes = 0;
  std::vector<long> endless_cut_at;  // endless: bytes written on a connection the server closed
  bool cut_off = false;              // slow: the server dropped the connection
  long bytes_sent = 0;
};

// The source address of device index i.
std::string SourceOf(int index);

class LoadDevice {
 public:
  explicit LoadDevice(DeviceConfig config);
  ~LoadDevice();
  LoadDevice(const LoadDevice&) = delete;
  LoadDevice& operator=(const LoadDevice&) = delete;

  void Start();
  // No new activity: a card road under way is finished first (see Settled).
  void Wind();
  // Closes the connection for good.
  void Stop();
  // Nothing outstanding: no card waits for its decision, and a pinger (which
  // never leaves) has had the answer to every keep-alive it sent: a busy machine
  // may answer the last one late.
  bool Settled() const {
    return !outstanding_ && (cfg_.kind != Kind::kPinger || stats_.echoes >= stats_.pings);
  }
  bool Connected() const { return connected_; }
  const DeviceStats& Stats() const { return stats_; }
  const DeviceConfig& Config() const { return cfg_; }

 private:
  class OneShot {
   public:
    ~OneShot() { Cancel(); }
    void Arm(unsigned ms, std::function<void()> fn);
    void Cancel();

   private:
    TimerId id_ = 0;
  };

  void Connect();
  void OnSocket(unsigned event, int error);
  void OnConnected();
  void Lost(bool by_server);
  void ReadAll(std::size_t most = SIZE_MAX);
  void OnFrame(const devsim::DeviceFrame& f);
  bool Write(const std::string& bytes);
  void Flush();
  void UpdateWatch();
  void PresentCard();
  void AfterRoad();
  void Leave();
  void GarbageStep();
  void EndlessStep();
  void SlowStep();
  void TrickleStep();
  void PingStep();
  unsigned Rand(unsigned lo, unsigned hi);
  std::string RandomBytes(std::size_t n, bool printable);

  DeviceConfig cfg_;
  std::string source_;
  std::mt19937 rng_;
  SocketHandle s_ = kInvalidSocket;
  bool connected_ = false;
  bool running_ = false;
  bool winding_ = false;
  bool outstanding_ = false;
  bool reading_ = true;
  long conn_bytes_ = 0;
  int seq_ = 0;
  std::string out_;
  devsim::FrameSplitter in_;
  OneShot step_, answer_, reconnect_, ping_, trickle_;
  DeviceStats stats_;
};

}  // namespace axg::load
