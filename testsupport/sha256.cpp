#include <openssl/sha.h>

#include <array>
#include <cstdint>

#include "proxy/src/fetch/fetch_error.hpp"
#include "testsupport/files.hpp"

namespace ostrevane::test {

std::string sha256_of(std::string_view data) {
  std::array<std::uint8_t, 32> digest;
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data());
  return sha256_hex(digest);
}

}  // namespace ostrevane::test
