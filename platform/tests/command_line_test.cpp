#include "platform/command_line.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace ostrevane::platform {
namespace {

constexpr std::u16string_view kModule = u"C:\\Programmes\\ostrevane-setup.exe";

struct SplitCase {
  std::string name;
  std::u16string line;
  std::vector<std::u16string> args;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << c.name;
}

class SplitCommandLineTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, Splits) {
  EXPECT_EQ(split_command_line(GetParam().line, kModule), GetParam().args);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLineTest,
    testing::Values(
        SplitCase{"EmptyLineGivesModulePath", u"", {std::u16string(kModule)}},
        SplitCase{"ProgramOnly", u"setup.exe", {u"setup.exe"}},
        SplitCase{"ProgramQuotesToggleAndBackslashesStay",
                  u"\"C:\\Program Files\\\"setup.exe --report",
                  {u"C:\\Program Files\\setup.exe", u"--report"}},
        SplitCase{
            "QuoteInsideProgramName", u"C:\\a\" b\"\\setup.exe x", {u"C:\\a b\\setup.exe", u"x"}},
        SplitCase{"LeadingBlankGivesEmptyProgramName", u" a", {u"", u"a"}},
        SplitCase{"BlankRunsAreOneSeparator", u"p \t a\t\t b  ", {u"p", u"a", u"b"}},
        SplitCase{"QuotedPathWithSpaces",
                  u"p --report \"C:\\Mes rapports\\r.json\"",
                  {u"p", u"--report", u"C:\\Mes rapports\\r.json"}},
        SplitCase{"QuotesJoinTextAroundThem", u"p a\"b c\"d", {u"p", u"ab cd"}},
        SplitCase{"ThreeBackslashesAndQuote", u"p a\\\\\\\"b", {u"p", u"a\\\"b"}},
        SplitCase{"TwoBackslashesAndQuoteOpen", u"p a\\\\\"b c\"", {u"p", u"a\\b c"}},
        SplitCase{"TwoBackslashesAndQuoteClose", u"p \"a b\\\\\" c", {u"p", u"a b\\", u"c"}},
        SplitCase{"OneBackslashAndQuote", u"p \\\"a", {u"p", u"\"a"}},
        SplitCase{"FourBackslashesAndQuote", u"p \\\\\\\\\"a b\"", {u"p", u"\\\\a b"}},
        SplitCase{"BackslashesElsewhereUnchanged",
                  u"p C:\\dir\\\\sub\\ x\\",
                  {u"p", u"C:\\dir\\\\sub\\", u"x\\"}},
        SplitCase{"DoubledQuoteInsideQuotes", u"p \"a\"\"b\" c", {u"p", u"a\"b", u"c"}},
        SplitCase{"DoubledQuoteOutsideQuotesIsEmpty", u"p a\"\"b", {u"p", u"ab"}},
        SplitCase{"EmptyQuotedInTheMiddle", u"p --report \"\" x", {u"p", u"--report", u"", u"x"}},
        SplitCase{"TrailingEmptyQuoted", u"p --report \"\"", {u"p", u"--report", u""}},
        SplitCase{"TrailingEmptyQuotedThenBlank", u"p a \"\" ", {u"p", u"a", u""}},
        SplitCase{"OpenQuoteAtEnd", u"p a \"", {u"p", u"a", u""}},
        SplitCase{"OpenQuotedTextAtEnd", u"p \"a b", {u"p", u"a b"}},
        SplitCase{"TabsInsideQuotesKept", u"p \"a\tb\"", {u"p", u"a\tb"}},
        SplitCase{"TrailingDoubledQuoteStaysQuoted", u"p \"a\"\"", {u"p", u"a\""}},
        SplitCase{"NonAsciiAndSurrogatesCopied",
                  u"p caf\u00E9 \xD800x",
                  {u"p", u"caf\u00E9", u"\xD800x"}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ostrevane::platform
