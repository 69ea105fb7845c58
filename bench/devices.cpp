#include "bench/devices.h"

#include <algorithm>
#include <cstdio>

#include "bench/bench_os.h"
#include "bench/shared_state.h"
#include "platform/error.h"

namespace axg::bench {

namespace {
constexpr int kConnectsInFlight = 4;  // well inside the server's listen backlog
}

std::string SourceAddress(int index) {
  const std::uint32_t v = (127u << 24 | 2u) + static_cast<std::uint32_t>(index);
  return std::to_string(v >> 24) + "." + std::to_string(v >> 16 & 255) + "." + std::to_string(v >> 8 & 255) +
         "." + std::to_string(v & 255);
}

std::string DeviceId(int index) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d", DeviceNumber(index) % 10000);
  return buf;
}

DeviceSet::DeviceSet(std::string server, std::uint16_t port, int count, int first_index)
    : server_(std::move(server)), port_(port), loop_(MessageLoop::Current()) {
  for (int i = first_index; i < first_index + count; ++i) {
    auto d = std::make_unique<Device>();
    d->index = i;
    d->source = SourceAddress(i);
    d->id = DeviceId(i);
    devices_.push_back(std::move(d));
  }
}

DeviceSet::~DeviceSet() { CloseAll(); }

void DeviceSet::CloseAll() {
  for (auto& d : devices_) {
    if (d->s != kInvalidSocket) {
      loop_.UnwatchSocket(d->s);
      SocketClose(d->s);
      d->s = kInvalidSocket;
    }
    d->closed = true;
  }
}

bool DeviceSet::ConnectAll(unsigned timeout_ms) {
  auto all_greeted = [this] {
    while (pending_ < kConnectsInFlight && next_ < Size()) StartOne(*devices_[static_cast<std::size_t>(next_++)]);
    for (auto& d : devices_)
      if (!d->greeted) return false;
    return true;
  };
  return loop_.RunUntil(all_greeted, timeout_ms);
}

int DeviceSet::StartMore(int n) {
  for (; n > 0 && next_ < Size(); --n) StartOne(*devices_[static_cast<std::size_t>(next_++)]);
  return next_;
}

int DeviceSet::Greeted() const {
  int n = 0;
  for (const auto& d : devices_) n += d->greeted ? 1 : 0;
  return n;
}

int DeviceSet::Established() const {
  int n = 0;
  for (const auto& d : devices_) n += d->connected && !d->closed ? 1 : 0;
  return n;
}

void DeviceSet::StartOne(Device& d) {
  try {
    d.s = SocketConnect(server_, port_, d.source);
  } catch (const Error& e) {
    std::fprintf(stderr, "device %s: %s\n", d.source.c_str(), e.what());
    d.closed = true;
    return;
  }
  ++pending_;
  Watch(d);
}

void DeviceSet::Watch(Device& d) {
  unsigned mask = kSockClose | (d.connected ? 0u : unsigned(kSockConnect));
  if (d.reading || !d.greeted) mask |= kSockRead;
  if (!d.tx.empty()) mask |= kSockWrite;
  Device* p = &d;
  loop_.WatchSocket(d.s, mask, [this, p](unsigned ev, int err) { OnSocket(*p, ev, err); });
}

void DeviceSet::OnSocket(Device& d, unsigned event, int error) {
  if (d.s == kInvalidSocket) return;
  if (event & kSockConnect) {
    if (error != 0) {
      std::fprintf(stderr, "device %s: connect failed (%d)\n", d.source.c_str(), error);
      d.closed = true;
      --pending_;
      return;
    }
    d.connected = true;
  }
  if (event & (kSockRead | kSockClose)) ReadFrom(d);
  if ((event & kSockWrite) && !d.tx.empty() && !d.closed) {
    std::size_t n = 0;
    try {
      n = SocketSend(d.s, d.tx.data(), d.tx.size());
    } catch (const SocketError&) {
      d.closed = true;
      return;
    }
    d.tx.erase(0, n);
    if (d.tx.empty()) Watch(d);
  }
}

void DeviceSet::ReadFrom(Device& d) {
  char buf[8192];
  for (;;) {
    std::ptrdiff_t n = 0;
    try {
      n = SocketRecv(d.s, buf, sizeof buf);
    } catch (const SocketError&) {
      n = 0;
    }
    if (n < 0) break;
    if (n == 0) {
      if (!d.closed) {
        d.closed = true;
        loop_.UnwatchSocket(d.s);
      }
      return;
    }
    const std::int64_t now = NowNs();
    d.rx_bytes += static_cast<std::uint64_t>(n);
    const bool scanning = d.on_go || d.on_echo;
    if (!d.greeted || scanning) d.scan.append(buf, static_cast<std::size_t>(n));
    if (!d.greeted) {
      const std::size_t eol = d.scan.find("\r\n");
      if (eol == std::string::npos) continue;
      d.greeted = true;
      --pending_;
      d.scan.erase(0, eol + 2);
      if (!d.reading) Watch(d);
    }
    if (scanning) {
      // Every whole frame of either kind is raised once; what is kept for the
      // next read is shorter than a frame or lies behind the last one found.
      std::size_t done = 0;
      auto raise = [&](const std::string& head, const std::function<void(Device&, std::int64_t)>& fn) {
        if (!fn) return;
        for (std::size_t at = 0; (at = d.scan.find(head, at)) != std::string::npos; at += head.size()) {
          done = std::max(done, at + head.size());
          fn(d, now);
        }
      };
      const auto on_go = d.on_go;  // a callback may replace them
      const auto on_echo = d.on_echo;
      raise("$" + d.id + "GO", on_go);
      raise("$" + d.id + "ECHO", on_echo);
      const std::size_t keep = 16;
      d.scan.erase(0, std::max(done, d.scan.size() > keep ? d.scan.size() - keep : 0));
    } else {
      d.scan.clear();
    }
  }
}

bool DeviceSet::Send(Device& d, const std::string& bytes) {
  if (d.closed || d.s == kInvalidSocket) return false;
  if (!d.tx.empty()) {
    d.tx += bytes;
    return true;
  }
  std::size_t n = 0;
  try {
    n = SocketSend(d.s, bytes.data(), bytes.size());
  } catch (const SocketError&) {
    d.closed = true;
    return false;
  }
  if (n < bytes.size()) {
    d.tx.assign(bytes, n, std::string::npos);
    Watch(d);
  }
  return true;
}

void DeviceSet::SetReading(bool on) {
  for (auto& d : devices_) SetReading(*d, on);
}

void DeviceSet::SetReading(Device& d, bool on) {
  if (d.reading == on) return;
  d.reading = on;
  if (d.s != kInvalidSocket && !d.closed && d.greeted) Watch(d);
}

void DeviceSet::Drain() {
  for (auto& d : devices_)
    if (d->s != kInvalidSocket && !d->closed) ReadFrom(*d);
}

int DeviceSet::Closed() const {
  int n = 0;
  for (const auto& d : devices_) n += d->closed ? 1 : 0;
  return n;
}

}  // namespace axg::bench
