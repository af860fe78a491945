#include "finder/src/lib/webview2.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/memory_registry.hpp"

namespace ostrevane {
namespace {

using namespace std::literals;
using platform::RegistryError;
using platform::RegistryRoot;
using test::MemoryRegistry;
using test::utf16_bytes;

constexpr std::u16string_view kKey =
    u"Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";

struct Place {
  RegistryRoot root;
  std::u16string path;
};

// The three places in the order they are read.
const Place kPlaces[] = {
    {RegistryRoot::LocalMachine, u"SOFTWARE\\WOW6432Node\\" + std::u16string(kKey)},
    {RegistryRoot::LocalMachine, u"SOFTWARE\\" + std::u16string(kKey)},
    {RegistryRoot::CurrentUser, u"Software\\" + std::u16string(kKey)},
};

std::vector<std::byte> text(std::u16string_view units) {
  return utf16_bytes(units);
}

struct Stored {
  int place;
  std::uint32_t type;
  std::vector<std::byte> data;
};

struct Case {
  const char* label;
  std::vector<Stored> values;
  bool present;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.label;
}

class Webview2Values : public ::testing::TestWithParam<Case> {};

TEST_P(Webview2Values, DecideWhetherTheRuntimeIsPresent) {
  MemoryRegistry registry;
  for (const Stored& value : GetParam().values) {
    const Place& place = kPlaces[value.place];
    registry.set_value(place.root, place.path, u"pv", value.type, value.data);
  }
  EXPECT_EQ(check_webview2(registry), GetParam().present);
  EXPECT_EQ(registry.open_keys(), 0u);
}

constexpr std::uint32_t SZ = platform::REG_TYPE_SZ;

INSTANTIATE_TEST_SUITE_P(
    Cases, Webview2Values,
    ::testing::Values(
        Case{"NothingStored", {}, false},
        Case{"MachineWow", {{0, SZ, text(u"120.0.2210.91\0"sv)}}, true},
        Case{"MachineNative", {{1, SZ, text(u"120.0.2210.91\0"sv)}}, true},
        Case{"UserOnly", {{2, SZ, text(u"120.0.2210.91\0"sv)}}, true},
        Case{"ZeroVersionThenUser",
             {{0, SZ, text(u"0.0.0.0\0"sv)}, {2, SZ, text(u"121.0.0.1\0"sv)}},
             true},
        Case{"ZeroVersionEverywhere",
             {{0, SZ, text(u"0.0.0.0\0"sv)},
              {1, SZ, text(u"0.0.0.0\0"sv)},
              {2, SZ, text(u"0.0.0.0\0"sv)}},
             false},
        Case{"ManyTrailingNulsDropped", {{0, SZ, text(u"0.0.0.0\0\0\0\0"sv)}}, false},
        Case{"NoTerminatingNul", {{0, SZ, text(u"0.0.0.0"sv)}}, false},
        Case{"OddSizeRoundsDown",
             {{0, SZ,
               [] {
                 auto data = text(u"0.0.0.0\0"sv);
                 data.push_back(std::byte{'7'});
                 return data;
               }()}},
             false},
        Case{"OnlyNuls", {{0, SZ, text(u"\0\0\0"sv)}}, false},
        Case{"EmptyData", {{0, SZ, {}}}, false},
        Case{"LeadingSpace", {{0, SZ, text(u" 0.0.0.0\0"sv)}}, true},
        Case{"TrailingSpace", {{0, SZ, text(u"0.0.0.0 \0"sv)}}, true},
        Case{"LongerThanZeroVersion", {{0, SZ, text(u"0.0.0.0.0\0"sv)}}, true},
        Case{"NulInsideKept", {{0, SZ, text(u"0.0.0.0\0x\0"sv)}}, true},
        Case{"Expandable", {{0, platform::REG_TYPE_EXPAND_SZ, text(u"%V%\0"sv)}}, true},
        Case{"DwordNotText", {{0, platform::REG_TYPE_DWORD, {std::byte{1}, {}, {}, {}}}}, false},
        Case{"MultiTextNotText", {{0, platform::REG_TYPE_MULTI_SZ, text(u"120.0\0\0"sv)}}, false},
        Case{"BinaryNotText", {{0, platform::REG_TYPE_BINARY, text(u"120.0\0"sv)}}, false},
        Case{"WrongTypeThenUser",
             {{0, platform::REG_TYPE_DWORD, {std::byte{1}, {}, {}, {}}},
              {2, SZ, text(u"120.0\0"sv)}},
             true},
        Case{"UnpairedHighSurrogate", {{0, SZ, text(u"120.0\xD800\0"sv)}}, false},
        Case{"UnpairedLowSurrogate", {{0, SZ, text(u"1\xDC00.0\0"sv)}}, false},
        Case{"SurrogateThenUser",
             {{0, SZ, text(u"1\xD800.0\0"sv)}, {2, SZ, text(u"120.0\0"sv)}},
             true},
        Case{"PairedSurrogates", {{0, SZ, text(u"\U0001F642\0"sv)}}, true}),
    [](const auto& info) { return std::string(info.param.label); });

std::vector<MemoryRegistry::Call> opens_and_closes(const MemoryRegistry& registry) {
  std::vector<MemoryRegistry::Call> calls;
  for (const auto& call : registry.calls()) {
    if (call.op == MemoryRegistry::Op::Open || call.op == MemoryRegistry::Op::Close) {
      calls.push_back(call);
    }
  }
  return calls;
}

TEST(Webview2Places, AreOpenedInOrderWithTheirExactPaths) {
  MemoryRegistry registry;
  EXPECT_FALSE(check_webview2(registry));
  std::vector<MemoryRegistry::Call> expected;
  for (const Place& place : kPlaces) {
    expected.push_back({MemoryRegistry::Op::Open, place.root, place.path, {}});
  }
  EXPECT_EQ(registry.calls(), expected);
}

TEST(Webview2Places, FirstHitEndsTheCheck) {
  MemoryRegistry registry;
  for (const Place& place : kPlaces) {
    registry.set_value(place.root, place.path, u"pv", SZ, text(u"120.0\0"sv));
  }
  EXPECT_TRUE(check_webview2(registry));
  const auto& first = kPlaces[0];
  const std::vector<MemoryRegistry::Call> expected{
      {MemoryRegistry::Op::Open, first.root, first.path, {}},
      {MemoryRegistry::Op::Query, first.root, first.path, u"pv"},
      {MemoryRegistry::Op::Read, first.root, first.path, u"pv"},
      {MemoryRegistry::Op::Close, first.root, first.path, {}},
  };
  EXPECT_EQ(registry.calls(), expected);
}

TEST(Webview2Places, FailuresMoveOnAndEveryOpenedKeyIsClosed) {
  MemoryRegistry registry;
  // A key without "pv", a value whose read is refused, then the user's version.
  registry.add_key(kPlaces[0].root, kPlaces[0].path);
  registry.set_value(kPlaces[1].root, kPlaces[1].path, u"pv", SZ, text(u"120.0\0"sv));
  registry.fail(MemoryRegistry::Op::Read, kPlaces[1].root, kPlaces[1].path,
                RegistryError::AccessDenied);
  registry.set_value(kPlaces[2].root, kPlaces[2].path, u"pv", SZ, text(u"121.0\0"sv));
  EXPECT_TRUE(check_webview2(registry));
  std::vector<MemoryRegistry::Call> expected;
  for (const Place& place : kPlaces) {
    expected.push_back({MemoryRegistry::Op::Open, place.root, place.path, {}});
    expected.push_back({MemoryRegistry::Op::Close, place.root, place.path, {}});
  }
  EXPECT_EQ(opens_and_closes(registry), expected);
  EXPECT_EQ(registry.open_keys(), 0u);
}

TEST(Webview2Places, AKeyThatCannotBeOpenedIsSkipped) {
  MemoryRegistry registry;
  registry.set_value(kPlaces[0].root, kPlaces[0].path, u"pv", SZ, text(u"120.0\0"sv));
  registry.fail(MemoryRegistry::Op::Open, kPlaces[0].root, kPlaces[0].path,
                RegistryError::AccessDenied);
  EXPECT_FALSE(check_webview2(registry));
  EXPECT_EQ(registry.open_keys(), 0u);
  EXPECT_EQ(registry.calls().size(), 3u);  // three opens, nothing read
}

// The value changes between the query of its size and the read of its data.
TEST(Webview2Places, ValueChangedBetweenQueryAndRead) {
  const Place& first = kPlaces[0];
  {
    // Grown: the read no longer fits and the place counts as not present.
    MemoryRegistry registry;
    registry.set_value(first.root, first.path, u"pv", SZ, text(u"1.0\0"sv));
    registry.before_read([&registry, &first] {
      registry.set_value(first.root, first.path, u"pv", SZ, text(u"120.0.2210.91\0"sv));
    });
    EXPECT_FALSE(check_webview2(registry));
    EXPECT_EQ(registry.open_keys(), 0u);
  }
  {
    // Shrunk: the zeros left at the end of the buffer are dropped.
    MemoryRegistry registry;
    registry.set_value(first.root, first.path, u"pv", SZ, text(u"10.0.0.0\0"sv));
    registry.before_read([&registry, &first] {
      registry.set_value(first.root, first.path, u"pv", SZ, text(u"0.0.0.0"sv));
    });
    EXPECT_FALSE(check_webview2(registry));
  }
}

}  // namespace
}  // namespace ostrevane
