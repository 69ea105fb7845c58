#pragma once
// Checksum and text helpers of the device protocol. Pure functions.
#include <array>
#include <string>
#include <string_view>

namespace axg {

// CRC-8 (polynomial 0x31, initial 0xFF, no reflection, no final XOR) over the low
// byte of each code unit, as two upper-case hex digits: "123456789" -> "F7".
std::u16string CRC8Str(std::u16string_view text);
// text followed by its checksum.
std::u16string AddCRC8(std::u16string_view text);
// count copies of ch; empty for count <= 0.
std::u16string FillStr(char16_t ch, int count);
// text centred in width characters, left padding (width div 2) - (length div 2);
// a text at least width long comes back unchanged.
std::u16string CenterStr(std::u16string_view text, int width);
// text without the code units up to U+0020 at both ends.
std::u16string TrimCtl(std::u16string_view text);
// Characters from position `from` (1-based) on, at most count of them; past the
// end yields what is there, possibly nothing.
std::u16string Copy(std::u16string_view text, long from, long count);

// A command text as the controller hands it to the connector:
//   code (2 chars) + network address + ":" + device (4 chars) + rest
// and for "SH" four display lines after the first "|", each followed by "|".
struct TCommandText {
  std::u16string code;                 // first two characters
  std::u16string address;              // from character 3 up to the first ':'
  std::u16string device;               // the 4 characters after the first ':'
  bool has_colon = false;
  std::array<std::u16string, 4> lines; // "SH" lines, already trimmed
};
TCommandText ParseCommandText(std::u16string_view text);

}  // namespace axg
