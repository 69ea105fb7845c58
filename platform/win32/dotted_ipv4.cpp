#include "platform/win32/dotted_ipv4.h"

namespace axg::win32 {

bool ParseDottedIPv4(std::string_view text, std::uint32_t* address) {
  std::uint32_t value = 0;
  std::size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const std::size_t first = i;
    unsigned number = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - first < 3) {
      number = number * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const std::size_t digits = i - first;
    if (digits == 0 || number > 255 || (digits > 1 && text[first] == '0')) return false;
    value = (value << 8) | number;
  }
  if (i != text.size()) return false;
  *address = value;
  return true;
}

}  // namespace axg::win32
