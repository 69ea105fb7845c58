#pragma once
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

}  // namespace axg

// Lets tests and tools write u"..." literals next to UTF-8 std::string output.
