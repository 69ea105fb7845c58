// Text on Windows: the system's ANSI code page, with '?' for what it lacks.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/serial.h"
#include "platform/text.h"

namespace axg {
namespace {

TEST(Win32CodePage, AsciiRoundTripsAndMissingCharactersBecomeQuestionMarks) {
  std::u16string ascii;
  for (char16_t c = 1; c < 0x80; ++c) ascii += c;
  EXPECT_EQ(FromAnsi(ToAnsi(ascii)), ascii);
  EXPECT_EQ(ToAnsi(u""), "");
  EXPECT_EQ(FromAnsi(""), u"");
  // No single-byte code page has these; no best-fit look-alike may be sent either
  // (U+0101 would become 'a' with best fit, U+2460 '1').
  EXPECT_EQ(ToAnsi(u"$0001\u4E2D\u2460\u0101"), "$0001???");
  // Each half of a surrogate pair is a code unit the code page lacks, as on Linux.
  EXPECT_EQ(ToAnsi(u"a\U0001F600b"), "a??b");
}

TEST(Win32CodePage, FollowsTheSystemAnsiCodePage) {
  // Every byte the code page defines comes back as the same byte.
  CPINFO info{};
  ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
  ASSERT_EQ(info.MaxCharSize, 1u) << "the installations use a single-byte ANSI code page";
  for (int b = 0x80; b <= 0xFF; ++b) {
    const std::string byte(1, static_cast<char>(b));
    wchar_t w = 0;
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, byte.data(), 1, &w, 1), 1);
    const std::u16string text = FromAnsi(byte);
    ASSERT_EQ(text.size(), 1u);
    EXPECT_EQ(text[0], static_cast<char16_t>(w)) << "byte " << b;
    char back = 0;
    BOOL used_default = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &w, 1, &back, 1, "?", &used_default);
    EXPECT_EQ(ToAnsi(text), std::string(1, back)) << "byte " << b;
  }
}

TEST(Win32Serial, FailuresEndWithTheSystemErrorCode) {
  SerialLine line;
  SerialSettings settings;
  settings.device = "COM250";  // no such port
  try {
    line.Open(settings, [](std::string_view) {});
    FAIL() << "opening a missing port must fail";
  } catch (const Error& e) {
    const std::u16string& m = e.Message();
    EXPECT_EQ(m.rfind(u"Cannot open serial port COM250: ", 0), 0u) << e.what();
    EXPECT_NE(m.find(u" (Error: "), std::u16string::npos) << e.what();
    EXPECT_EQ(m.back(), u')');
  }
  EXPECT_FALSE(line.IsOpen());
  EXPECT_NO_THROW(line.Close());
  try {
    line.OpenPseudoTerminal([](std::string_view) {});
    FAIL() << "no pseudo-terminals on Windows";
  } catch (const Error& e) {
    EXPECT_NE(e.Message().find(u"(Error: 50)"), std::u16string::npos) << e.what();
  }
}

}  // namespace
}  // namespace axg
