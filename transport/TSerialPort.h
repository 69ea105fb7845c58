#pragma once
// TSerialPort: a serial line that the connector listens to. Every chunk the line
// receives goes, on the owning thread, to every attached packet framer. The port
// only receives: nothing here writes to the line.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/component.h"
#include "platform/serial.h"
#include "transport/TPacketFramer.h"

namespace axg {

class TSerialPort : public TComponent, public ISerialPort {
 public:
  explicit TSerialPort(TComponent* AOwner = nullptr);
  ~TSerialPort() override;  // closes the line and detaches every framer

  // Line settings, set by whoever supplies the port; read by Open.
  std::u16string DeviceName;  // "/dev/ttyUSB0"; "COM3" on Windows
  int BaudRate = 9600;
  int DataBits = 8;
  SerialStopBits StopBits = SerialStopBits::One;
  SerialParity Parity = SerialParity::None;
  SerialFlowControl FlowControl = SerialFlowControl::None;

  // A failure after opening, with its message: the line broke (the port is closed
  // then, so that the next Open starts afresh) or an error escaped a framer's
  // handler (the other framers still get the chunk).
  TLogEvent OnError;

  bool Connected() const override;
  // Opens the device with the settings above and starts receiving; an open port
  // is left alone. Throws Error ending with " (Error: <code>)".
  void Open() override;
  // Stops receiving and closes the device; throws Error when the system reports
  // a failure (the port is closed all the same).
  void Close() override;
  void AttachFramer(TPacketFramer* framer) override;
  void DetachFramer(TPacketFramer* framer) override;
  const std::vector<TPacketFramer*>& Framers() const { return framers_; }

 private:
  void DataReceived(std::string_view chunk);
  void LineFailed(const Error& error);
  void Report(const std::u16string& message);

  SerialLine line_;
  std::vector<TPacketFramer*> framers_;
  // Goes false when the port is destroyed, possibly by a handler it is running.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace axg
