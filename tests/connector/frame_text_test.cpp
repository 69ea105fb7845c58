#include <gtest/gtest.h>

#include "UConnector/FrameText.h"
#include "platform/text.h"

namespace axg {
namespace {

struct CrcCase {
  std::u16string text;
  std::u16string crc;
};

// Every checksum the device protocol's worked examples quote.
TEST(FrameText, ChecksumsOfTheProtocolExamples) {
  const std::u16string pad20(20, u' ');
  const CrcCase cases[] = {
      {u"123456789", u"F7"},
      {u"", u"FF"},
      {u"test", u"BF"},
      {u"$0001GO", u"65"},
      {u"$0001GR", u"6A"},
      {u"$0001PH", u"32"},
      {u"$0001CP", u"8B"},
      {u"$0001CS", u"D8"},
      {u"$0001PSN1001        Hello       ", u"BD"},
      {u"$0001PSN1002        World       ", u"FC"},
      {u"$0001PSN1003" + pad20, u"D1"},
      {u"$0001PSN1004" + pad20, u"67"},
      {u"$0001ECHO", u"F3"},
      {u"#192.0.2.10:0001InG-Activ", u"19"},
      {u"#192.0.2.10:0001Relay", u"BA"},
      {u"$192.0.2.10:0001GR", u"17"},
      {u"#192.0.2.10:0001HardReset", u"09"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CRC8Str(c.text), c.crc) << ToUtf8(c.text);
    EXPECT_EQ(AddCRC8(c.text), c.text + c.crc) << ToUtf8(c.text);
  }
}

TEST(FrameText, ChecksumKeepsLeadingZeroAndUsesLowByteOfEachUnit) {
  // Search for a text whose checksum is below 0x10 to see the leading zero.
  bool seen_small = false;
  for (char16_t c = 0; c < 256 && !seen_small; ++c) {
    std::u16string crc = CRC8Str(std::u16string(1, c));
    ASSERT_EQ(crc.size(), 2u);
    for (char16_t d : crc) EXPECT_TRUE((d >= u'0' && d <= u'9') || (d >= u'A' && d <= u'F'));
    seen_small = crc[0] == u'0';
  }
  EXPECT_TRUE(seen_small);
  // U+0441 (Cyrillic es) enters the checksum as 0x41, the same as 'A'.
  EXPECT_EQ(CRC8Str(u"\u0441"), CRC8Str(u"A"));
}

TEST(FrameText, FillAndCenter) {
  EXPECT_EQ(FillStr(u'x', 3), u"xxx");
  EXPECT_EQ(FillStr(u'x', 0), u"");
  EXPECT_EQ(FillStr(u'x', -4), u"");
  struct {
    std::u16string in;
    int width;
    std::u16string out;
  } cases[] = {
      {u"abc", 20, std::u16string(9, u' ') + u"abc" + std::u16string(8, u' ')},
      {u"abcd", 20, std::u16string(8, u' ') + u"abcd" + std::u16string(8, u' ')},
      {u"Hello", 20, std::u16string(8, u' ') + u"Hello" + std::u16string(7, u' ')},
      {u"", 20, std::u16string(20, u' ')},
      {u"12345678901234567890", 20, u"12345678901234567890"},
      {u"1234567890123456789012345", 20, u"1234567890123456789012345"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CenterStr(c.in, c.width), c.out) << ToUtf8(c.in);
  }
}

TEST(FrameText, TrimRemovesControlsAndBlanksOnly) {
  EXPECT_EQ(TrimCtl(u" \t\r\n x y \r\n"), u"x y");
  EXPECT_EQ(TrimCtl(u"\x01\x1f"), u"");
  EXPECT_EQ(TrimCtl(u"\u00a0a\u00a0"), u"\u00a0a\u00a0");
}

TEST(FrameText, ParseCommandText) {
  auto go = ParseCommandText(u"GO192.0.2.10:0001extra");
  EXPECT_EQ(go.code, u"GO");
  EXPECT_EQ(go.address, u"192.0.2.10");
  EXPECT_EQ(go.device, u"0001");
  EXPECT_TRUE(go.has_colon);

  auto no_colon = ParseCommandText(u"GO192.0.2.10");
  EXPECT_FALSE(no_colon.has_colon);
  EXPECT_EQ(no_colon.address, u"");

  auto short_dev = ParseCommandText(u"CP10.0.0.1:01");
  EXPECT_EQ(short_dev.device, u"01");

  auto sh = ParseCommandText(u"SH192.0.2.10:0001| Hello \t|World|||");
  EXPECT_EQ(sh.lines[0], u"Hello");
  EXPECT_EQ(sh.lines[1], u"World");
  EXPECT_EQ(sh.lines[2], u"");
  EXPECT_EQ(sh.lines[3], u"");

  // A line counts only when a '|' follows it; the missing last '|' empties line 4.
  auto unterminated = ParseCommandText(u"SH1.2.3.4:0001|a|b|c|d");
  EXPECT_EQ(unterminated.lines[2], u"c");
  EXPECT_EQ(unterminated.lines[3], u"");

  // Only 1000 characters after the first '|' are read.
  std::u16string long_line(999, u'x');
  auto far = ParseCommandText(u"SH1.2.3.4:0001|" + long_line + u"|b|");
  EXPECT_EQ(far.lines[0], long_line);
  EXPECT_EQ(far.lines[1], u"");
}

}  // namespace
}  // namespace axg
