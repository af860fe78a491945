#include "finder/src/main/command_line.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace ostrevane {
namespace {

struct ReportCase {
  std::string name;
  std::vector<std::string> args;
  std::optional<std::string> path;
};

void PrintTo(const ReportCase& c, std::ostream* os) {
  *os << c.name;
}

class FindReportPathTest : public testing::TestWithParam<ReportCase> {};

TEST_P(FindReportPathTest, Finds) {
  EXPECT_EQ(find_report_path(GetParam().args), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindReportPathTest,
    testing::Values(
        ReportCase{"NoArgument", {"ostrevane-setup"}, std::nullopt},
        ReportCase{"EmptyList", {}, std::nullopt},
        ReportCase{"NextElement", {"setup", "--report", "out.json"}, "out.json"},
        ReportCase{
            "LastArgumentGivesDefault", {"setup", "x", "--report"}, "ostrevane-setup-report.json"},
        ReportCase{"TwiceInARow", {"setup", "--report", "--report"}, "--report"},
        ReportCase{
            "FirstOfTwoCounts", {"setup", "--report", "a.json", "--report", "b.json"}, "a.json"},
        ReportCase{"PathStartingWithDashes", {"setup", "--report", "--verbose"}, "--verbose"},
        ReportCase{"EmptyPath", {"setup", "--report", ""}, ""},
        ReportCase{
            "OtherArgumentsIgnored", {"setup", "/S", "--report", "r.json", "extra"}, "r.json"},
        ReportCase{"ProgramNameIsSearchedToo", {"--report", "r.json"}, "r.json"},
        ReportCase{"JoinedByEquals", {"setup", "--report=x"}, std::nullopt},
        ReportCase{"Capitals", {"setup", "--REPORT", "x"}, std::nullopt},
        ReportCase{"NotTrimmed", {"setup", " --report", "x", "--report "}, std::nullopt}),
    [](const testing::TestParamInfo<ReportCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ostrevane
