#include "transport/TPacketFramer.h"

namespace axg {

TPacketFramer::~TPacketFramer() {
  if (port_) port_->DetachFramer(this);
}

void TPacketFramer::SetComPort(ISerialPort* port) {
  if (port == port_) return;
  if (port_) port_->DetachFramer(this);
  port_ = port;
  if (port_) port_->AttachFramer(this);
}

std::size_t TPacketFramer::Find(const std::u16string& what, std::size_t from) const {
  if (!CaseInsensitive) return buffer_.find(what, from);
  auto up = [](char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; };
  for (std::size_t i = from; i + what.size() <= buffer_.size(); ++i) {
    std::size_t k = 0;
    while (k < what.size() && up(buffer_[i + k]) == up(what[k])) ++k;
    if (k == what.size()) return i;
  }
  return std::u16string::npos;
}

bool TPacketFramer::CutOne() {
  if (!in_packet_) {
    std::size_t start = std::u16string::npos;
    if (OnCustomStart) {
      int pos = -1;
      OnCustomStart(this, buffer_, pos);
      if (pos >= 0) start = static_cast<std::size_t>(pos);
    } else if (StartString.empty()) {
      start = 0;
    } else {
      start = Find(StartString, 0);
    }
    if (start == std::u16string::npos) return false;
    if (start > 0) {
      std::u16string dropped = buffer_.substr(0, start);
      buffer_.erase(0, start);
      if (OnDiscard) OnDiscard(this, dropped);
    }
    in_packet_ = true;
  }

  const std::size_t head = (!OnCustomStart && buffer_.compare(0, StartString.size(), StartString) == 0)
                               ? StartString.size() : 0;
  std::size_t length = std::u16string::npos;
  if (OnCustomStop) {
    int len = -1;
    OnCustomStop(this, buffer_, len);
    if (len > 0) length = static_cast<std::size_t>(len);
  } else if (!StopString.empty()) {
    const std::size_t stop = Find(StopString, head);
    if (stop != std::u16string::npos) length = stop + StopString.size();
  }
  if (length == std::u16string::npos && Size > 0 && buffer_.size() >= static_cast<std::size_t>(Size)) {
    length = static_cast<std::size_t>(Size);
  }
  if (length == std::u16string::npos) return false;
  if (length > buffer_.size()) length = buffer_.size();

  std::u16string packet = buffer_.substr(0, length);
  buffer_.erase(0, length);
  in_packet_ = false;
  if (!IncludeStrings) {
    if (!StartString.empty() && packet.compare(0, StartString.size(), StartString) == 0)
      packet.erase(0, StartString.size());
    if (!StopString.empty() && packet.size() >= StopString.size() &&
        packet.compare(packet.size() - StopString.size(), StopString.size(), StopString) == 0)
      packet.erase(packet.size() - StopString.size());
  }
  if (OnPacket) OnPacket(this, packet);
  return true;
}

void TPacketFramer::HandleData(std::string_view bytes) {
  const bool no_stop = Size <= 0 && StopString.empty() && !OnCustomStop;
  if (no_stop) {
    // Without any stop condition every chunk is a packet of its own.
    std::u16string packet;
    for (char b : bytes) packet += static_cast<char16_t>(static_cast<unsigned char>(b));
    if (OnPacket) OnPacket(this, packet);
    return;
  }
  for (char b : bytes) buffer_ += static_cast<char16_t>(static_cast<unsigned char>(b));
  while (CutOne()) {
  }
  if (MaxBufferSize > 0 && buffer_.size() >= static_cast<std::size_t>(MaxBufferSize)) {
    std::u16string dropped;
    dropped.swap(buffer_);
    in_packet_ = false;
    if (OnDiscard) OnDiscard(this, dropped);
  }
}

}  // namespace axg
