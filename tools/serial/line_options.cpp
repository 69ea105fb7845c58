#include "tools/serial/line_options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace axg::serialtool {

const char kLineOptionsHelp[] =
    "  --baud N            speed (default 9600)\n"
    "  --data-bits N       5 to 8 (default 8)\n"
    "  --stop-bits 1|1.5|2 (default 1)\n"
    "  --parity P          none, odd, even, mark or space (default none)\n"
    "  --flow F            none, rtscts or xonxoff (default none)\n";

void Usage(const char* usage, const std::string& why) {
  std::cerr << "error: " << why << "\n\n" << usage;
  std::exit(2);
}

long ToLong(const char* usage, const std::string& opt, const std::string& text, long lo, long hi) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < lo || v > hi)
    Usage(usage, opt + " wants a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return v;
}

double ToDouble(const char* usage, const std::string& opt, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= 0)) Usage(usage, opt + " wants a number of 0 or more");
  return v;
}

bool LineOption(const char* usage, const std::string& opt, const std::string& value, SerialSettings& s) {
  if (opt == "--baud") {
    s.baud_rate = static_cast<unsigned>(ToLong(usage, opt, value, 1, 4000000));
  } else if (opt == "--data-bits") {
    s.data_bits = static_cast<unsigned>(ToLong(usage, opt, value, 5, 8));
  } else if (opt == "--stop-bits") {
    if (value == "1") s.stop_bits = SerialStopBits::One;
    else if (value == "1.5") s.stop_bits = SerialStopBits::OneAndHalf;
    else if (value == "2") s.stop_bits = SerialStopBits::Two;
    else Usage(usage, "--stop-bits wants 1, 1.5 or 2");
  } else if (opt == "--parity") {
    if (value == "none") s.parity = SerialParity::None;
    else if (value == "odd") s.parity = SerialParity::Odd;
    else if (value == "even") s.parity = SerialParity::Even;
    else if (value == "mark") s.parity = SerialParity::Mark;
    else if (value == "space") s.parity = SerialParity::Space;
    else Usage(usage, "--parity wants none, odd, even, mark or space");
  } else if (opt == "--flow") {
    if (value == "none") s.flow_control = SerialFlowControl::None;
    else if (value == "rtscts") s.flow_control = SerialFlowControl::Hardware;
    else if (value == "xonxoff") s.flow_control = SerialFlowControl::Software;
    else Usage(usage, "--flow wants none, rtscts or xonxoff");
  } else {
    return false;
  }
  return true;
}

std::string Crc8Hex(const std::string& text) {
  unsigned crc = 0xFF;
  for (unsigned char b : text) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 0x80) ? ((crc << 1) ^ 0x31) & 0xFF : (crc << 1) & 0xFF;
  }
  static const char kHex[] = "0123456789ABCDEF";
  return {kHex[crc >> 4], kHex[crc & 0xF]};
}

std::string CardRequest(const std::string& device, const std::string& card) {
  const std::string body = "$" + device + "RQ" + card;
  return body + Crc8Hex(body);
}

std::string EventPacket(const std::string& device, const std::string& word) {
  const std::string body = "#" + device + word;
  return body + Crc8Hex(body);
}

std::string InMessageForm(const std::string& packet, const std::string& address) {
  if (packet.empty() || (packet[0] != '$' && packet[0] != '#')) return packet;
  return packet.substr(0, 1) + packet.substr(0, 1) + address + ":" + packet.substr(1);
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'r') out += '\r';
    else if (c == 'n') out += '\n';
    else if (c == 't') out += '\t';
    else if (c == 'x' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
             std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Escape(const std::string& bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    if (b == '\r') out += "\\r";
    else if (b == '\n') out += "\\n";
    else if (b == '\\') out += "\\\\";
    else if (b < 0x20 || b >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

}  // namespace axg::serialtool
