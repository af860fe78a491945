#include <gtest/gtest.h>

#include "testsupport/netns.hpp"

namespace ostrevane {
namespace {

// The Windows tests run in a private network namespace with a wineserver of
// their own (scripts/test-windows.sh). Run anywhere else, this fails, and the
// tests that send on the network skip without sending.
TEST(PrivateNetworkWin, WineSeesNoInterfaceButLoopback) {
  bool ran = false;
  const auto result = test::run_in_private_network_namespace([&] { ran = true; });
  ASSERT_TRUE(result) << result.error();
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace ostrevane
