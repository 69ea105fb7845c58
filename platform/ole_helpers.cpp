// Helpers over the OLE types that read the same in both builds: they use only the
// fields and functions that the system headers and the stand-in share.
#include <cstddef>

#include "platform/ole.h"

namespace axg {

std::u16string BstrToU16(BSTR value) {
  if (value == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(value), SysStringLen(value));
}

BSTR U16ToBstr(std::u16string_view text) {
  static const char16_t kEmpty[1] = {0};
  const char16_t* data = text.empty() ? kEmpty : text.data();
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(data), static_cast<UINT>(text.size()));
}

namespace {

const char16_t kHex[] = u"0123456789ABCDEF";

void AppendHex(std::u16string& out, std::uint64_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Reads `digits` hex digits at text[pos]; false on anything else.
bool ReadHex(std::u16string_view text, std::size_t pos, int digits, std::uint64_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    int v = HexValue(text[pos + static_cast<std::size_t>(i)]);
    if (v < 0) return false;
    value = (value << 4) | static_cast<std::uint64_t>(v);
  }
  return true;
}

}  // namespace

std::u16string GuidToString(REFGUID guid) {
  std::u16string out;
  out.reserve(38);
  out += u'{';
  AppendHex(out, guid.Data1, 8);
  out += u'-';
  AppendHex(out, guid.Data2, 4);
  out += u'-';
  AppendHex(out, guid.Data3, 4);
  out += u'-';
  AppendHex(out, guid.Data4[0], 2);
  AppendHex(out, guid.Data4[1], 2);
  out += u'-';
  for (int i = 2; i < 8; ++i) AppendHex(out, guid.Data4[i], 2);
  out += u'}';
  return out;
}

bool GuidFromString(std::u16string_view text, GUID& guid) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 code units, dashes at fixed places.
  if (text.size() != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' ||
      text[14] != u'-' || text[19] != u'-' || text[24] != u'-')
    return false;
  std::uint64_t d1, d2, d3, v;
  if (!ReadHex(text, 1, 8, d1) || !ReadHex(text, 10, 4, d2) || !ReadHex(text, 15, 4, d3))
    return false;
  GUID parsed{};
  parsed.Data1 = static_cast<decltype(parsed.Data1)>(d1);
  parsed.Data2 = static_cast<decltype(parsed.Data2)>(d2);
  parsed.Data3 = static_cast<decltype(parsed.Data3)>(d3);
  static const std::size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kByteAt[i], 2, v)) return false;
    parsed.Data4[i] = static_cast<unsigned char>(v);
  }
  guid = parsed;
  return true;
}

}  // namespace axg
