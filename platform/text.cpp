#include "platform/text.h"

namespace axg {

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    char32_t c;
    std::size_t extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    bool ok = i + extra < text.size() || extra == 0;
    for (std::size_t k = 1; ok && k <= extra; ++k) {
      unsigned char n = static_cast<unsigned char>(text[i + k]);
      if ((n & 0xC0) != 0x80) ok = false;
      else c = (c << 6) | (n & 0x3F);
    }
    static const char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (!ok || c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += extra + 1;
  }
  return out;
}

std::u16string IntToStr(std::int64_t value) {
  std::u16string out;
  bool negative = value < 0;
  // Work in unsigned so that the most negative value has a magnitude too.
  std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    out.insert(out.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) out.insert(out.begin(), u'-');
  return out;
}

std::string JsonQuote(std::string_view utf8) {
  std::string out = "\"";
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static const char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool JsonFail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

}  // namespace

bool ReadJsonString(std::string_view text, std::size_t& i, std::u16string& out, std::string* error) {
  if (i >= text.size() || text[i] != '"') return JsonFail(error, "a string was expected");
  ++i;
  std::size_t run = i;  // start of the UTF-8 bytes not yet converted
  auto flush = [&](std::size_t end) { out += FromUtf8(text.substr(run, end - run)); };
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      flush(i++);
      return true;
    }
    if (c != '\\') {
      ++i;
      continue;
    }
    flush(i);
    if (i + 1 >= text.size()) break;
    const char e = text[i + 1];
    i += 2;
    switch (e) {
      case '"': out += u'"'; break;
      case '\\': out += u'\\'; break;
      case '/': out += u'/'; break;
      case 'b': out += u'\b'; break;
      case 'f': out += u'\f'; break;
      case 'n': out += u'\n'; break;
      case 'r': out += u'\r'; break;
      case 't': out += u'\t'; break;
      case 'u': {
        if (i + 4 > text.size()) return JsonFail(error, "bad \\u escape");
        int code = 0;
        for (int k = 0; k < 4; ++k) {
          const int h = HexDigit(text[i + k]);
          if (h < 0) return JsonFail(error, "bad \\u escape");
          code = code * 16 + h;
        }
        i += 4;
        out += static_cast<char16_t>(code);  // surrogate halves pass as code units
        break;
      }
      default:
        return JsonFail(error, std::string("bad escape \\") + e);
    }
    run = i;
  }
  return JsonFail(error, "unterminated string");
}

}  // namespace axg
