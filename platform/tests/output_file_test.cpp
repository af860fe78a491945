#include "platform/output_file.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string_view>

#include "platform/os_error.hpp"
#include "testsupport/files.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

namespace fs = std::filesystem;

std::span<const char> text(std::string_view bytes) {
  return {bytes.data(), bytes.size()};
}

class OutputFileTest : public ::testing::Test {
 protected:
  test::ScratchDir dir_;
  fs::path path_ = dir_.path() / "setup.exe.part";
};

TEST_F(OutputFileTest, WritesSyncsAndEmptiesAnOlderFile) {
  test::write_file(path_, "an older, longer content");
  auto file = OutputFile::create(path_);
  ASSERT_TRUE(file) << file.error().message();
  EXPECT_EQ(fs::file_size(path_), 0u);
  ASSERT_FALSE(file->write_all(text("abc")));
  ASSERT_FALSE(file->write_all(text(std::string(300'000, 'x'))));
  // Readers share the file while it is written.
  EXPECT_EQ(test::read_file(path_).size(), 300'003u);
  EXPECT_FALSE(file->flush());
  EXPECT_FALSE(file->sync());
  EXPECT_FALSE(file->close());
  EXPECT_FALSE(file->close());  // a second close has nothing left to do
  EXPECT_EQ(test::read_file(path_), "abc" + std::string(300'000, 'x'));
}

TEST_F(OutputFileTest, MovedFileKeepsWriting) {
  auto created = OutputFile::create(path_);
  ASSERT_TRUE(created);
  OutputFile file = std::move(*created);
  ASSERT_FALSE(file.write_all(text("moved")));
  EXPECT_FALSE(file.close());
  EXPECT_EQ(test::read_file(path_), "moved");
}

TEST_F(OutputFileTest, AFolderThatDoesNotExistIsAnError) {
  const auto file = OutputFile::create(dir_.path() / "missing" / "setup.exe.part");
  ASSERT_FALSE(file);
  EXPECT_NE(error_code_text(file.error()).find("(os error "), std::string::npos);
}

TEST_F(OutputFileTest, ReplaceFileReplacesTheDestination) {
  const fs::path destination = dir_.path() / "setup.exe";
  test::write_file(destination, "older");
  test::write_file(path_, "verified");
  EXPECT_FALSE(replace_file(path_, destination));
  EXPECT_EQ(test::read_file(destination), "verified");
  EXPECT_FALSE(fs::exists(path_));

  // A missing source is the system's "not found" (2 on either system).
  const std::error_code missing = replace_file(path_, destination);
  EXPECT_TRUE(error_code_text(missing).ends_with("(os error 2)")) << error_code_text(missing);
  EXPECT_EQ(test::read_file(destination), "verified");
}

}  // namespace
}  // namespace ostrevane::platform
