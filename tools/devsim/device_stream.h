#pragma once
// The byte level of a simulated gate controller: the lines it sends and the
// frames it receives. Frames from the add-in carry no line end: "$", the 4-char
// device address, a mnemonic, an optional payload and a 2-digit CRC-8, each
// written by one send, so several may arrive glued together, and between them
// the "test" texts and, once per connection, the server's greeting line.
#include <optional>
#include <string>
#include <string_view>

namespace axg::devsim {

// CRC-8 (polynomial 0x31, initial 0xFF) of the bytes, as two upper-case hex digits.
std::string Crc8Hex(std::string_view bytes);

// Lines a device writes (CR LF included).
std::string CardRequestLine(const std::string& device, const std::string& card);  // "$0001RQ<card><crc>"
std::string RelayReportLine(const std::string& device);                           // "#0001GR"
std::string PassDoneLine(const std::string& device);                              // "$0001GR<crc>"
std::string PingLine(const std::string& device);                                  // "$0001PING"

struct DeviceFrame {
  enum Kind { kFrame, kTest, kText };
  Kind kind = kText;
  std::string device;    // kFrame: characters 2 to 5
  std::string mnemonic;  // kFrame: "GO", "GR", "PH", "CP", "CS", "ECHO", "PSN1001".."PSN1004", or "?"
  std::string payload;   // kFrame: what lies between the mnemonic and the check
  std::string raw;       // the bytes as received (a text line without its CR LF)
  bool crc_ok = false;   // kFrame and kTest: the check digits match
};

// Cuts the received byte stream into frames, "test" texts and text lines.
class FrameSplitter {
 public:
  void Append(std::string_view bytes) { buf_.append(bytes); }
  // The next complete item, or nothing while more bytes are needed. at_rest says
  // that the socket has nothing more to read now; only then is a frame of
  // variable length (a display line) taken to end at the end of the buffer.
  std::optional<DeviceFrame> Next(bool at_rest);
  std::size_t Buffered() const { return buf_.size(); }

 private:
  DeviceFrame TakeFrame(std::size_t len, std::size_t mnemonic_len);
  std::string buf_;
};

}  // namespace axg::devsim
