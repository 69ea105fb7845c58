#include "load/load_device.h"

#include <algorithm>
#include <cstdio>

#include "platform/error.h"

namespace axg::load {

std::string SourceOf(int index) {
  const std::uint32_t v = (127u << 24 | 2u) + static_cast<std::uint32_t>(index);
  return std::to_string(v >> 24) + "." + std::to_string(v >> 16 & 255) + "." + std::to_string(v >> 8 & 255) +
         "." + std::to_string(v & 255);
}

void LoadDevice::OneShot::Arm(unsigned ms, std::function<void()> fn) {
  Cancel();
  id_ = MessageLoop::Current().StartTimer(ms, [this, fn = std::move(fn)] {
    Cancel();
    fn();
  });
}

void LoadDevice::OneShot::Cancel() {
  if (id_) MessageLoop::Current().StopTimer(id_);
  id_ = 0;
}

LoadDevice::LoadDevice(DeviceConfig config)
    : cfg_(std::move(config)), source_(SourceOf(cfg_.index)), rng_(cfg_.seed * 7919u + static_cast<unsigned>(cfg_.index)) {
  reading_ = cfg_.kind != Kind::kSlow && cfg_.read_bytes_per_s == 0;
}

LoadDevice::~LoadDevice() { Stop(); }

unsigned LoadDevice::Rand(unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng_); }

std::string LoadDevice::RandomBytes(std::size_t n, bool printable) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (printable) {
      // No CR at all, so no line can end; an LF alone now and then.
      out += Rand(0, 99) < 3 ? '\n' : static_cast<char>(Rand(0x20, 0x7E));
    } else {
      out += static_cast<char>(Rand(0, 255));
    }
  }
  return out;
}

void LoadDevice::Start() {
  running_ = true;
  Connect();
}

void LoadDevice::Wind() {
  winding_ = true;
  step_.Cancel();
  reconnect_.Cancel();
  ping_.Cancel();
  if (cfg_.read_bytes_per_s == 0 || s_ == kInvalidSocket) return;
  reading_ = true;  // it takes what it is owed now
  UpdateWatch();
}

void LoadDevice::Stop() {
  running_ = false;
  step_.Cancel();
  answer_.Cancel();
  reconnect_.Cancel();
  ping_.Cancel();
  if (s_ != kInvalidSocket) {
    MessageLoop::Current().UnwatchSocket(s_);
    SocketClose(s_);
    s_ = kInvalidSocket;
  }
  connected_ = false;
}

void LoadDevice::Connect() {
  if (!running_ || winding_) return;
  try {
    s_ = SocketConnect("127.0.0.1", 1001, source_);
  } catch (const Error&) {
    ++stats_.failed_connects;
    reconnect_.Arm(200, [this] { Connect(); });
    return;
  }
  conn_bytes_ = 0;
  out_.clear();
  in_ = devsim::FrameSplitter();
  MessageLoop::Current().WatchSocket(s_, kSockConnect | kSockClose | (reading_ ? unsigned(kSockRead) : 0u),
                                     [this](unsigned ev, int err) { OnSocket(ev, err); });
}

void LoadDevice::UpdateWatch() {
  if (s_ == kInvalidSocket || !connected_) return;
  unsigned mask = kSockClose;
  if (reading_) mask |= kSockRead;
  if (!out_.empty() || cfg_.kind == Kind::kSlow) mask |= kSockWrite;
  MessageLoop::Current().UpdateSocket(s_, mask);
}

void LoadDevice::OnSocket(unsigned event, int error) {
  if (s_ == kInvalidSocket) return;
  if (event & kSockConnect) {
    if (error != 0) {
      ++stats_.failed_connects;
      MessageLoop::Current().UnwatchSocket(s_);
      SocketClose(s_);
      s_ = kInvalidSocket;
      reconnect_.Arm(200, [this] { Connect(); });
      return;
    }
    OnConnected();
    return;
  }
  if (event & kSockRead) ReadAll();
  if (s_ == kInvalidSocket) return;
  if (event & kSockWrite) {
    if (cfg_.kind == Kind::kSlow) SlowStep();
    else Flush();
  }
  if (s_ == kInvalidSocket) return;
  if (event & kSockClose) {
    if (reading_) ReadAll();
    if (s_ != kInvalidSocket) Lost(true);
  }
}

void LoadDevice::OnConnected() {
  connected_ = true;
  ++stats_.connects;
  UpdateWatch();
  switch (cfg_.kind) {
    case Kind::kCards:
      if (cfg_.read_bytes_per_s > 0) TrickleStep();
      step_.Arm(Rand(50, 400), [this] { PresentCard(); });
      ping_.Arm(Rand(cfg_.ping_min_ms, cfg_.ping_max_ms), [this] { PingStep(); });
      break;
    case Kind::kGarbage: step_.Arm(Rand(5, 20), [this] { GarbageStep(); }); break;
    case Kind::kEndless: step_.Arm(5, [this] { EndlessStep(); }); break;
    case Kind::kSlow: SlowStep(); break;
    case Kind::kPinger: step_.Arm(Rand(cfg_.ping_min_ms, cfg_.ping_max_ms), [this] { PingStep(); }); break;
  }
}

void LoadDevice::Lost(bool by_server) {
  if (s_ == kInvalidSocket) return;
  MessageLoop::Current().UnwatchSocket(s_);
  if (by_server) SocketClose(s_);
  s_ = kInvalidSocket;
  connected_ = false;
  step_.Cancel();
  ping_.Cancel();
  if (by_server) {
    ++stats_.server_closes;
    if (cfg_.kind == Kind::kEndless) stats_.endless_cut_at.push_back(conn_bytes_);
    if (cfg_.kind == Kind::kSlow) {
      stats_.cut_off = true;
      return;  // it has made its point
    }
  }
  // A card whose decision can no longer come is not waited for.
  if (outstanding_) {
    outstanding_ = false;
    answer_.Cancel();
  }
  if (running_ && !winding_) reconnect_.Arm(Rand(100, 600), [this] { Connect(); });
}

void LoadDevice::ReadAll(std::size_t most) {
  char buf[8192];
  bool ended = false, rest = false;
  while (most > 0) {
    std::ptrdiff_t n = 0;
    try {
      n = SocketRecv(s_, buf, std::min(sizeof buf, most));
    } catch (const SocketError&) {
      ended = true;
      break;
    }
    if ((rest = n < 0)) break;
    if (n == 0) {
      ended = true;
      break;
    }
    most -= static_cast<std::size_t>(n);
    in_.Append(std::string_view(buf, static_cast<std::size_t>(n)));
  }
  while (auto f = in_.Next(rest)) OnFrame(*f);
  if (ended) Lost(true);
}

void LoadDevice::OnFrame(const devsim::DeviceFrame& f) {
  stats_.tests += f.kind == devsim::DeviceFrame::kTest;
  if (f.kind != devsim::DeviceFrame::kFrame || f.device != cfg_.id) return;
  if (f.mnemonic == "ECHO") {
    ++stats_.echoes;
    return;
  }
  if (cfg_.kind != Kind::kCards || !outstanding_) return;
  if (f.mnemonic == "GO") {
    ++stats_.gos;
    outstanding_ = false;
    answer_.Cancel();
    Write(devsim::RelayReportLine(cfg_.id) + devsim::PassDoneLine(cfg_.id));
    AfterRoad();
  } else if (f.mnemonic == "PH") {
    ++stats_.phs;
    outstanding_ = false;
    answer_.Cancel();
    AfterRoad();
  }
}

bool LoadDevice::Write(const std::string& bytes) {
  if (s_ == kInvalidSocket || !connected_) return false;
  if (out_.empty()) {
    std::size_t n = 0;
    try {
      n = SocketSend(s_, bytes.data(), bytes.size());
    } catch (const SocketError&) {
      Lost(true);
      return false;
    }
    stats_.bytes_sent += static_cast<long>(n);
    conn_bytes_ += static_cast<long>(n);
    if (n == bytes.size()) return true;
    out_.assign(bytes, n, std::string::npos);
  } else {
    out_ += bytes;
  }
  UpdateWatch();
  return true;
}

void LoadDevice::Flush() {
  if (out_.empty()) return;
  std::size_t n = 0;
  try {
    n = SocketSend(s_, out_.data(), out_.size());
  } catch (const SocketError&) {
    Lost(true);
    return;
  }
  stats_.bytes_sent += static_cast<long>(n);
  conn_bytes_ += static_cast<long>(n);
  out_.erase(0, n);
  if (out_.empty()) UpdateWatch();
}

void LoadDevice::PresentCard() {
  if (!connected_ || winding_) return;
  char card[32];
  std::snprintf(card, sizeof card, "%04d%06d", cfg_.index % 10000, seq_++ % 1000000);
  if (!out_.empty()) {
    // Still writing: a card line must not sit behind a half-sent one.
    step_.Arm(50, [this] { PresentCard(); });
    return;
  }
  if (!Write(devsim::CardRequestLine(cfg_.id, card))) return;
  stats_.cards.push_back(card);
  outstanding_ = true;
  answer_.Arm(static_cast<unsigned>(cfg_.answer_timeout_ms), [this] {
    ++stats_.unanswered;
    outstanding_ = false;
    AfterRoad();
  });
}

void LoadDevice::AfterRoad() {
  if (winding_) return;
  if (cfg_.leave_chance > 0 && std::uniform_real_distribution<double>(0, 1)(rng_) < cfg_.leave_chance) {
    // Give the pass report time to arrive, then leave in the middle of a line.
    step_.Arm(60, [this] { Leave(); });
    return;
  }
  step_.Arm(Rand(cfg_.gap_min_ms, cfg_.gap_max_ms), [this] { PresentCard(); });
}

void LoadDevice::Leave() {
  if (s_ == kInvalidSocket || !connected_) return;
  const bool reset = std::uniform_real_distribution<double>(0, 1)(rng_) < cfg_.reset_share;
  Write("$" + cfg_.id + "RQ00" + RandomBytes(Rand(0, 30), true));
  if (s_ == kInvalidSocket) return;
  ++stats_.own_closes;
  MessageLoop::Current().UnwatchSocket(s_);
  if (reset) SocketAbort(s_);
  else SocketClose(s_);
  s_ = kInvalidSocket;
  connected_ = false;
  ping_.Cancel();
  if (running_ && !winding_) reconnect_.Arm(Rand(200, 600), [this] { Connect(); });
}

void LoadDevice::GarbageStep() {
  if (!connected_ || winding_) return;
  const unsigned r = Rand(0, 99);
  std::string chunk;
  if (r < 8) {
    static const char* kWords[] = {"PING", "GO", "GR", "BT", "ET", "RQ", "PR", "FK", "ECHO"};
    chunk = std::string(1, Rand(0, 1) ? '$' : '#') + RandomBytes(Rand(0, 8), false) + kWords[Rand(0, 8)] +
            RandomBytes(Rand(0, 12), false) + "\r\n";
  } else {
    chunk = RandomBytes(Rand(1, 64), false);
    if (r < 30) chunk += "\r\n";
  }
  Write(chunk);
  step_.Arm(Rand(5, 20), [this] { GarbageStep(); });
}

void LoadDevice::EndlessStep() {
  if (!connected_ || winding_) return;
  Write(RandomBytes(40, true));
  step_.Arm(5, [this] { EndlessStep(); });
}

void LoadDevice::SlowStep() {
  if (!connected_ || winding_) return;
  // Lines as many as the socket takes, each answered with a "test" text to every
  // connection; the answers pile up unread. The lines carry no message, so the
  // flood does not also flood the host with events.
  std::string block;
  for (int i = 0; i < 200; ++i) block += "#" + cfg_.id + "Idle\r\n";
  for (int round = 0; round < 4 && connected_; ++round) {
    std::size_t n = 0;
    try {
      n = SocketSend(s_, block.data(), block.size());
    } catch (const SocketError&) {
      Lost(true);
      return;
    }
    stats_.bytes_sent += static_cast<long>(n);
    if (n < block.size()) break;
  }
}

void LoadDevice::TrickleStep() {
  ReadAll(static_cast<std::size_t>(cfg_.read_bytes_per_s / 10 + 1));
  if (s_ != kInvalidSocket && !reading_) trickle_.Arm(100, [this] { TrickleStep(); });
}

void LoadDevice::PingStep() {
  if (!connected_ || winding_) return;
  if (out_.empty() && Write(devsim::PingLine(cfg_.id))) ++stats_.pings;
  auto& timer = cfg_.kind == Kind::kPinger ? step_ : ping_;
  timer.Arm(Rand(cfg_.ping_min_ms, cfg_.ping_max_ms), [this] { PingStep(); });
}

}  // namespace axg::load
