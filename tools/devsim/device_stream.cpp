#include "tools/devsim/device_stream.h"

#include <algorithm>
#include <array>

namespace axg::devsim {

std::string Crc8Hex(std::string_view bytes) {
  unsigned crc = 0xFF;
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 0x80) ? ((crc << 1) ^ 0x31) & 0xFF : (crc << 1) & 0xFF;
  }
  static const char kHex[] = "0123456789ABCDEF";
  return {kHex[crc >> 4], kHex[crc & 0xF]};
}

std::string CardRequestLine(const std::string& device, const std::string& card) {
  std::string body = "$" + device + "RQ" + card;
  return body + Crc8Hex(body) + "\r\n";
}

std::string RelayReportLine(const std::string& device) { return "#" + device + "GR\r\n"; }

std::string PassDoneLine(const std::string& device) {
  std::string body = "$" + device + "GR";
  return body + Crc8Hex(body) + "\r\n";
}

std::string PingLine(const std::string& device) { return "$" + device + "PING\r\n"; }

namespace {

constexpr std::string_view kTest = "test";

bool IsPrefixOf(std::string_view part, std::string_view whole) {
  return part.size() <= whole.size() && whole.substr(0, part.size()) == part;
}

// Where the next item could start after position from: a "$" or a "test".
std::size_t NextStart(const std::string& buf, std::size_t from) {
  std::size_t dollar = buf.find('$', from);
  std::size_t test = buf.find(kTest, from);
  return std::min(dollar, test);
}

}  // namespace

DeviceFrame FrameSplitter::TakeFrame(std::size_t len, std::size_t mnemonic_len) {
  DeviceFrame f;
  f.kind = DeviceFrame::kFrame;
  f.raw = buf_.substr(0, len);
  buf_.erase(0, len);
  f.device = f.raw.substr(1, 4);
  if (f.raw.size() >= 5 + mnemonic_len + 2) {
    f.mnemonic = mnemonic_len ? f.raw.substr(5, mnemonic_len) : "?";
    f.payload = f.raw.substr(5 + mnemonic_len, f.raw.size() - 5 - mnemonic_len - 2);
    f.crc_ok = Crc8Hex(std::string_view(f.raw).substr(0, f.raw.size() - 2)) ==
               f.raw.substr(f.raw.size() - 2);
  } else {
    f.mnemonic.assign(1, '?');  // not from a C string: GCC 12 at -O3 warns of a false overlap there
  }
  return f;
}

std::optional<DeviceFrame> FrameSplitter::Next(bool at_rest) {
  if (buf_.empty()) return std::nullopt;

  if (buf_[0] == '$') {
    if (buf_.size() < 7) return std::nullopt;
    std::string_view view(buf_);
    if (IsPrefixOf("ECHO", view.substr(5)) || IsPrefixOf(view.substr(5), "ECHO")) {
      if (buf_.size() < 11) return std::nullopt;
      return TakeFrame(11, 4);
    }
    static const std::array<std::string_view, 5> kShort = {"GO", "GR", "PH", "CP", "CS"};
    for (auto m : kShort) {
      if (view.substr(5, 2) == m) {
        if (buf_.size() < 9) return std::nullopt;
        return TakeFrame(9, 2);
      }
    }
    // A display line ("PSN100n" + centred text) or a mnemonic this device does not
    // know: it runs up to the next frame or text, or to the end of what has come.
    std::size_t mlen = view.substr(5, 3) == "PSN" ? 7 : 0;
    std::size_t end = NextStart(buf_, 5 + mlen + 2);
    if (end == std::string::npos) {
      if (!at_rest) return std::nullopt;
      end = buf_.size();
    }
    return TakeFrame(end, mlen);
  }

  if (IsPrefixOf(buf_, kTest) && buf_.size() < 6) return std::nullopt;
  if (buf_.compare(0, kTest.size(), kTest) == 0) {
    DeviceFrame f;
    f.kind = DeviceFrame::kTest;
    f.raw = buf_.substr(0, 6);
    buf_.erase(0, 6);
    f.crc_ok = Crc8Hex(kTest) == f.raw.substr(4);
    return f;
  }

  // Text: the greeting line, or bytes this device does not understand.
  DeviceFrame f;
  f.kind = DeviceFrame::kText;
  std::size_t eol = buf_.find("\r\n");
  std::size_t next = NextStart(buf_, 1);
  if (eol != std::string::npos && eol < next) {
    f.raw = buf_.substr(0, eol);
    buf_.erase(0, eol + 2);
    return f;
  }
  if (next == std::string::npos) {
    if (buf_.size() < 1024 && !(at_rest && buf_.size() > 256)) return std::nullopt;
    next = buf_.size();
  }
  f.raw = buf_.substr(0, next);
  buf_.erase(0, next);
  return f;
}

}  // namespace axg::devsim
