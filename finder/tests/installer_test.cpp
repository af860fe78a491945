#include "finder/src/main/installer.hpp"

#include <gtest/gtest.h>

namespace ostrevane {
namespace {

TEST(InstallerTest, DescribesExitCodes) {
  EXPECT_EQ(describe_exit_code(0), "exit code: 0");
  EXPECT_EQ(describe_exit_code(1), "exit code: 1");
  EXPECT_EQ(describe_exit_code(0x7fffffff), "exit code: 2147483647");
  EXPECT_EQ(describe_exit_code(0x80000000), "exit code: 0x80000000");
  EXPECT_EQ(describe_exit_code(0xC0000005), "exit code: 0xc0000005");
}

}  // namespace
}  // namespace ostrevane
