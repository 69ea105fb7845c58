#include <gtest/gtest.h>

#include <cstdlib>

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

// Instants past the end of a 32-bit time_t (2038-01-19 03:14:08 UTC) and past
// 2100 become a local date and time within a day of the UTC one, and back the
// same instant: the i686 build counts them in 64 bits too.
TEST(Clock, LocalTimeConvertsDatesAfter2038And2100) {
  auto as_utc_ms = [](const CivilTime& t) {
    return ((DaysFromCivil(t.year, t.month, t.day) * 24 + t.hour) * 60 + t.minute) * 60000 + t.second * 1000 + t.ms;
  };
  for (const CivilTime& utc : {CivilTime{2026, 12, 9, 12, 0, 0, 0}, CivilTime{2038, 1, 19, 3, 14, 8, 0},
                               CivilTime{2038, 1, 20, 12, 30, 15, 250}, CivilTime{2100, 3, 1, 12, 0, 0, 0},
                               CivilTime{2106, 2, 8, 6, 28, 16, 999}}) {
    const std::int64_t ms = as_utc_ms(utc);
    SCOPED_TRACE(testing::Message() << utc.year << "-" << utc.month << "-" << utc.day << " " << ms);
    const std::optional<CivilTime> local = LocalTimeAt(ms);
    ASSERT_TRUE(local.has_value());
    EXPECT_LE(std::llabs(as_utc_ms(*local) - ms), 14 * 3600000LL) << local->year << "-" << local->month;
    EXPECT_EQ(UtcMsOfLocalTime(*local), ms);
  }
  EXPECT_EQ(DaysFromCivil(2100, 3, 1) - DaysFromCivil(2100, 2, 28), 1) << "2100 is no leap year";
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
