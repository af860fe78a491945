#include "platform/registry.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/memory_registry.hpp"
#include "testsupport/programs_win.hpp"

namespace ostrevane::platform {
namespace {

using test::byte_values;
using test::utf16_bytes;

std::string narrow(std::u16string_view ascii) {
  return std::string(ascii.begin(), ascii.end());
}

std::wstring wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

// A key of the test's own below the user's software key, made in the real
// registry with reg.exe and regedit, and removed afterwards.
class RegistryWin : public ::testing::Test {
 protected:
  RegistryWin() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(info->test_suite_name()) + "." + info->name();
    path_ = u"Software\\OstrevaneTest\\" + std::u16string(name.begin(), name.end());
  }
  ~RegistryWin() override { test::run_reg(L"delete \"HKCU\\" + wide(path_) + L"\" /f"); }

  // Stores the values given as .reg lines ("name"=data) under the test's key.
  void set(const std::string& values) {
    test::import_registry("[HKEY_CURRENT_USER\\" + narrow(path_) + "]\r\n" + values);
  }

  // Opens the test's key, reads value `name` and closes the key again.
  std::expected<std::pair<RegistryValueInfo, std::vector<std::byte>>, std::error_code> read(
      const std::u16string& name) {
    Registry& registry = system_registry();
    const auto key = registry.open_key(RegistryRoot::CurrentUser, path_);
    if (!key) {
      return std::unexpected(key.error());
    }
    std::expected<std::pair<RegistryValueInfo, std::vector<std::byte>>, std::error_code> result;
    if (const auto info = registry.query_value(*key, name); !info) {
      result = std::unexpected(info.error());
    } else {
      std::vector<std::byte> data(info->size);
      const auto read = registry.read_value(*key, name, data);
      if (read) {
        EXPECT_EQ(*read, *info);
        result = std::pair{*read, std::move(data)};
      } else {
        result = std::unexpected(read.error());
      }
    }
    EXPECT_FALSE(registry.close_key(*key));
    return result;
  }

  std::u16string path_;
};

TEST_F(RegistryWin, ReadsTheStoredBytesOfEachType) {
  set("\"sz\"=\"120.0\"\r\n"
      "\"nuls\"=hex(1):31,00,00,00,00,00\r\n"
      "\"empty\"=hex(1):\r\n"
      "\"expand\"=hex(2):25,00,58,00,25,00,00,00\r\n"
      "\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
      "\"dword\"=dword:00000005\r\n");
  using Read = std::pair<RegistryValueInfo, std::vector<std::byte>>;
  auto value = [](std::uint32_t type, std::vector<std::byte> data) {
    return Read{{type, data.size()}, data};
  };
  EXPECT_EQ(read(u"sz"), value(REG_TYPE_SZ, utf16_bytes(std::u16string_view(u"120.0", 6))));
  EXPECT_EQ(read(u"nuls"), value(REG_TYPE_SZ, byte_values({0x31, 0, 0, 0, 0, 0})));
  EXPECT_EQ(read(u"empty"), value(REG_TYPE_SZ, {}));
  // Taken as stored: no variable is expanded.
  EXPECT_EQ(read(u"expand"),
            value(REG_TYPE_EXPAND_SZ, utf16_bytes(std::u16string_view(u"%X%", 4))));
  EXPECT_EQ(read(u"multi"),
            value(REG_TYPE_MULTI_SZ, utf16_bytes(std::u16string_view(u"a\0b\0\0", 5))));
  EXPECT_EQ(read(u"dword"), value(REG_TYPE_DWORD, byte_values({5, 0, 0, 0})));
  // Names, like paths, compare without regard to case.
  EXPECT_EQ(read(u"SZ"), read(u"sz"));
}

TEST_F(RegistryWin, MissingKeysAndValuesAreFileNotFound) {
  EXPECT_EQ(read(u"pv").error(), RegistryError::FileNotFound);
  set("\"other\"=\"1\"\r\n");
  EXPECT_EQ(read(u"pv").error(), RegistryError::FileNotFound);
  EXPECT_EQ(read(u"pv").error().value(), 2);
}

TEST_F(RegistryWin, ASmallerBufferIsMoreDataAndStaysUntouched) {
  set("\"pv\"=\"120.0.2210.91\"\r\n");
  Registry& registry = system_registry();
  const auto key = registry.open_key(RegistryRoot::CurrentUser, path_);
  ASSERT_TRUE(key) << key.error().message();
  std::vector<std::byte> buffer(8, std::byte{0xAB});
  EXPECT_EQ(registry.read_value(*key, u"pv", buffer).error(), RegistryError::MoreData);
  EXPECT_EQ(buffer, std::vector<std::byte>(8, std::byte{0xAB}));
  std::vector<std::byte> none;
  EXPECT_EQ(registry.read_value(*key, u"pv", none).error(), RegistryError::MoreData);
  EXPECT_FALSE(registry.close_key(*key));
}

TEST_F(RegistryWin, AClosedKeyIsAnInvalidHandle) {
  set("\"pv\"=\"1\"\r\n");
  Registry& registry = system_registry();
  const auto key = registry.open_key(RegistryRoot::CurrentUser, path_);
  ASSERT_TRUE(key) << key.error().message();
  ASSERT_FALSE(registry.close_key(*key));
  EXPECT_EQ(registry.query_value(*key, u"pv").error(), RegistryError::InvalidHandle);
  EXPECT_EQ(registry.close_key(*key), RegistryError::InvalidHandle);
}

// A 32-bit program's machine keys lie below WOW6432Node, which is how the
// native view names them: no view flag is needed to read them.
TEST(RegistryWinViews, TheMachinesThirtyTwoBitKeysAreReadByTheirPath) {
  const std::wstring key = L"HKLM\\SOFTWARE\\OstrevaneTest\\Views";
  ASSERT_EQ(test::run_reg(L"add " + key + L" /v pv /d 1.2 /f /reg:32"), 0u);
  Registry& registry = system_registry();
  const auto wow =
      registry.open_key(RegistryRoot::LocalMachine, u"SOFTWARE\\WOW6432Node\\OstrevaneTest\\Views");
  EXPECT_TRUE(wow) << wow.error().message();
  if (wow) {
    EXPECT_EQ(registry.query_value(*wow, u"pv"), (RegistryValueInfo{REG_TYPE_SZ, 8}));
    EXPECT_FALSE(registry.close_key(*wow));
  }
  EXPECT_EQ(
      registry.open_key(RegistryRoot::LocalMachine, u"SOFTWARE\\OstrevaneTest\\Views").error(),
      RegistryError::FileNotFound);
  test::run_reg(L"delete HKLM\\SOFTWARE\\OstrevaneTest /f /reg:32");
}

}  // namespace
}  // namespace ostrevane::platform
