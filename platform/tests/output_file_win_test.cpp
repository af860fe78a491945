#include "platform/output_file.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/win32_win.hpp"
#include "testsupport/files.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

namespace fs = std::filesystem;

class OutputFileWin : public ::testing::Test {
 protected:
  test::ScratchDir dir_;
  fs::path part_ = dir_.path() / "setup.exe.part";
  fs::path destination_ = dir_.path() / "setup.exe";
};

// A failed download removes its part file, whoever else has it open.
TEST_F(OutputFileWin, OthersMayDeleteTheFileWhileItIsOpen) {
  auto file = OutputFile::create(part_);
  ASSERT_TRUE(file);
  EXPECT_TRUE(DeleteFileW(part_.c_str())) << GetLastError();
  EXPECT_FALSE(file->close());
  EXPECT_FALSE(fs::exists(part_));
}

// A destination held open by another program (without delete sharing) is not
// replaced: the complete part file stays.
TEST_F(OutputFileWin, AnOpenDestinationIsNotReplaced) {
  test::write_file(destination_, "older");
  test::write_file(part_, "verified");
  const ScopedHandle held(CreateFileW(destination_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
  const std::error_code error = replace_file(part_, destination_);
  EXPECT_TRUE(error == std::error_code(ERROR_ACCESS_DENIED, std::system_category()) ||
              error == std::error_code(ERROR_SHARING_VIOLATION, std::system_category()))
      << error.value();
  EXPECT_EQ(test::read_file(part_), "verified");
}

}  // namespace
}  // namespace ostrevane::platform
