#include "UturnstylerdeviceQ7/TVar.h"

#include <limits>

#include "platform/error.h"
#include "platform/text.h"

namespace axg {

std::u16string TVar::ToText() const {
  switch (kind_) {
    case Kind::Empty:
      return {};
    case Kind::Integer:
      return IntToStr(int_);
    case Kind::Text:
      break;
  }
  return text_;
}

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// Decimal integer with an optional sign, blanks allowed around it.
bool ParseInt32(const std::u16string& text, std::int32_t& out) {
  std::size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  bool negative = false;
  if (b < e && (text[b] == u'+' || text[b] == u'-')) {
    negative = text[b] == u'-';
    ++b;
  }
  if (b == e) return false;
  std::int64_t value = 0;
  for (std::size_t k = b; k < e; ++k) {
    char16_t c = text[k];
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c - u'0');
    if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return false;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max())
    return false;
  out = static_cast<std::int32_t>(value);
  return true;
}

}  // namespace

std::int32_t TVar::ToInt() const {
  switch (kind_) {
    case Kind::Empty:
      return 0;
    case Kind::Integer:
      if (int_ < std::numeric_limits<std::int32_t>::min() ||
          int_ > std::numeric_limits<std::int32_t>::max())
        throw Error(u"'" + IntToStr(int_) + u"' is not a valid integer value");
      return static_cast<std::int32_t>(int_);
    case Kind::Text:
      break;
  }
  std::int32_t value = 0;
  if (!ParseInt32(text_, value)) throw Error(u"'" + text_ + u"' is not a valid integer value");
  return value;
}

}  // namespace axg
