#pragma once
// The host's command language and the values it passes to the add-in.
// A command line is either a JSON array (["GateOpen","127.0.0.1","0001","TRUE"],
// ["get","ErrorMsg"], ["set","Port",5]) or blank-separated words (GateOpen
// 127.0.0.1 0001 TRUE). The first element names a host command or a method of
// the add-in; the rest are its parameters.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace axg::host {

// A scalar as the host passes it to the add-in and prints it back.
struct Value {
  enum Kind { kEmpty, kNull, kBool, kInt, kDouble, kString };
  Kind kind = kEmpty;
  bool b = false;
  std::int64_t i = 0;
  double d = 0;
  std::u16string s;

  static Value Str(std::u16string text) {
    Value v;
    v.kind = kString;
    v.s = std::move(text);
    return v;
  }
};

// Parses one command line. Returns nothing for a blank line; sets *error (and
// returns nothing) for a line that cannot be read.
std::optional<std::vector<Value>> ParseCommand(const std::string& line, std::string* error);

// JSON text of a string (quoted, escaped, UTF-8) and of a value.
std::string JsonString(const std::u16string& text);
std::string JsonString(const std::string& utf8);
std::string JsonValue(const Value& v);
// A value as people read it: strings quoted, numbers as numbers.
std::string DisplayValue(const Value& v);

}  // namespace axg::host
