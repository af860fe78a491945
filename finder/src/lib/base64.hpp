#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace ostrevane {

// Returns the bytes of standard, padded Base64 text, or why it is not that:
// a length that is not a multiple of 4, misplaced padding, a byte outside the
// alphabet, or set bits that the padding drops (only one text per byte string
// is accepted).
[[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> decode_base64(
    std::string_view text);

}  // namespace ostrevane
