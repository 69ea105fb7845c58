#include "UConnector/FrameText.h"

namespace axg {

std::u16string CRC8Str(std::u16string_view text) {
  unsigned crc = 0xFF;
  for (char16_t unit : text) {
    crc ^= static_cast<unsigned>(unit) & 0xFFu;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x80u) ? ((crc << 1) ^ 0x31u) & 0xFFu : (crc << 1) & 0xFFu;
    }
  }
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  return {kHex[crc >> 4], kHex[crc & 0xF]};
}

std::u16string AddCRC8(std::u16string_view text) {
  std::u16string out(text);
  out += CRC8Str(text);
  return out;
}

std::u16string FillStr(char16_t ch, int count) {
  return count <= 0 ? std::u16string() : std::u16string(static_cast<std::size_t>(count), ch);
}

std::u16string CenterStr(std::u16string_view text, int width) {
  const int len = static_cast<int>(text.size());
  if (len >= width) return std::u16string(text);
  const int left = width / 2 - len / 2;
  std::u16string out = FillStr(u' ', left);
  out += text;
  out += FillStr(u' ', width - left - len);
  return out;
}

std::u16string TrimCtl(std::u16string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && text[b] <= 0x20) ++b;
  while (e > b && text[e - 1] <= 0x20) --e;
  return std::u16string(text.substr(b, e - b));
}

std::u16string Copy(std::u16string_view text, long from, long count) {
  if (from < 1) from = 1;
  if (count <= 0 || static_cast<std::size_t>(from) > text.size()) return {};
  return std::u16string(text.substr(static_cast<std::size_t>(from - 1), static_cast<std::size_t>(count)));
}

TCommandText ParseCommandText(std::u16string_view text) {
  TCommandText cmd;
  cmd.code = Copy(text, 1, 2);
  const std::size_t colon = text.find(u':');
  if (colon != std::u16string_view::npos) {
    cmd.has_colon = true;
    if (colon > 2) cmd.address = std::u16string(text.substr(2, colon - 2));
    cmd.device = std::u16string(text.substr(colon + 1, 4));
  }
  const std::size_t bar = text.find(u'|');
  if (bar != std::u16string_view::npos) {
    // Only the first 1000 characters after the first '|' are looked at; a line
    // counts only when a '|' follows it, and every line after a missing one is empty.
    std::u16string_view rest = text.substr(bar + 1, 1000);
    std::size_t pos = 0;
    for (auto& line : cmd.lines) {
      const std::size_t end = rest.find(u'|', pos);
      if (end == std::u16string_view::npos) break;
      line = TrimCtl(rest.substr(pos, end - pos));
      pos = end + 1;
    }
  }
  return cmd;
}

}  // namespace axg
