#include "platform/os_error.hpp"

#include <errno.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <boost/asio/error.hpp>
#include <filesystem>
#include <fstream>
#include <future>

#include "platform/registry.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

// Wine's wording differs from Windows': what is checked is the form, and the
// code a text comes from.
TEST(OsErrorWinTest, SystemMessageWithoutItsLineBreakThenCode) {
  for (const int code :
       {int{ERROR_FILE_NOT_FOUND}, int{ERROR_ACCESS_DENIED}, int{ERROR_BAD_EXE_FORMAT},
        int{ERROR_SHARING_VIOLATION}, WSAECONNREFUSED}) {
    SCOPED_TRACE(code);
    const std::string text = os_error_text(code);
    const std::string suffix = " (os error " + std::to_string(code) + ")";
    ASSERT_TRUE(text.ends_with(suffix)) << text;
    EXPECT_GT(text.size(), suffix.size()) << text;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_FALSE(text.starts_with("Unknown error")) << text;
  }
}

TEST(OsErrorWinTest, UnknownCodeStillCarriesItsNumber) {
  EXPECT_EQ(os_error_text(98765), "Unknown error 98765 (os error 98765)");
}

struct CodeCase {
  const char* name;
  std::error_code error;
  int system_code;  // the system error whose text it gets, 0 for its own message
};

class ErrorCodeTextTest : public testing::TestWithParam<CodeCase> {};

TEST_P(ErrorCodeTextTest, ReadsTheCodeAsItsCategoryMeansIt) {
  const CodeCase& c = GetParam();
  if (c.system_code != 0) {
    EXPECT_EQ(error_code_text(c.error), os_error_text(c.system_code));
  } else {
    EXPECT_EQ(error_code_text(c.error), c.error.message());
    EXPECT_EQ(error_code_text(c.error).find("(os error"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Categories, ErrorCodeTextTest,
    testing::Values(
        CodeCase{"SystemCode", std::error_code(ERROR_PATH_NOT_FOUND, std::system_category()),
                 ERROR_PATH_NOT_FOUND},
        // errno values, as the C runtime and std::filesystem give them, read
        // as the system error they stand for: EACCES is 13, which the
        // system's table calls something else.
        CodeCase{"MissingFile", std::make_error_code(std::errc::no_such_file_or_directory),
                 ERROR_FILE_NOT_FOUND},
        CodeCase{"PermissionDenied", std::make_error_code(std::errc::permission_denied),
                 ERROR_ACCESS_DENIED},
        CodeCase{"Exists", std::make_error_code(std::errc::file_exists), ERROR_ALREADY_EXISTS},
        CodeCase{"NotAFolder", std::make_error_code(std::errc::not_a_directory), ERROR_DIRECTORY},
        CodeCase{"ErrnoWithoutTwin", std::make_error_code(std::errc::io_error), 0},
        // Asio's socket errors are Winsock codes of Boost's system category.
        CodeCase{"Refused", boost::system::error_code(boost::asio::error::connection_refused),
                 WSAECONNREFUSED},
        CodeCase{"Aborted", boost::system::error_code(boost::asio::error::operation_aborted),
                 ERROR_OPERATION_ABORTED},
        CodeCase{"AsioMisc", boost::system::error_code(boost::asio::error::eof), 0},
        CodeCase{"Registry", make_error_code(RegistryError::FileNotFound), 0},
        CodeCase{"Future", std::make_error_code(std::future_errc::broken_promise), 0}),
    [](const testing::TestParamInfo<CodeCase>& info) { return info.param.name; });

// What the standard library reports for failed file operations here reads as
// the system's own text.
TEST(OsErrorWinTest, FilesystemErrorsReadAsSystemErrors) {
  const test::ScratchDir dir;
  std::error_code error;
  (void)std::filesystem::file_size(dir.path() / "missing", error);
  EXPECT_EQ(error_code_text(error), os_error_text(ERROR_FILE_NOT_FOUND));

  std::ofstream(dir.path() / "file") << "x";
  std::filesystem::create_directories(dir.path() / "file" / "folder", error);
  EXPECT_EQ(error_code_text(error), os_error_text(ERROR_DIRECTORY));
}

}  // namespace
}  // namespace ostrevane::platform
