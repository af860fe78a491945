#include "testsupport/files.hpp"

#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>

#include "proxy/src/fetch/fetch_error.hpp"

namespace ostrevane::test {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string sha256_of(std::string_view data) {
  std::array<std::uint8_t, 32> digest;
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data());
  return sha256_hex(digest);
}

}  // namespace ostrevane::test
