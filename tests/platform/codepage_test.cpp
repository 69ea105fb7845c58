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
  EXPECT_LE(c.MonotonicMs(), c.MonotonicMs());
}

}  // namespace
}  // namespace axg
