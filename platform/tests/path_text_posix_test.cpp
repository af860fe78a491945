#include "platform/path_text.hpp"

#include <gtest/gtest.h>

namespace ostrevane::platform {
namespace {

// Names here are bytes: those that are not UTF-8 are shown as U+FFFD.
TEST(PathTextPosixTest, IllFormedNamesBecomeReplacementCharacters) {
  EXPECT_EQ(path_display("/tmp/caf\xE9/x"), "/tmp/caf\xEF\xBF\xBD/x");
  EXPECT_EQ(path_display("/tmp/a\xE2\x82/b"), "/tmp/a\xEF\xBF\xBD/b");
}

}  // namespace
}  // namespace ostrevane::platform
