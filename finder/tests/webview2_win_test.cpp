#include "finder/src/lib/webview2.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/programs_win.hpp"

namespace ostrevane {
namespace {

// The three places as a registry file names them, in the order they are read.
const std::string kPlaces[] = {
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\" + std::string(WEBVIEW2_CLIENT_KEY),
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\" + std::string(WEBVIEW2_CLIENT_KEY),
    "HKEY_CURRENT_USER\\Software\\" + std::string(WEBVIEW2_CLIENT_KEY),
};

// Removes the three keys and stores `values`: pairs of a place and the data
// of its value "pv" as a registry file writes it.
void store(const std::vector<std::pair<int, std::string>>& values) {
  std::string lines;
  for (const std::string& place : kPlaces) {
    lines += "[-" + place + "]\r\n";
  }
  for (const auto& [place, data] : values) {
    lines += "[" + kPlaces[place] + "]\r\n\"pv\"=" + data + "\r\n";
  }
  test::import_registry(lines);
}

struct Case {
  const char* label;
  std::vector<std::pair<int, std::string>> values;
  bool present;
};

// The real registry's keys are the same for every test process, so the cases
// run one after the other in one test.
TEST(Webview2Win, ReadsTheSystemsRegistry) {
  const Case cases[] = {
      {"Nothing", {}, false},
      {"UserKeyOnly", {{2, "\"120.0.2210.91\""}}, true},
      {"ZerosThenAVersion", {{0, "\"0.0.0.0\""}, {2, "\"120.0.2210.91\""}}, true},
      {"ZerosEverywhere", {{0, "\"0.0.0.0\""}, {1, "\"0.0.0.0\""}, {2, "\"0.0.0.0\""}}, false},
      {"MachineKey", {{1, "\"120.0\""}}, true},
      {"TrailingNuls", {{0, "hex(1):31,00,00,00,00,00"}}, true},
      {"NulsOnly", {{0, "hex(1):00,00,00,00"}}, false},
      {"ZerosWithASpace", {{0, "\" 0.0.0.0\""}}, true},
      {"ExpandableText", {{0, "hex(2):25,00,58,00,25,00,00,00"}}, true},
      {"Dword", {{0, "dword:00000078"}}, false},
      {"MultiText", {{0, "hex(7):31,00,00,00,00,00"}}, false},
      {"UnpairedSurrogate", {{2, "hex(1):31,00,00,d8,00,00"}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    store(c.values);
    EXPECT_EQ(check_webview2(), c.present);
  }

  // A 32-bit updater writes the machine's software key of the 32-bit view.
  store({});
  const std::string key = "HKLM\\SOFTWARE\\" + std::string(WEBVIEW2_CLIENT_KEY);
  ASSERT_EQ(test::run_reg(L"add \"" + std::wstring(key.begin(), key.end()) +
                          L"\" /v pv /d 120.0 /f /reg:32"),
            0u);
  EXPECT_TRUE(check_webview2());
  store({});
}

}  // namespace
}  // namespace ostrevane
