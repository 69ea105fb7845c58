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

std::string JsonText(std::u16string_view text) { return JsonQuote(ToUtf8(text)); }

std::string JsonBytes(std::string_view bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\r') {
      out += "\\r";  // the end of every line: short
    } else if (c == '\n') {
      out += "\\n";
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
