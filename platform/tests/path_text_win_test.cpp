#include "platform/path_text.hpp"

#include <gtest/gtest.h>

namespace ostrevane::platform {
namespace {

// Names are UTF-16 here: what is not UTF-8 cannot name a file as it stands.
TEST(PathTextWinTest, IllFormedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(path_from_utf8("caf\xE9.exe").native(), L"caf\uFFFD.exe");
  EXPECT_EQ(path_display(std::filesystem::path(L"a\xD800"
                                               L"b")),
            "a\xEF\xBF\xBD"
            "b");
}

}  // namespace
}  // namespace ostrevane::platform
