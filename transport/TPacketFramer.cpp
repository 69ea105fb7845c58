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

namespace {
char16_t Up(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }
}  // namespace

// Whether `what` occurs in `text` at `at`, honouring CaseInsensitive.
bool TPacketFramer::Matches(const std::u16string& text, std::size_t at, const std::u16string& what) const {
  if (at > text.size() || text.size() - at < what.size()) return false;
  for (std::size_t k = 0; k < what.size(); ++k) {
    const char16_t a = text[at + k], b = what[k];
    if (CaseInsensitive ? Up(a) != Up(b) : a != b) return false;
  }
  return true;
}

std::size_t TPacketFramer::Find(const std::u16string& what, std::size_t from) const {
  if (!CaseInsensitive) return buffer_.find(what, from);
  for (std::size_t i = from; i + what.size() <= buffer_.size(); ++i) {
    if (Matches(buffer_, i, what)) return i;
  }
  return std::u16string::npos;
}

// A handler's error must not cost the packets behind it in the same chunk: keep
// the first one and go on cutting.
void TPacketFramer::Raise(const TPacketEvent& event, const std::u16string& text) {
  if (!event) return;
  try {
    event(this, text);
  } catch (...) {
    if (!handler_error_) handler_error_ = std::current_exception();
  }
}

bool TPacketFramer::CutOne() {
  if (!in_packet_) {
    std::size_t start = std::u16string::npos;
    if (OnCustomStart) {
      int pos = -1;
      OnCustomStart(this, buffer_, pos);
      if (pos >= 0 && static_cast<std::size_t>(pos) <= buffer_.size()) start = static_cast<std::size_t>(pos);
    } else if (StartString.empty()) {
      start = 0;
    } else {
      start = Find(StartString, 0);
    }
    if (start == std::u16string::npos) return false;
    in_packet_ = true;
    if (start > 0) {
      std::u16string dropped = buffer_.substr(0, start);
      buffer_.erase(0, start);
      Raise(OnDiscard, dropped);
    }
  }

  // The stop string is looked for behind the start string, so that a start and
  // stop string that share characters cannot end a packet at its own start.
  const std::size_t head = (!OnCustomStart && Matches(buffer_, 0, StartString)) ? StartString.size() : 0;
  std::size_t length = std::u16string::npos;
  if (OnCustomStop) {
    int len = -1;
    OnCustomStop(this, buffer_, len);
    // A length beyond what has arrived cannot be cut yet.
    if (len > 0 && static_cast<std::size_t>(len) <= buffer_.size()) length = static_cast<std::size_t>(len);
  } else if (!StopString.empty()) {
    const std::size_t stop = Find(StopString, head);
    if (stop != std::u16string::npos) length = stop + StopString.size();
  }
  // A fixed size ends a packet that found no stop string within that size.
  if (Size > 0 && buffer_.size() >= static_cast<std::size_t>(Size) &&
      (length == std::u16string::npos || length > static_cast<std::size_t>(Size))) {
    length = static_cast<std::size_t>(Size);
  }
  if (length == std::u16string::npos) return false;

  std::u16string packet = buffer_.substr(0, length);
  buffer_.erase(0, length);
  in_packet_ = false;
  if (!IncludeStrings) {
    if (!StartString.empty() && Matches(packet, 0, StartString)) packet.erase(0, StartString.size());
    if (!StopString.empty() && packet.size() >= StopString.size() &&
        Matches(packet, packet.size() - StopString.size(), StopString))
      packet.erase(packet.size() - StopString.size());
  }
  Raise(OnPacket, packet);
  return true;
}

void TPacketFramer::HandleData(std::string_view bytes) {
  handler_error_ = nullptr;
  const bool no_stop = Size <= 0 && StopString.empty() && !OnCustomStop;
  if (no_stop) {
    // Without any stop condition every chunk is a packet of its own.
    if (bytes.empty()) return;
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
    Raise(OnDiscard, dropped);
  }
  if (handler_error_) {
    std::exception_ptr e = handler_error_;
    handler_error_ = nullptr;
    std::rethrow_exception(e);
  }
}

}  // namespace axg
