#include "platform/path_text.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ostrevane::platform
