#include "platform/temp_folder.hpp"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "testsupport/scoped_env.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;

mode_t mode_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

uid_t owner_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0);
  return info.st_uid;
}

class PrivateFolder : public ::testing::Test {
 protected:
  test::ScratchDir dir_;
  fs::path folder_ = dir_.path() / "parent" / "ostrevane-setup";
};

TEST_F(PrivateFolder, CreatesMissingParentsAndTheFolderForTheUserAlone) {
  for (const mode_t mask : {mode_t{022}, mode_t{0}, mode_t{0377}}) {
    SCOPED_TRACE(mask);
    const fs::path folder = dir_.path() / std::to_string(mask) / "a" / "ostrevane-setup";
    const mode_t old = umask(mask);
    const std::error_code error = create_private_folder(folder);
    umask(old);
    ASSERT_FALSE(error) << error.message();
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(mode_of(folder), 0700u);
  }
}

TEST_F(PrivateFolder, AcceptsItsOwnFolderAndLeavesItsContents) {
  fs::create_directories(folder_);
  for (const mode_t mode : {mode_t{0700}, mode_t{0755}}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(chmod(folder_.c_str(), mode), 0);
    std::ofstream(folder_ / "setup.exe.part") << "partial";
    EXPECT_FALSE(create_private_folder(folder_));
    EXPECT_EQ(mode_of(folder_), mode);
    EXPECT_EQ(fs::file_size(folder_ / "setup.exe.part"), 7u);
  }
  // A path ending in a separator names the same folder.
  EXPECT_FALSE(create_private_folder(folder_.string() + "/"));
}

TEST_F(PrivateFolder, RefusesWhatOthersCouldChange) {
  fs::create_directories(folder_.parent_path());
  const fs::path elsewhere = dir_.path() / "elsewhere";
  fs::create_directory(elsewhere);

  fs::create_directory_symlink(elsewhere, folder_);
  EXPECT_EQ(create_private_folder(folder_), std::errc::too_many_symbolic_link_levels);
  fs::remove(folder_);

  std::ofstream(folder_) << "not a folder";
  EXPECT_EQ(create_private_folder(folder_), std::errc::not_a_directory);
  fs::remove(folder_);

  fs::create_directory(folder_);
  for (const mode_t mode : {mode_t{0777}, mode_t{0720}, mode_t{0702}}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(chmod(folder_.c_str(), mode), 0);
    const std::error_code error = create_private_folder(folder_);
    EXPECT_EQ(error, std::errc::operation_not_permitted);
    EXPECT_EQ(mode_of(folder_), mode);
  }
}

TEST_F(PrivateFolder, RefusesAFolderOfAnotherUser) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to give a folder away";
  }
  fs::create_directories(folder_);
  chmod(folder_.c_str(), 0700);
  ASSERT_EQ(chown(folder_.c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_EQ(create_private_folder(folder_), std::errc::operation_not_permitted);
}

TEST_F(PrivateFolder, ReportsAParentThatCannotBeMade) {
  std::ofstream(dir_.path() / "parent") << "a file";
  EXPECT_TRUE(create_private_folder(folder_));
  EXPECT_FALSE(fs::exists(folder_));
}

TEST(WorkingFolderName, CarriesTheUserId) {
  EXPECT_EQ(working_folder_name(), "ostrevane-setup-" + std::to_string(geteuid()));
}

// What the second user's run found, as its exit code.
enum SecondRun { kRan = 0, kNoSwitch, kNoTemp, kSameName, kOthersFolderAccepted, kOwnRefused };

// Runs as kOtherUser in a child process: forms its working folder in the same
// temporary folder as the caller, whose own working folder is `first`.
SecondRun run_as_other_user(const fs::path& first) {
  if (setgroups(0, nullptr) != 0 || setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 ||
      setresuid(kOtherUser, kOtherUser, kOtherUser) != 0) {
    return kNoSwitch;
  }
  const auto temp = user_temp_folder();
  if (!temp) {
    return kNoTemp;
  }
  const fs::path mine = *temp / working_folder_name();
  if (mine == first) {
    return kSameName;
  }
  if (!create_private_folder(first)) {
    return kOthersFolderAccepted;
  }
  return create_private_folder(mine) ? kOwnRefused : kRan;
}

// Two users of one machine share its temporary folder: the first one's run
// leaves a folder there that the second one's run does not trip over.
TEST(WorkingFolderName, ASecondUserIsNotBlockedByTheFirstOnesFolder) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run as a second user";
  }
  const test::ScratchDir dir;
  const fs::path shared = dir.path() / "tmp";
  fs::create_directory(shared);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);  // as /tmp is
  const test::ScopedEnv tmpdir("TMPDIR", shared.c_str());
  const fs::path first = *user_temp_folder() / working_folder_name();
  ASSERT_FALSE(create_private_folder(first));

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    _exit(run_as_other_user(first));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kRan);

  const fs::path second = shared / ("ostrevane-setup-" + std::to_string(kOtherUser));
  EXPECT_EQ(owner_of(second), kOtherUser);
  EXPECT_EQ(mode_of(second), 0700u);
  EXPECT_EQ(owner_of(first), 0u);
  EXPECT_EQ(mode_of(first), 0700u);
}

TEST(UserTempFolder, FollowsTmpdirAndFailsWhenItIsNoFolder) {
  const test::ScratchDir dir;
  {
    const test::ScopedEnv tmpdir("TMPDIR", dir.path().c_str());
    EXPECT_EQ(user_temp_folder(), dir.path());
  }
  std::ofstream(dir.path() / "file") << "x";
  const test::ScopedEnv tmpdir("TMPDIR", (dir.path() / "file").c_str());
  EXPECT_FALSE(user_temp_folder());
}

}  // namespace
}  // namespace ostrevane::platform
