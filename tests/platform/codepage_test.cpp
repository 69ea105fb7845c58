#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/text.h"

namespace axg {
namespace {

TEST(CodePage, CyrillicRoundTripsThroughOneBytePerCharacter) {
  const std::u16string text = u"%Считано с порта% Порт не открыт или не назначен ЁёЇї№";
  std::string bytes = ToAnsi(text);
  EXPECT_EQ(bytes.size(), text.size());
  EXPECT_EQ(static_cast<unsigned char>(ToAnsi(u"А")[0]), 0xC0);
  EXPECT_EQ(static_cast<unsigned char>(ToAnsi(u"я")[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(ToAnsi(u"Ё")[0]), 0xA8);
  EXPECT_EQ(FromAnsi(bytes), text);
}

TEST(CodePage, EveryByteSurvivesAndMissingCharactersBecomeQuestionMarks) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(ToAnsi(FromAnsi(all)), all);
  EXPECT_EQ(ToAnsi(u"a\u4e2db\U0001F600"), "a?b??");
}

TEST(Text, Utf8AndIntegers) {
  EXPECT_EQ(FromUtf8("Ворота"), u"Ворота");
  EXPECT_EQ(ToUtf8(u"Ворота \U0001F600"), "Ворота \xF0\x9F\x98\x80");
  EXPECT_EQ(FromUtf8("\xff" "a"), u"\uFFFDa");
  EXPECT_EQ(IntToStr(0), u"0");
  EXPECT_EQ(IntToStr(-1), u"-1");
  EXPECT_EQ(IntToStr(1001), u"1001");
  EXPECT_EQ(IntToStr(INT64_MIN), u"-9223372036854775808");
  EXPECT_STREQ(Error(u"Ошибка").what(), "Ошибка");
}

// JSON string literals as the tools and the trace write and read them.
TEST(Text, JsonStringsRoundTripAndBadOnesAreRefused) {
  const std::u16string texts[] = {u"", u"plain", u"q\"b\\s", u"\r\n\t\x01\x7f", u"Считано с порта", u"$0001GO65"};
  for (const std::u16string& t : texts) {
    const std::string quoted = JsonQuote(ToUtf8(t)) + ",next";
    std::size_t i = 0;
    std::u16string back;
    ASSERT_TRUE(ReadJsonString(quoted, i, back)) << quoted;
    EXPECT_EQ(back, t) << quoted;
    EXPECT_EQ(quoted.substr(i), ",next");
  }
  EXPECT_EQ(JsonQuote("a\x01"), "\"a\\u0001\"");
  struct Bad {
    std::string text, why;
  };
  for (const Bad& b : {Bad{"\"abc", "unterminated string"}, Bad{"\"a\\x\"", "bad escape \\x"},
                       Bad{"\"\\u12G4\"", "bad \\u escape"}, Bad{"\"\\u12", "bad \\u escape"},
                       Bad{"abc", "a string was expected"}}) {
    std::size_t i = 0;
    std::u16string out;
    std::string why;
    EXPECT_FALSE(ReadJsonString(b.text, i, out, &why)) << b.text;
    EXPECT_EQ(why, b.why) << b.text;
  }
  std::size_t i = 0;
  std::u16string out;
  ASSERT_TRUE(ReadJsonString("\"\\u0041\\n\\/\"", i, out));
  EXPECT_EQ(out, u"A\n/");
}

TEST(Clock, FakeClockWrapsTheTimeOfDayButNotTheMonotonicClock) {
  FakeClock clock(86399.0 / 86400.0);
  ScopedClock scoped(clock);
  std::int64_t before = CurrentClock().MonotonicMs();
  double date_before = CurrentClock().Now();
  clock.AdvanceMs(2000);
  EXPECT_NEAR(CurrentClock().TimeOfDay() * 86400.0, 1.0, 1e-6);
  EXPECT_EQ(CurrentClock().MonotonicMs() - before, 2000);
  EXPECT_NEAR((CurrentClock().Now() - date_before) * 86400.0, 2.0, 1e-4);
}

TEST(Clock, SystemClockIsConsistent) {
  Clock& c = SystemClock();
  double tod = c.TimeOfDay();
  EXPECT_GE(tod, 0.0);
  EXPECT_LT(tod, 1.0);
  EXPECT_GT(c.Now(), 45000.0);  // after 2023
  // Read in sequence: the order in which a call's arguments are evaluated is
  // unspecified (the i686 build takes them right to left).
  const std::int64_t first = c.MonotonicMs();
  const std::int64_t second = c.MonotonicMs();
  EXPECT_LE(first, second);
}

}  // namespace
}  // namespace axg
