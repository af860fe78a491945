#include "platform/command_line.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include "platform/module_path_win.hpp"
#include "platform/path_text.hpp"
#include "platform/wide_text_win.hpp"
#include "testsupport/programs_win.hpp"
#include "testsupport/scoped_env.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

namespace fs = std::filesystem;

// The child is started with CreateProcessW and the exact line, so that it sees
// the line as a Windows parent wrote it (a line through Wine's own argv would
// come re-quoted).
class ProgramArgumentsWin : public ::testing::Test {
 protected:
  test::ChildRecord run(const fs::path& program, const std::wstring& line) {
    EXPECT_EQ(test::run_program(program, line), 0u);
    return test::read_child_record(record_);
  }

  test::ScratchDir dir_;
  fs::path record_ = dir_.path() / "record";
  test::ScopedEnv record_env_{"OSTREVANE_TEST_RECORD", path_display(record_).c_str()};
  fs::path child_ = test::test_program("ostrevane-test-child.exe");
};

struct LineCase {
  const char* name;
  std::wstring line;
  std::vector<std::string> arguments;
};

void PrintTo(const LineCase& c, std::ostream* out) {
  *out << c.name;
}

class RawLines : public ProgramArgumentsWin, public ::testing::WithParamInterface<LineCase> {};

TEST_P(RawLines, AreSplitFromTheProcessCommandLine) {
  const test::ChildRecord seen = run(child_, GetParam().line);
  EXPECT_EQ(seen.command_line, from_wide_lossy(GetParam().line));
  EXPECT_EQ(seen.arguments, GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RawLines,
    ::testing::Values(
        LineCase{
            "QuotedPathsWithSpaces",
            L"\"C:\\Mes programmes\\ostrevane-setup.exe\" --report \"C:\\Mes rapports\\r.json\"",
            {"C:\\Mes programmes\\ostrevane-setup.exe", "--report", "C:\\Mes rapports\\r.json"}},
        LineCase{"ProgramNameKeepsItsBackslashes",
                 L"C:\\a\\\"b c\"\\p.exe x",
                 {"C:\\a\\b c\\p.exe", "x"}},
        LineCase{"BackslashesBeforeQuotes",
                 L"p a\\\\\\\"b \"c d\\\\\" e\\",
                 {"p", "a\\\"b", "c d\\", "e\\"}},
        // A doubled quote inside quotes is a quote, and the text stays quoted.
        LineCase{"DoubledQuoteInsideQuotes", L"p \"a\"\"b\" c", {"p", "a\"b", "c"}},
        LineCase{"TrailingEmptyArgument", L"p --report \"\"", {"p", "--report", ""}},
        LineCase{
            "NonAsciiIsUtf8", L"p Caf\u00e9 \U0001F600", {"p", "Caf\xC3\xA9", "\xF0\x9F\x98\x80"}},
        LineCase{"UnpairedSurrogateIsReplaced", L"p a\xD800", {"p", "a\xEF\xBF\xBD"}}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

// Windows hands an empty line to the child as it is, and program_arguments()
// then names the program by its path; Wine puts the quoted path in its place.
// Either way the list is the program's path alone.
TEST_F(ProgramArgumentsWin, AnEmptyLineGivesTheProgramsPath) {
  const fs::path copy = dir_.path() / "ostrevane-setup.exe";
  test::copy_test_child(copy);
  const test::ChildRecord seen = run(copy, std::wstring());
  EXPECT_EQ(seen.arguments, std::vector<std::string>{path_display(copy)});
}

TEST(ModulePathWin, IsThisProgramsFile) {
  const fs::path path = module_path();
  EXPECT_TRUE(path.is_absolute());
  EXPECT_EQ(path.filename(), "platform_tests.exe");
  EXPECT_TRUE(fs::is_regular_file(path));
}

}  // namespace
}  // namespace ostrevane::platform
