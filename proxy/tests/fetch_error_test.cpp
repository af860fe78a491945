#include "proxy/src/fetch/fetch_error.hpp"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <array>
#include <string>

namespace ostrevane {
namespace {

TEST(FetchErrorDisplayTest, EachVariantsText) {
  EXPECT_EQ(fetch_error_display(Unreachable{"connection refused"}),
            "the box is unreachable: connection refused");
  EXPECT_EQ(fetch_error_display(Message{"/desktop/manifest.json: HTTP 404"}),
            "/desktop/manifest.json: HTTP 404");
  EXPECT_EQ(fetch_error_display(Message{""}), "");
  EXPECT_EQ(fetch_error_display(DigestMismatch{"computed", "expected"}),
            "sha256 computed, the manifest says expected");
  EXPECT_EQ(fetch_error_display(Disk{"No space left on device (os error 28)"}),
            "disk: No space left on device (os error 28)");
}

TEST(Sha256HexTest, ZeroBytes) {
  const std::array<std::uint8_t, 32> zeros{};
  EXPECT_EQ(sha256_hex(zeros), std::string(64, '0'));
}

TEST(Sha256HexTest, HighNibbleFirstWithLeadingZeros) {
  std::array<std::uint8_t, 32> low{};
  std::array<std::uint8_t, 32> high{};
  for (std::size_t i = 0; i < low.size(); ++i) {
    low[i] = static_cast<std::uint8_t>(i);
    high[i] = static_cast<std::uint8_t>(0xE0 + i);
  }
  EXPECT_EQ(sha256_hex(low), "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  EXPECT_EQ(sha256_hex(high), "e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
}

TEST(Sha256HexTest, DigestOfTheEmptyInput) {
  std::array<std::uint8_t, 32> digest{};
  SHA256(nullptr, 0, digest.data());
  EXPECT_EQ(sha256_hex(digest), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
}  // namespace ostrevane
