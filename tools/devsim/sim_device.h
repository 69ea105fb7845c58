#pragma once
// One simulated gate controller: a TCP client of the add-in's port with one
// turnstile (one device address) behind it. It presents cards, waits for the
// add-in's decision and behaves like a turnstile: a "GO" frame opens the gate (the
// relay reports at once, the pass is reported done a little later), a "PH" frame
// keeps it closed. Keep-alives go out as "PING" lines.
#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/socket.h"
#include "tools/devsim/device_stream.h"

namespace axg::devsim {

struct SimOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 1001;
  int devices = 3;
  std::string source_base = "127.0.0.2";  // empty: let the system choose the source address
  int first_device = 1;                   // device address of the first controller, as 4 digits
  std::vector<std::string> cards;         // presented in turn; empty: random card numbers
  bool random = false;                    // pick cards at random (from the list, if there is one)
  double rate = 0.5;                      // cards per second per controller
  int gap_ms = 200;                       // least pause after a request ends
  int pass_delay_ms = 500;                // relay report -> finished pass
  int answer_timeout_ms = 10000;          // card -> decision frame, else counted as a timeout
  int ping_ms = 3000;                     // keep-alive interval, 0: none
  int read_rate = 0;                      // bytes a second a controller reads, 0: as they arrive
                                          // (one behind a slow serial bridge)
  int connect_timeout_ms = 5000;          // give up when no connection came up in this time
                                          // (counted from the controller's own start)
  int count = 0;                          // cards per controller, 0: no limit
  unsigned seed = 1;                      // cards picked at random and each controller's phase
  int verbosity = 1;                      // 0 quiet, 1 the road, 2 also every frame
};

struct DeviceStats {
  int requests = 0;
  int opens = 0;
  int refusals = 0;
  int timeouts = 0;
  int unsolicited = 0;  // decision frames with no card waiting
  int misrouted = 0;    // frames addressed to another device
  int bad_frames = 0;   // frames whose check digits do not match
  int pings = 0;
  int echoes = 0;
  int tests = 0;        // "test" texts received
  std::vector<std::int64_t> echo_ms;     // PING -> its "ECHO" frame
  int connects = 0;
  int drops = 0;
  std::vector<std::int64_t> latency_ms;  // card -> "GO" or "PH" frame
};

// Time-stamped output lines.
void PrintLine(const std::string& who, const std::string& text);

// One request is outstanding at a time; the next card comes no sooner than
// 1/rate after the previous one and a gap after the previous request ended.
class SimDevice {
 public:
  SimDevice(int index, const SimOptions& options);
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // Connects; the first keep-alive and the first card then come at a random
  // point within their intervals, as real controllers are not synchronised.
  void Start();
  void Shutdown();

  // All cards of --count presented and every request settled.
  bool Finished() const;
  bool GaveUp() const { return gave_up_; }
  bool Connected() const { return connected_; }
  // Started, neither connected yet nor given up.
  bool Connecting() const { return started_ms_ > 0 && stats_.connects == 0 && !gave_up_; }
  bool Outstanding() const { return outstanding_; }
  const DeviceStats& Stats() const { return stats_; }
  const std::string& Source() const { return source_; }
  const std::string& Device() const { return device_; }
  std::string Name() const;

 private:
  class OneShot {
   public:
    void Arm(unsigned ms, std::function<void()> fn);
    void Cancel();
    bool Armed() const { return id_ != 0; }
    ~OneShot() { Cancel(); }

   private:
    TimerId id_ = 0;
  };

  void Connect();
  void OnSocket(unsigned event, int error);
  void OnConnected();
  void OnLost(const std::string& why);
  // Reads what has arrived, at most `most` bytes.
  void ReadAll(std::size_t most = SIZE_MAX);
  // Watched for reading unless it reads at its own pace (read_rate).
  unsigned ReadMask() const { return opt_.read_rate > 0 ? 0u : unsigned(kSockRead); }
  void ReadSlowly();
  void OnFrame(const DeviceFrame& f);
  void Write(const std::string& line);
  void Flush();
  void PresentCard();
  void Ping();
  // A random delay in [0, interval_ms): this controller's phase.
  unsigned Phase(std::int64_t interval_ms);
  void ScheduleNextCard();
  void Settle();
  std::string NextCard();
  void Say(const std::string& text) const;

  int index_;
  const SimOptions& opt_;
  std::string source_;
  std::string device_;
  std::mt19937_64 rng_;
  std::mt19937_64 phase_rng_;  // apart from rng_: the cards picked stay those of the same seed
  int next_card_ = 0;

  SocketHandle sock_ = kInvalidSocket;
  bool connected_ = false;
  bool stopping_ = false;
  bool gave_up_ = false;
  std::int64_t started_ms_ = 0;
  std::string out_;
  FrameSplitter in_;

  bool outstanding_ = false;   // a card waits for its decision frame
  bool pass_pending_ = false;  // the gate is open, the pass not yet reported
  std::string card_;
  std::int64_t card_sent_ms_ = 0;
  std::int64_t last_card_ms_ = -1;

  std::deque<std::int64_t> pings_sent_ms_;  // keep-alives still waiting for their "ECHO"

  OneShot retry_timer_, card_timer_, answer_timer_, pass_timer_, ping_phase_timer_, read_timer_;
  TimerId ping_timer_ = 0;
  DeviceStats stats_;
};

}  // namespace axg::devsim
