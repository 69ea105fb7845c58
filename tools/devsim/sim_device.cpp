#include "tools/devsim/sim_device.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "platform/clock.h"
#include "platform/text.h"

namespace axg::devsim {

namespace {

std::int64_t NowMs() { return CurrentClock().MonotonicMs(); }

std::string TimeStamp() {
  double t = CurrentClock().TimeOfDay();
  long ms = static_cast<long>(t * 86400000.0 + 0.5);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld.%03ld", ms / 3600000 % 24, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return buf;
}

// The source address of controller `index`: the base address plus index.
std::string SourceAddress(const std::string& base, int index) {
  if (base.empty()) return {};
  unsigned a = 0, b = 0, c = 0, d = 0;
  char tail = 0;
  if (std::sscanf(base.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 ||
      b > 255 || c > 255 || d > 255)
    return base;
  std::uint32_t v = (a << 24 | b << 16 | c << 8 | d) + static_cast<std::uint32_t>(index);
  return std::to_string(v >> 24) + "." + std::to_string(v >> 16 & 255) + "." +
         std::to_string(v >> 8 & 255) + "." + std::to_string(v & 255);
}

std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char ch : bytes) {
    if (ch == '\r') out += "\\r";
    else if (ch == '\n') out += "\\n";
    else if (ch < 0x20 || ch == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", ch);
      out += buf;
    } else if (ch >= 0x80) {
      out += ToUtf8(FromAnsi(std::string(1, static_cast<char>(ch))));
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out;
}

}  // namespace

void PrintLine(const std::string& who, const std::string& text) {
  std::cout << TimeStamp() << "  " << who << "  " << text << std::endl;
}

void SimDevice::OneShot::Arm(unsigned ms, std::function<void()> fn) {
  Cancel();
  id_ = MessageLoop::Current().StartTimer(ms, [this, fn = std::move(fn)] {
    Cancel();
    fn();
  });
}

void SimDevice::OneShot::Cancel() {
  if (id_ != 0) MessageLoop::Current().StopTimer(id_);
  id_ = 0;
}

SimDevice::SimDevice(int index, const SimOptions& options)
    : index_(index),
      opt_(options),
      source_(SourceAddress(options.source_base, index)),
      rng_(static_cast<std::uint64_t>(options.seed) * 1000003u + static_cast<unsigned>(index)),
      phase_rng_((static_cast<std::uint64_t>(options.seed) << 32 | 0x9E37u) ^ (static_cast<std::uint64_t>(index) * 0x9E3779B97F4A7C15u)) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d", (options.first_device + index) % 10000);
  device_ = buf;
  next_card_ = index;
}

SimDevice::~SimDevice() { Shutdown(); }

std::string SimDevice::Name() const { return (source_.empty() ? "*" : source_) + "/" + device_; }

void SimDevice::Say(const std::string& text) const {
  if (opt_.verbosity >= 1) PrintLine(Name(), text);
}

void SimDevice::Start() {
  started_ms_ = std::max<std::int64_t>(NowMs(), 1);
  Connect();
}

unsigned SimDevice::Phase(std::int64_t interval_ms) {
  if (interval_ms <= 1) return 0;
  std::uniform_int_distribution<std::int64_t> dist(0, interval_ms - 1);
  return static_cast<unsigned>(dist(phase_rng_));
}

void SimDevice::Connect() {
  if (stopping_) return;
  try {
    sock_ = SocketConnect(opt_.host, opt_.port, source_);
  } catch (const Error& e) {
    OnLost(std::string("cannot connect: ") + e.what());
    return;
  }
  MessageLoop::Current().WatchSocket(sock_, kSockConnect | ReadMask() | kSockClose,
                                     [this](unsigned ev, int err) { OnSocket(ev, err); });
}

void SimDevice::OnSocket(unsigned event, int error) {
  if (sock_ == kInvalidSocket) return;
  if (event & kSockConnect) {
    if (error != 0) {
      OnLost("cannot connect: " + ToUtf8(SocketErrorText(error)));
      return;
    }
    OnConnected();
  }
  if (event & kSockRead) ReadAll();
  if (event & kSockWrite) Flush();
  if ((event & kSockClose) && sock_ != kInvalidSocket) {
    ReadAll();
    if (sock_ != kInvalidSocket) OnLost("connection closed by the add-in");
  }
}

void SimDevice::OnConnected() {
  connected_ = true;
  ++stats_.connects;
  if (opt_.read_rate > 0) read_timer_.Arm(100, [this] { ReadSlowly(); });
  SocketAddress local = SocketLocalAddress(sock_);
  Say("connected to " + opt_.host + ":" + std::to_string(opt_.port) + " from " + local.addr + ":" +
      std::to_string(local.port));
  // The keep-alives keep their period across reconnects; the first one comes at
  // this controller's phase.
  if (opt_.ping_ms > 0 && ping_timer_ == 0 && !ping_phase_timer_.Armed()) {
    ping_phase_timer_.Arm(Phase(opt_.ping_ms), [this] {
      Ping();
      if (ping_timer_ == 0 && !stopping_)
        ping_timer_ = MessageLoop::Current().StartTimer(static_cast<unsigned>(opt_.ping_ms), [this] { Ping(); });
    });
  }
  // The first card at a random point of the card interval (after a reconnect, of
  // the least gap), so that the controllers do not all speak at once.
  if (!outstanding_ && !pass_pending_) {
    const std::int64_t interval =
        stats_.connects == 1 && opt_.rate > 0 ? static_cast<std::int64_t>(1000.0 / opt_.rate) : opt_.gap_ms;
    card_timer_.Arm(Phase(interval), [this] { PresentCard(); });
  }
}

void SimDevice::Ping() {
  if (!connected_) return;
  ++stats_.pings;
  pings_sent_ms_.push_back(NowMs());
  if (opt_.verbosity >= 2) Say("-> " + Printable(PingLine(device_)));
  Write(PingLine(device_));
}

void SimDevice::OnLost(const std::string& why) {
  if (sock_ != kInvalidSocket) {
    MessageLoop::Current().UnwatchSocket(sock_);
    SocketClose(sock_);
    sock_ = kInvalidSocket;
  }
  out_.clear();
  in_ = FrameSplitter();
  pings_sent_ms_.clear();  // their answers went with the connection
  if (connected_) ++stats_.drops;
  bool was_connected = connected_;
  connected_ = false;
  card_timer_.Cancel();
  read_timer_.Cancel();
  if (stopping_) return;
  if (!was_connected && stats_.connects == 0 && NowMs() - started_ms_ >= opt_.connect_timeout_ms) {
    Say(why + "; giving up");
    gave_up_ = true;
    return;
  }
  if (was_connected || opt_.verbosity >= 2) Say(why + "; trying again");
  retry_timer_.Arm(was_connected ? 1000 : 250, [this] { Connect(); });
}

void SimDevice::Shutdown() {
  stopping_ = true;
  retry_timer_.Cancel();
  card_timer_.Cancel();
  answer_timer_.Cancel();
  pass_timer_.Cancel();
  ping_phase_timer_.Cancel();
  read_timer_.Cancel();
  if (ping_timer_ != 0) MessageLoop::Current().StopTimer(ping_timer_);
  ping_timer_ = 0;
  if (sock_ != kInvalidSocket) {
    MessageLoop::Current().UnwatchSocket(sock_);
    SocketClose(sock_);
    sock_ = kInvalidSocket;
  }
  connected_ = false;
}

// A tenth of a second's worth, ten times a second.
void SimDevice::ReadSlowly() {
  ReadAll(static_cast<std::size_t>(std::max(opt_.read_rate / 10, 1)));
  if (connected_) read_timer_.Arm(100, [this] { ReadSlowly(); });
}

void SimDevice::ReadAll(std::size_t most) {
  char buf[4096];
  while (sock_ != kInvalidSocket && most > 0) {
    std::ptrdiff_t n;
    try {
      n = SocketRecv(sock_, buf, std::min(sizeof buf, most));
    } catch (const Error& e) {
      OnLost(std::string("receive failed: ") + e.what());
      return;
    }
    if (n == 0) {
      OnLost("connection closed by the add-in");
      return;
    }
    if (n < 0) break;
    most -= static_cast<std::size_t>(n);
    in_.Append(std::string_view(buf, static_cast<std::size_t>(n)));
    while (auto f = in_.Next(false)) OnFrame(*f);
  }
  // Reading at its own pace the controller never knows that a frame has ended
  // with what it has: the add-in's write may have been cut by a full socket.
  if (opt_.read_rate > 0) return;
  while (sock_ != kInvalidSocket) {
    auto f = in_.Next(true);
    if (!f) break;
    OnFrame(*f);
  }
}

void SimDevice::Write(const std::string& line) {
  if (sock_ == kInvalidSocket || !connected_) return;
  out_ += line;
  Flush();
}

void SimDevice::Flush() {
  if (sock_ == kInvalidSocket) return;
  try {
    while (!out_.empty()) {
      std::size_t n = SocketSend(sock_, out_.data(), out_.size());
      if (n == 0) break;
      out_.erase(0, n);
    }
  } catch (const Error& e) {
    OnLost(std::string("send failed: ") + e.what());
    return;
  }
  unsigned mask = ReadMask() | kSockClose | (out_.empty() ? 0u : static_cast<unsigned>(kSockWrite));
  MessageLoop::Current().UpdateSocket(sock_, mask);
}

std::string SimDevice::NextCard() {
  if (opt_.cards.empty()) {
    std::uniform_int_distribution<unsigned long long> dist(0, 9999999999ull);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%010llu", dist(rng_));
    return buf;
  }
  std::size_t i;
  if (opt_.random) {
    std::uniform_int_distribution<std::size_t> dist(0, opt_.cards.size() - 1);
    i = dist(rng_);
  } else {
    i = static_cast<std::size_t>(next_card_++) % opt_.cards.size();
  }
  return opt_.cards[i];
}

void SimDevice::PresentCard() {
  if (stopping_ || !connected_ || outstanding_ || pass_pending_) return;
  if (opt_.count > 0 && stats_.requests >= opt_.count) return;
  card_ = NextCard();
  outstanding_ = true;
  card_sent_ms_ = last_card_ms_ = NowMs();
  ++stats_.requests;
  std::string line = CardRequestLine(device_, card_);
  Say("card " + card_ + " presented" + (opt_.verbosity >= 2 ? "  -> " + Printable(line) : ""));
  Write(line);
  answer_timer_.Arm(static_cast<unsigned>(opt_.answer_timeout_ms), [this] {
    ++stats_.timeouts;
    outstanding_ = false;
    Say("card " + card_ + ": no decision within " + std::to_string(opt_.answer_timeout_ms) +
        " ms, gate stays closed (timeout)");
    Settle();
  });
}

void SimDevice::ScheduleNextCard() {
  if (stopping_ || (opt_.count > 0 && stats_.requests >= opt_.count)) return;
  std::int64_t interval = opt_.rate > 0 ? static_cast<std::int64_t>(1000.0 / opt_.rate) : 0;
  std::int64_t due = std::max<std::int64_t>(opt_.gap_ms, last_card_ms_ + interval - NowMs());
  card_timer_.Arm(static_cast<unsigned>(due), [this] { PresentCard(); });
}

// A request has ended (decision frame handled or given up on).
void SimDevice::Settle() {
  if (!outstanding_ && !pass_pending_) ScheduleNextCard();
}

void SimDevice::OnFrame(const DeviceFrame& f) {
  if (f.kind == DeviceFrame::kText) {
    if (opt_.verbosity >= 2) Say("<- text: " + Printable(f.raw));
    return;
  }
  if (!f.crc_ok) {
    ++stats_.bad_frames;
    Say("<- " + Printable(f.raw) + ": check digits do not match, ignored");
    return;
  }
  if (f.kind == DeviceFrame::kTest) {
    ++stats_.tests;
    return;
  }
  if (opt_.verbosity >= 2) Say("<- " + Printable(f.raw));
  if (f.device != device_) {
    ++stats_.misrouted;
    Say("<- " + Printable(f.raw) + ": frame for device " + f.device + ", not this one");
    return;
  }
  if (f.mnemonic == "ECHO") {
    ++stats_.echoes;
    // The add-in answers keep-alives in order, one "ECHO" each.
    if (!pings_sent_ms_.empty()) {
      stats_.echo_ms.push_back(NowMs() - pings_sent_ms_.front());
      pings_sent_ms_.pop_front();
    }
    return;
  }
  if (f.mnemonic == "GO") {
    bool waited = outstanding_;
    if (waited) {
      std::int64_t lat = NowMs() - card_sent_ms_;
      stats_.latency_ms.push_back(lat);
      ++stats_.opens;
      outstanding_ = false;
      answer_timer_.Cancel();
      Say("GO: gate opens for card " + card_ + " (" + std::to_string(lat) + " ms after the card)");
    } else {
      ++stats_.unsolicited;
      Say("GO with no card waiting: gate opens");
    }
    if (pass_pending_) return;  // already open: the person is still passing
    pass_pending_ = true;
    Write(RelayReportLine(device_));
    if (opt_.verbosity >= 2) Say("-> " + Printable(RelayReportLine(device_)));
    pass_timer_.Arm(static_cast<unsigned>(opt_.pass_delay_ms), [this] {
      pass_pending_ = false;
      Write(PassDoneLine(device_));
      Say("person passed, gate closed" +
          (opt_.verbosity >= 2 ? "  -> " + Printable(PassDoneLine(device_)) : std::string()));
      Settle();
    });
    return;
  }
  if (f.mnemonic == "PH") {
    if (outstanding_) {
      std::int64_t lat = NowMs() - card_sent_ms_;
      stats_.latency_ms.push_back(lat);
      ++stats_.refusals;
      outstanding_ = false;
      answer_timer_.Cancel();
      Say("PH: card " + card_ + " refused, gate stays closed (" + std::to_string(lat) +
          " ms after the card)");
      Settle();
    } else {
      ++stats_.unsolicited;
      Say("PH with no card waiting");
    }
    return;
  }
  if (f.mnemonic == "GR") return;  // second frame of an open command
  if (f.mnemonic == "CP" || f.mnemonic == "CS" || f.mnemonic.rfind("PSN", 0) == 0) {
    if (opt_.verbosity < 2) Say("<- " + Printable(f.raw));
    return;
  }
  Say("<- " + Printable(f.raw) + ": unknown frame, ignored");
}

bool SimDevice::Finished() const {
  return opt_.count > 0 && stats_.requests >= opt_.count && !outstanding_ && !pass_pending_;
}

}  // namespace axg::devsim
