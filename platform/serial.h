#pragma once
// The operating-system side of a serial line: open a device with its line
// settings, hand every received chunk to the owning thread, close.
//
// Receiving always reaches the thread that opened the line, through that thread's
// message loop, one chunk per callback: on Linux the device's descriptor is
// watched by the loop; on Windows a reader thread of the line's own waits on the
// device and posts every chunk to the owning thread. Callers see the same thing
// on both.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/export.h"

namespace axg {

enum class SerialParity { None, Odd, Even, Mark, Space };
enum class SerialStopBits { One, OneAndHalf, Two };
enum class SerialFlowControl { None, Hardware /* RTS/CTS */, Software /* XON/XOFF */ };

struct SerialSettings {
  std::string device;  // "/dev/ttyUSB0", "/dev/pts/3"; "COM3" on Windows
  unsigned baud_rate = 9600;
  unsigned data_bits = 8;  // 5 to 8
  SerialStopBits stop_bits = SerialStopBits::One;
  SerialParity parity = SerialParity::None;
  SerialFlowControl flow_control = SerialFlowControl::None;
};

// One open serial line. Every failure raises Error whose message says what failed
// and ends with " (Error: <system error code>)".
class AXG_PLATFORM_API SerialLine {
 public:
  // A chunk of received bytes, on the owning thread.
  using DataCallback = std::function<void(std::string_view chunk)>;
  // Receiving failed (the device went away, the line hung up). The line is
  // already closed when this runs, on the owning thread.
  using FailureCallback = std::function<void(const Error& error)>;

  SerialLine();
  ~SerialLine();  // closes the line, ignoring errors
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // Opens the device in raw mode with the given settings and starts receiving.
  // The calling thread becomes the owning thread. Throws Error when the device
  // cannot be opened or configured; the line then stays closed. Opening an open
  // line throws as well: close it first.
  void Open(const SerialSettings& settings, DataCallback on_data, FailureCallback on_failure = {});

  // Stops receiving and closes the device. No callback runs after it returns.
  // Throws Error when the system reports a failure; the line is closed all the same.
  // Closing a closed line does nothing.
  void Close();

  bool IsOpen() const;

  // Writes all of data, waiting at most timeout_ms while the driver cannot take
  // more (flow control). Throws Error on failure or timeout. For tools that play a
  // device; the system's own port never writes.
  void Write(std::string_view data, unsigned timeout_ms = 5000);

  // Makes a pseudo-terminal pair in raw mode, keeps its controlling side open as
  // this line (receiving as after Open) and returns the name of the other side,
  // which a port can open like a serial device. Throws Error where the system has
  // no pseudo-terminals.
  std::string OpenPseudoTerminal(DataCallback on_data, FailureCallback on_failure = {});

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace axg
