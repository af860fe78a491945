#include "platform/temp_folder.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>

#include "platform/path_text.hpp"
#include "testsupport/scoped_env.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

namespace fs = std::filesystem;

// Wine has no GetTempPath2W, so this is GetTempPathW: TMP first, then TEMP.
TEST(UserTempFolderWin, FollowsTmpThenTempWithAFinalSeparator) {
  const test::ScratchDir tmp;
  const test::ScratchDir temp;
  const test::ScopedEnv temp_env("TEMP", path_display(temp.path()).c_str());
  {
    const test::ScopedEnv tmp_env("TMP", path_display(tmp.path()).c_str());
    const auto folder = user_temp_folder();
    ASSERT_TRUE(folder) << folder.error().message();
    EXPECT_EQ(folder->native(), tmp.path().native() + L"\\");
    // The working folder joins it without a doubled separator.
    EXPECT_EQ(*folder / path_from_utf8(working_folder_name()), tmp.path() / "ostrevane-setup");
  }
  const test::ScopedEnv tmp_env("TMP", nullptr);
  const auto folder = user_temp_folder();
  ASSERT_TRUE(folder) << folder.error().message();
  EXPECT_EQ(folder->native(), temp.path().native() + L"\\");
}

class PrivateFolderWin : public ::testing::Test {
 protected:
  test::ScratchDir dir_;
  fs::path folder_ = dir_.path() /
                     path_from_utf8(
                         "Donn\xC3\xA9"
                         "es") /
                     "ostrevane-setup";
};

TEST_F(PrivateFolderWin, CreatesTheFolderWithItsParents) {
  ASSERT_FALSE(create_private_folder(folder_));
  EXPECT_TRUE(fs::is_directory(folder_));
}

TEST_F(PrivateFolderWin, AcceptsAnExistingFolderAndLeavesItsContents) {
  fs::create_directories(folder_);
  std::ofstream(folder_ / "setup.exe.part") << "partial";
  EXPECT_FALSE(create_private_folder(folder_));
  EXPECT_EQ(fs::file_size(folder_ / "setup.exe.part"), 7u);
  // A path ending in a separator names the same folder.
  EXPECT_FALSE(create_private_folder(folder_.native() + L"\\"));
}

TEST_F(PrivateFolderWin, RefusesAFileInItsPlace) {
  fs::create_directories(folder_.parent_path());
  std::ofstream(folder_) << "not a folder";
  EXPECT_EQ(create_private_folder(folder_),
            std::error_code(ERROR_DIRECTORY, std::system_category()));
  EXPECT_TRUE(fs::is_regular_file(folder_));
}

TEST_F(PrivateFolderWin, ReportsAParentThatCannotBeMade) {
  std::ofstream(dir_.path() / path_from_utf8("Donn\xC3\xA9"
                                             "es"))
      << "a file";
  EXPECT_TRUE(create_private_folder(folder_));
  EXPECT_FALSE(fs::exists(folder_));
}

}  // namespace
}  // namespace ostrevane::platform
