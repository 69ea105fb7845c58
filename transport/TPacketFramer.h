#pragma once
// Packet framing of a serial line: each attached framer receives every chunk the
// port receives and cuts packets that run from StartString to StopString.
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/component.h"

namespace axg {

class TPacketFramer;

// What the connector needs of a serial port. TSerialPort is the real one.
class ISerialPort {
 public:
  virtual ~ISerialPort() = default;
  virtual bool Connected() const = 0;
  // Opening an open port does nothing. A failure raises an Error whose message
  // describes it and ends with " (Error: <system code>)".
  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual void AttachFramer(TPacketFramer* framer) = 0;
  virtual void DetachFramer(TPacketFramer* framer) = 0;
};

class TPacketFramer : public TComponent {
 public:
  using TPacketEvent = std::function<void(TObject* Sender, const std::u16string& Str)>;
  // Custom limits: given the buffer, set `pos` to the index where a packet starts
  // (or the length of a packet that ends there); leave -1 for "not found".
  using TCustomEvent = std::function<void(TObject* Sender, const std::u16string& Buffer, int& pos)>;

  explicit TPacketFramer(TComponent* owner = nullptr) : TComponent(owner) {}
  ~TPacketFramer() override;

  ISerialPort* ComPort() const { return port_; }
  void SetComPort(ISerialPort* port);  // detaches from the previous port

  std::u16string StartString;
  std::u16string StopString;
  int Size = 0;
  bool IncludeStrings = false;
  bool CaseInsensitive = false;
  int MaxBufferSize = 1024;

  TPacketEvent OnPacket;
  TPacketEvent OnDiscard;
  TCustomEvent OnCustomStart;
  TCustomEvent OnCustomStop;

  // A chunk received by the port; bytes become characters one to one. Every
  // packet in the chunk is delivered even when a handler raises an error; the
  // first such error is raised again once the chunk is done.
  void HandleData(std::string_view bytes);

  const std::u16string& Buffer() const { return buffer_; }
  bool InPacket() const { return in_packet_; }

 private:
  std::size_t Find(const std::u16string& what, std::size_t from) const;
  bool Matches(const std::u16string& text, std::size_t at, const std::u16string& what) const;
  bool CutOne();  // one pass of the cutting loop; false when it has to wait
  void Raise(const TPacketEvent& event, const std::u16string& text);
  ISerialPort* port_ = nullptr;
  std::u16string buffer_;
  bool in_packet_ = false;
  std::exception_ptr handler_error_;
};

}  // namespace axg
