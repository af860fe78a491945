#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace ostrevane::test {

// Returns the whole content of the file at `path` ("" when it cannot be read).
std::string read_file(const std::filesystem::path& path);

// Writes `text` to the file at `path`, replacing it.
void write_file(const std::filesystem::path& path, std::string_view text);

// Returns the SHA-256 of `data` as 64 lower-case hexadecimal digits.
std::string sha256_of(std::string_view data);

}  // namespace ostrevane::test
