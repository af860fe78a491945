#include "platform/registry.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "testsupport/memory_registry.hpp"
#include "testsupport/scoped_env.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

using test::byte_values;
using test::utf16_bytes;

using namespace std::literals;

// A Wine prefix of the test's own, named by WINEPREFIX while the test runs.
class WinePrefix : public ::testing::Test {
 protected:
  void write(const char* file, const std::string& text) {
    std::ofstream(dir_.path() / file, std::ios::binary) << text;
  }

  // Opens `path` below `root` and returns the data of value `name`, or its error.
  std::expected<std::pair<std::uint32_t, std::vector<std::byte>>, std::error_code> read(
      RegistryRoot root, const std::u16string& path, const std::u16string& name) {
    Registry& registry = system_registry();
    const auto key = registry.open_key(root, path);
    if (!key) {
      return std::unexpected(key.error());
    }
    auto result =
        [&]() -> std::expected<std::pair<std::uint32_t, std::vector<std::byte>>, std::error_code> {
      const auto info = registry.query_value(*key, name);
      if (!info) {
        return std::unexpected(info.error());
      }
      std::vector<std::byte> data(info->size);
      const auto read = registry.read_value(*key, name, data);
      if (!read) {
        return std::unexpected(read.error());
      }
      EXPECT_EQ(*read, *info);
      return std::pair{read->type, data};
    }();
    EXPECT_FALSE(registry.close_key(*key));
    return result;
  }

  test::ScratchDir dir_;
  test::ScopedEnv prefix_{"WINEPREFIX", dir_.path().c_str()};
};

struct ValueCase {
  const char* label;
  std::string line;
  std::u16string name;
  std::uint32_t type;
  std::vector<std::byte> data;
};

void PrintTo(const ValueCase& c, std::ostream* os) {
  *os << c.label;
}

class WineValueForms : public WinePrefix, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(WineValueForms, ReadsTheStoredBytes) {
  const ValueCase& c = GetParam();
  write("user.reg",
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21\n\n"
        "[Software\\\\Test] 1700000000\n#time=1da0000000000000\n" +
            c.line + "\n\"after\"=\"x\"\n");
  const auto value = read(RegistryRoot::CurrentUser, u"Software\\Test", c.name);
  ASSERT_TRUE(value) << value.error().message();
  EXPECT_EQ(value->first, c.type);
  EXPECT_EQ(value->second, c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, WineValueForms,
    ::testing::Values(
        ValueCase{"Text", R"("pv"="120.0.2210.91")", u"pv", REG_TYPE_SZ,
                  utf16_bytes(u"120.0.2210.91\0"sv)},
        ValueCase{"QuoteAndBackslash", R"("s"="a\\b \"q\"")", u"s", REG_TYPE_SZ,
                  utf16_bytes(u"a\\b \"q\"\0"sv)},
        ValueCase{"ControlEscapes", R"("s"="\t\n\r\a\0!")", u"s", REG_TYPE_SZ,
                  utf16_bytes(u"\t\n\r\a\0!\0"sv)},
        ValueCase{"HexUnitEscapes", R"("s"="\x00e9t\xe9-\xd800")", u"s", REG_TYPE_SZ,
                  utf16_bytes(u"\u00e9t\u00e9-\xd800\0"sv)},
        ValueCase{"Utf8InTheFile", "\"s\"=\"caf\xc3\xa9 \xf0\x9f\x99\x82\"", u"s", REG_TYPE_SZ,
                  utf16_bytes(u"caf\u00e9 \U0001F642\0"sv)},
        ValueCase{"EscapedName", R"("a\"b\\c"="v")", u"a\"b\\c", REG_TYPE_SZ,
                  utf16_bytes(u"v\0"sv)},
        ValueCase{"NameAnyCase", R"("pv"="1")", u"PV", REG_TYPE_SZ, utf16_bytes(u"1\0"sv)},
        ValueCase{"DefaultValue", R"(@="default")", u"", REG_TYPE_SZ, utf16_bytes(u"default\0"sv)},
        ValueCase{"Expandable", R"("p"=str(2):"%SystemRoot%\\x")", u"p", REG_TYPE_EXPAND_SZ,
                  utf16_bytes(u"%SystemRoot%\\x\0"sv)},
        ValueCase{"MultiText", R"("m"=str(7):"a\0b\0")", u"m", REG_TYPE_MULTI_SZ,
                  utf16_bytes(u"a\0b\0\0"sv)},
        ValueCase{"Dword", R"("d"=dword:0000010a)", u"d", REG_TYPE_DWORD,
                  byte_values({0x0a, 0x01, 0, 0})},
        ValueCase{"Binary", R"("b"=hex:01,ff,7f)", u"b", REG_TYPE_BINARY,
                  byte_values({0x01, 0xff, 0x7f})},
        ValueCase{"EmptyBinary", R"("b"=hex:)", u"b", REG_TYPE_BINARY, {}},
        ValueCase{"TypedHexOverLines", "\"m\"=hex(7):41,00,00,\\\n  00,42,00,\\\r\n  00,00", u"m",
                  REG_TYPE_MULTI_SZ, byte_values({0x41, 0, 0, 0, 0x42, 0, 0, 0})},
        ValueCase{"OtherTypeNumber", R"("t"=hex(b):01,02)", u"t", 11, byte_values({1, 2})},
        ValueCase{"LaterValueWins", "\"pv\"=\"old\"\n\"PV\"=\"new\"", u"pv", REG_TYPE_SZ,
                  utf16_bytes(u"new\0"sv)},
        ValueCase{"CrLfLines", "\"pv\"=\"1.0\"\r", u"pv", REG_TYPE_SZ, utf16_bytes(u"1.0\0"sv)}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(WinePrefix, KeyPathsCompareWithoutCaseAndParentsExist) {
  write("system.reg",
        "WINE REGISTRY Version 2\n\n"
        "[Software\\\\Vendor\\\\Product] 1\n\"v\"=\"inner\"\n\n"
        "[Software\\\\Vendor\\\\ProductX] 1\n\"w\"=\"other\"\n");
  EXPECT_TRUE(read(RegistryRoot::LocalMachine, u"SOFTWARE\\vendor\\PRODUCT", u"v"));
  // A key that only has keys below it exists, without values of its own.
  EXPECT_EQ(read(RegistryRoot::LocalMachine, u"Software\\Vendor", u"v").error(),
            RegistryError::FileNotFound);
  // The values of one key never leak into a key beside it.
  EXPECT_EQ(read(RegistryRoot::LocalMachine, u"Software\\Vendor\\ProductX", u"v").error(),
            RegistryError::FileNotFound);
  for (const std::u16string path : {u"Software\\Vendor\\Prod", u"Software\\Vendor\\Product\\Sub",
                                    u"Software\\\\Vendor\\Product", u"\\Software\\Vendor",
                                    u"Software\\Vendor\\Product\\", u"Vendor\\Product"}) {
    const auto key = system_registry().open_key(RegistryRoot::LocalMachine, path);
    ASSERT_FALSE(key) << std::string(path.begin(), path.end());
    EXPECT_EQ(key.error(), RegistryError::FileNotFound);
  }
}

TEST_F(WinePrefix, EachRootReadsItsOwnFile) {
  write("system.reg", "[Software\\\\Test] 1\n\"pv\"=\"machine\"\n");
  write("user.reg", "[Software\\\\Test] 1\n\"pv\"=\"user\"\n");
  EXPECT_EQ(read(RegistryRoot::LocalMachine, u"Software\\Test", u"pv")->second,
            utf16_bytes(u"machine\0"sv));
  EXPECT_EQ(read(RegistryRoot::CurrentUser, u"Software\\Test", u"pv")->second,
            utf16_bytes(u"user\0"sv));
}

TEST_F(WinePrefix, MissingFilesAndPrefixAreMissingKeys) {
  EXPECT_EQ(system_registry().open_key(RegistryRoot::CurrentUser, u"Software").error(),
            RegistryError::FileNotFound);
  const test::ScopedEnv gone("WINEPREFIX", (dir_.path() / "nowhere").c_str());
  EXPECT_EQ(system_registry().open_key(RegistryRoot::LocalMachine, u"Software").error(),
            RegistryError::FileNotFound);
}

TEST_F(WinePrefix, DefaultPrefixIsDotWineInHome) {
  std::filesystem::create_directory(dir_.path() / ".wine");
  write(".wine/user.reg", "[Software\\\\Test] 1\n\"pv\"=\"home\"\n");
  const test::ScopedEnv unset("WINEPREFIX", nullptr);
  const test::ScopedEnv home("HOME", dir_.path().c_str());
  EXPECT_EQ(read(RegistryRoot::CurrentUser, u"Software\\Test", u"pv")->second,
            utf16_bytes(u"home\0"sv));
}

TEST_F(WinePrefix, ShortBufferAndClosedKeysFail) {
  write("user.reg", "[Software\\\\Test] 1\n\"pv\"=\"1.2\"\n");
  Registry& registry = system_registry();
  const auto key = registry.open_key(RegistryRoot::CurrentUser, u"Software\\Test");
  ASSERT_TRUE(key);
  std::vector<std::byte> small(7, std::byte{0x55});
  EXPECT_EQ(registry.read_value(*key, u"pv", small).error(), RegistryError::MoreData);
  EXPECT_EQ(small, std::vector<std::byte>(7, std::byte{0x55}));
  std::vector<std::byte> large(12, std::byte{0x55});
  EXPECT_EQ(registry.read_value(*key, u"pv", large), (RegistryValueInfo{REG_TYPE_SZ, 8}));
  EXPECT_EQ(std::vector(large.begin(), large.begin() + 8), utf16_bytes(u"1.2\0"sv));
  EXPECT_EQ(large[8], std::byte{0x55});
  EXPECT_EQ(registry.query_value(*key, u"missing").error(), RegistryError::FileNotFound);

  EXPECT_FALSE(registry.close_key(*key));
  EXPECT_EQ(registry.close_key(*key), RegistryError::InvalidHandle);
  EXPECT_EQ(registry.query_value(*key, u"pv").error(), RegistryError::InvalidHandle);
}

}  // namespace
}  // namespace ostrevane::platform
