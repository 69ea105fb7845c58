#include "trace/TraceJson.h"

#include <cstdio>

#include "platform/text.h"

namespace axg {
namespace {

void AppendEscape(std::string& out, unsigned code) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04X", code);
  out += buf;
}

}  // namespace

std::string JsonText(std::u16string_view text) {
  std::string out = "\"";
  for (char c : ToUtf8(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
          AppendEscape(out, static_cast<unsigned char>(c));
        else
          out += c;
    }
  }
  out += '"';
  return out;
}

std::string JsonBytes(std::string_view bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      AppendEscape(out, b);
    }
  }
  out += '"';
  return out;
}

}  // namespace axg
