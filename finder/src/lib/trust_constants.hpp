#pragma once

#include <string_view>

namespace ostrevane {

// The root CA certificate that every box's chain must end at, as PEM text.
extern const std::string_view BOX_CA_PEM;

// The minisign public key that signs every release manifest, as its two-line
// text with CR LF line ends.
extern const std::string_view MANIFEST_PUBLIC_KEY;

}  // namespace ostrevane
