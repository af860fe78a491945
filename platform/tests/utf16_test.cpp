#include "platform/utf16.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace ostrevane::platform {
namespace {

struct Utf8Case {
  std::string name;
  std::string utf8;
  std::u16string utf16;
};

void PrintTo(const Utf8Case& c, std::ostream* os) {
  *os << c.name;
}

class Utf8ToUtf16Test : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ToUtf16Test, Converts) {
  EXPECT_EQ(utf8_to_utf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8ToUtf16Test,
    testing::Values(Utf8Case{"Empty", "", u""}, Utf8Case{"Ascii", "--report", u"--report"},
                    Utf8Case{"TwoAndThreeBytes",
                             "T\xC3\xA9l\xC3\xA9"
                             "charger\xE2\x80\xA6",
                             u"T\u00E9l\u00E9charger\u2026"},
                    Utf8Case{"FourBytesBecomePair", "a\xF0\x9F\x98\x80z", u"a\U0001F600z"},
                    Utf8Case{"Extremes",
                             std::string("\x00\x7F\xC2\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF", 11),
                             std::u16string(u"\0\x7F\x80\xFFFF\U0010FFFF", 6)},
                    Utf8Case{"LoneContinuation", "a\x80z", u"a\uFFFDz"},
                    Utf8Case{"InvalidLeadBytes", "\xC0\xC1\xF5\xFF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                    Utf8Case{"OverlongSlash", "\xC0\xAF", u"\uFFFD\uFFFD"},
                    Utf8Case{"OverlongThreeBytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
                    Utf8Case{"EncodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                    Utf8Case{"AboveMaximum", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                    // A truncated sequence is one replacement, and the byte that cut it
                    // short is read on its own.
                    Utf8Case{"TruncatedThenAscii", "\xE2\x82z", u"\uFFFDz"},
                    Utf8Case{"TruncatedAtEnd", "ab\xF0\x9F\x98", u"ab\uFFFD"},
                    Utf8Case{"TruncatedThenLead", "\xE2\x82\xC3\xA9", u"\uFFFD\u00E9"}),
    [](const testing::TestParamInfo<Utf8Case>& info) { return info.param.name; });

TEST(Utf16ToUtf8Test, WellFormedTextRoundTrips) {
  const std::string text =
      "Installation termin\xC3\xA9"
      "e \xE2\x80\xA6 \xF0\x9F\x98\x80";
  const std::u16string wide = utf8_to_utf16(text);
  EXPECT_EQ(utf16_to_utf8_strict(wide), text);
  EXPECT_EQ(utf16_to_utf8_lossy(wide), text);
  EXPECT_EQ(utf16_to_utf8_strict(u""), "");
}

struct SurrogateCase {
  std::string name;
  std::u16string text;
  std::string lossy;
};

void PrintTo(const SurrogateCase& c, std::ostream* os) {
  *os << c.name;
}

class UnpairedSurrogateTest : public testing::TestWithParam<SurrogateCase> {};

TEST_P(UnpairedSurrogateTest, StrictRefusesLossyReplaces) {
  EXPECT_EQ(utf16_to_utf8_strict(GetParam().text), std::nullopt);
  EXPECT_EQ(utf16_to_utf8_lossy(GetParam().text), GetParam().lossy);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnpairedSurrogateTest,
    testing::Values(SurrogateCase{"LoneHigh", u"a\xD800z", "a\xEF\xBF\xBDz"},
                    SurrogateCase{"LoneLow", u"a\xDC00z", "a\xEF\xBF\xBDz"},
                    SurrogateCase{"HighAtEnd", u"ab\xDBFF", "ab\xEF\xBF\xBD"},
                    SurrogateCase{"ReversedPair", u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
                    // The second high surrogate pairs with the low one.
                    SurrogateCase{"HighBeforePair", u"\xD800\xD83D\xDE00",
                                  "\xEF\xBF\xBD\xF0\x9F\x98\x80"}),
    [](const testing::TestParamInfo<SurrogateCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ostrevane::platform
