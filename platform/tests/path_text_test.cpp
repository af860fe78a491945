#include "platform/path_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/files.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

TEST(PathTextTest, WellFormedTextIsUnchanged) {
  EXPECT_EQ(utf8_lossy(""), "");
  EXPECT_EQ(utf8_lossy("C:\\Users\\Ren\xC3\xA9\\Temp"), "C:\\Users\\Ren\xC3\xA9\\Temp");
  EXPECT_EQ(path_display(std::filesystem::path(u8"C:/ostrevane/Caf\u00e9 \U0001F600")),
            "C:/ostrevane/Caf\xC3\xA9 \xF0\x9F\x98\x80");
}

TEST(PathTextTest, IllFormedBytesBecomeReplacementCharacters) {
  // A truncated sequence before ASCII, an encoded surrogate.
  EXPECT_EQ(utf8_lossy("a\xE2\x82/b"), "a\xEF\xBF\xBD/b");
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

// A file named from UTF-8 text (a manifest's file name, a report path) is
// found under that name, whatever the system's code page.
TEST(PathTextTest, PathsFromUtf8NameTheirFiles) {
  const std::string name = "Caf\xC3\xA9 \xF0\x9F\x98\x80.exe";
  const std::filesystem::path path = path_from_utf8(name);
  EXPECT_TRUE(path == std::filesystem::path(u8"Caf\u00e9 \U0001F600.exe"));
  EXPECT_EQ(path_display(path), name);

  const test::ScratchDir dir;
  test::write_file(dir.path() / path, "x");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(path_display(entry.path().filename()));
  }
  EXPECT_EQ(names, std::vector<std::string>{name});
}

}  // namespace
}  // namespace ostrevane::platform
