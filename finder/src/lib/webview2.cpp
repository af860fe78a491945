#include "finder/src/lib/webview2.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/utf16.hpp"

namespace ostrevane {
namespace {

using platform::RegistryRoot;

struct Place {
  RegistryRoot root;
  std::string subkey;
};

// The key paths are ASCII, so widening each byte is their UTF-16 form.
std::u16string widen_ascii(std::string_view text) {
  return std::u16string(text.begin(), text.end());
}

// Decodes `size` / 2 little-endian UTF-16 units of `data` without their
// trailing NULs; nullopt for an unpaired surrogate.
std::optional<std::string> decode_value(const std::vector<std::byte>& data, std::size_t size) {
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(std::to_integer<unsigned>(data[2 * i]) |
                                     std::to_integer<unsigned>(data[2 * i + 1]) << 8);
  }
  while (!units.empty() && units.back() == u'\0') {
    units.pop_back();
  }
  return platform::utf16_to_utf8_strict(units);
}

// Returns the text of the value "pv" of an open key, or nullopt when it cannot
// be read as text.
std::optional<std::string> read_version(platform::Registry& registry, platform::RegistryKey key) {
  const std::u16string name = u"pv";
  const auto info = registry.query_value(key, name);
  if (!info) {
    return std::nullopt;
  }
  // The second read may bring less than the first query announced (the value
  // shrank meanwhile); the zeros left in the buffer are dropped as trailing NULs.
  std::vector<std::byte> buffer(info->size, std::byte{0});
  if (!registry.read_value(key, name, buffer)) {
    return std::nullopt;
  }
  // Expandable texts are taken as stored: a version holds no variables.
  if (info->type != platform::REG_TYPE_SZ && info->type != platform::REG_TYPE_EXPAND_SZ) {
    return std::nullopt;
  }
  return decode_value(buffer, info->size);
}

}  // namespace

bool check_webview2() {
  return check_webview2(platform::system_registry());
}

bool check_webview2(platform::Registry& registry) {
  const std::array<Place, 3> places{{
      {RegistryRoot::LocalMachine, "SOFTWARE\\WOW6432Node\\" + std::string(WEBVIEW2_CLIENT_KEY)},
      {RegistryRoot::LocalMachine, "SOFTWARE\\" + std::string(WEBVIEW2_CLIENT_KEY)},
      {RegistryRoot::CurrentUser, "Software\\" + std::string(WEBVIEW2_CLIENT_KEY)},
  }};
  for (const Place& place : places) {
    const auto key = registry.open_key(place.root, widen_ascii(place.subkey));
    if (!key) {
      continue;
    }
    const std::optional<std::string> version = read_version(registry, *key);
    (void)registry.close_key(*key);
    if (version && !version->empty() && *version != "0.0.0.0") {
      return true;
    }
  }
  return false;
}

}  // namespace ostrevane
