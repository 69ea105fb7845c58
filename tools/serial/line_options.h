#pragma once
// Command-line pieces the two serial tools share: line settings, numbers, and the
// device packets of the serial form of the protocol.
#include <string>

#include "platform/serial.h"

namespace axg::serialtool {

[[noreturn]] void Usage(const char* usage, const std::string& why);
long ToLong(const char* usage, const std::string& opt, const std::string& text, long lo, long hi);
double ToDouble(const char* usage, const std::string& opt, const std::string& text);

// Takes one line-setting option (--baud, --data-bits, --stop-bits, --parity,
// --flow) with its value; false when `opt` is none of them.
bool LineOption(const char* usage, const std::string& opt, const std::string& value, SerialSettings& s);

// The line-setting options, for the usage texts.
extern const char kLineOptionsHelp[];

// The two check characters a device appends: CRC-8 (polynomial 0x31, start 0xFF)
// in upper-case hexadecimal.
std::string Crc8Hex(const std::string& text);

// "$" + device + "RQ" + card + check, and "#" + device + word + check, without
// the line end.
std::string CardRequest(const std::string& device, const std::string& card);
std::string EventPacket(const std::string& device, const std::string& word);

// The packet as the whole connector message the controller reads: the form
// character, then the packet with `address` + ":" after its form character
// ("$0001RQ..." -> "$$A:0001RQ...").
std::string InMessageForm(const std::string& packet, const std::string& address);

// "\r", "\n", "\t", "\\" and "\xHH" in text, for packets given on the command line.
std::string Unescape(const std::string& text);
// Control and non-ASCII bytes as "\r", "\xHH", for showing what a line carried.
std::string Escape(const std::string& bytes);

}  // namespace axg::serialtool
