#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/export.h"

namespace axg {

// UTF-16 <-> the installation's single-byte code page (Windows-1251 on Linux,
// the ANSI code page on Windows). A character the code page lacks becomes '?'.
// Bytes on the wire always go through these two.
AXG_PLATFORM_API std::string ToAnsi(std::u16string_view text);
AXG_PLATFORM_API std::u16string FromAnsi(std::string_view bytes);

// UTF-8 <-> UTF-16, for tools, tests and diagnostics (never on the wire).
// Ill-formed input is replaced by U+FFFD.
AXG_PLATFORM_API std::string ToUtf8(std::u16string_view text);
AXG_PLATFORM_API std::u16string FromUtf8(std::string_view text);

// Decimal text of an integer: no leading zeros, '-' only when negative.
AXG_PLATFORM_API std::u16string IntToStr(std::int64_t value);

// JSON string literals of UTF-8 text, for the tools' and the trace's JSON Lines.
// JsonQuote escapes '"', '\\', CR, LF, TAB and the other control characters.
// ReadJsonString reads the literal whose opening quote is at text[i] and moves
// i past its closing quote; \uXXXX escapes are taken as UTF-16 code units. It
// returns false, with the reason in *error when given, for a bad escape or a
// literal without its end.
AXG_PLATFORM_API std::string JsonQuote(std::string_view utf8);
AXG_PLATFORM_API bool ReadJsonString(std::string_view text, std::size_t& i, std::u16string& out,
                                     std::string* error = nullptr);

}  // namespace axg

// Lets tests and tools write u"..." literals next to UTF-8 std::string output.
