#include "transport/TSerialPort.h"

#include <algorithm>
#include <exception>

#include "platform/text.h"

namespace axg {

TSerialPort::TSerialPort(TComponent* AOwner) : TComponent(AOwner) {}

TSerialPort::~TSerialPort() {
  *alive_ = false;
  // Framers hold a pointer to their port: let them forget it.
  std::vector<TPacketFramer*> framers;
  framers.swap(framers_);
  for (TPacketFramer* f : framers) {
    if (f->ComPort() == this) f->SetComPort(nullptr);
  }
  // line_ closes itself, ignoring errors.
}

bool TSerialPort::Connected() const { return line_.IsOpen(); }

void TSerialPort::Open() {
  if (line_.IsOpen()) return;
  SerialSettings s;
  s.device = ToUtf8(DeviceName);
  s.baud_rate = BaudRate > 0 ? static_cast<unsigned>(BaudRate) : 0;
  s.data_bits = DataBits > 0 ? static_cast<unsigned>(DataBits) : 0;
  s.stop_bits = StopBits;
  s.parity = Parity;
  s.flow_control = FlowControl;
  line_.Open(
      s, [this](std::string_view chunk) { DataReceived(chunk); },
      [this](const Error& e) { LineFailed(e); });
}

void TSerialPort::Close() { line_.Close(); }

void TSerialPort::AttachFramer(TPacketFramer* framer) {
  if (framer && std::find(framers_.begin(), framers_.end(), framer) == framers_.end())
    framers_.push_back(framer);
}

void TSerialPort::DetachFramer(TPacketFramer* framer) {
  framers_.erase(std::remove(framers_.begin(), framers_.end(), framer), framers_.end());
}

void TSerialPort::DataReceived(std::string_view chunk) {
  // A handler may attach or detach framers, close the port or destroy it: walk a
  // copy and give the chunk only to framers that are still attached.
  const std::shared_ptr<bool> alive = alive_;
  const std::vector<TPacketFramer*> framers = framers_;
  for (TPacketFramer* f : framers) {
    if (std::find(framers_.begin(), framers_.end(), f) == framers_.end()) continue;
    try {
      f->HandleData(chunk);
    } catch (const Error& e) {
      if (!*alive) return;
      Report(e.Message());
    } catch (const std::exception& e) {
      if (!*alive) return;
      Report(FromUtf8(e.what()));
    }
    if (!*alive) return;
  }
}

void TSerialPort::LineFailed(const Error& error) { Report(error.Message()); }

void TSerialPort::Report(const std::u16string& message) {
  if (OnError) OnError(this, message);
}

}  // namespace axg
