#include "finder/src/lib/webview2.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "testsupport/scoped_env.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane {
namespace {

using namespace std::literals;

// The system registry here is Wine's, read from the files of $WINEPREFIX.
class Webview2Wine : public ::testing::Test {
 protected:
  void write(const char* file, const std::string& body) {
    std::ofstream(prefix_.path() / file) << "WINE REGISTRY Version 2\n\n" << body;
  }

  test::ScratchDir prefix_;
  test::ScopedEnv env_{"WINEPREFIX", prefix_.path().c_str()};
};

constexpr const char* kWineKey =
    "Microsoft\\\\EdgeUpdate\\\\Clients\\\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";

TEST_F(Webview2Wine, ReadsTheVersionFromTheRegistryFiles) {
  EXPECT_FALSE(check_webview2());  // no files at all

  write("system.reg", "[Software\\\\Wow6432Node\\\\"s + kWineKey + "] 1700000000\n" +
                          "\"pv\"=\"0.0.0.0\"\n\"name\"=\"Microsoft Edge WebView2\"\n");
  EXPECT_FALSE(check_webview2());

  write("user.reg", "[Software\\\\"s + kWineKey + "] 1700000000\n\"pv\"=\"120.0.2210.91\"\n");
  EXPECT_TRUE(check_webview2());

  write("user.reg", "[Software\\\\"s + kWineKey + "] 1700000000\n\"pv\"=\"120\\xd800\"\n");
  EXPECT_FALSE(check_webview2());
}

}  // namespace
}  // namespace ostrevane
