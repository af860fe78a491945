#include "finder/src/lib/verify.hpp"

#include <utility>

#include "finder/src/lib/minisign.hpp"
#include "finder/src/lib/semver.hpp"

namespace ostrevane {
namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '.' || c == '_';
}

std::expected<void, std::string> check_signature(std::string_view manifest,
                                                 std::string_view signature,
                                                 std::string_view public_key_text) {
  auto line = minisign::public_key_line(public_key_text);
  if (!line) {
    return std::unexpected("the public key is empty");
  }
  auto key = minisign::decode_public_key(*line);
  if (!key) {
    return std::unexpected("the public key does not parse: " + key.error());
  }
  auto decoded = minisign::decode_signature(minisign::normalise_signature_text(signature));
  if (!decoded) {
    return std::unexpected("the signature does not parse: " + decoded.error());
  }
  if (auto verified = minisign::verify(*key, manifest, *decoded); !verified) {
    return std::unexpected("bad signature: " + verified.error());
  }
  return {};
}

std::expected<void, std::string> check_values(const Manifest& m) {
  if (m.version != MANIFEST_VERSION) {
    return std::unexpected("manifest version " + std::to_string(m.version) +
                           ", this shell reads 1");
  }
  const std::pair<const char*, const std::string*> names[] = {
      {"release", &m.release},
      {"bundle", &m.bundle.file},
      {"installer", &m.shell.installer},
      {"update", &m.shell.update},
  };
  for (const auto& [label, value] : names) {
    if (!is_plain_name(*value)) {
      return std::unexpected(std::string(label) + " " + *value + " is not a plain name");
    }
  }
  for (const std::string* digest :
       {&m.bundle.sha256, &m.shell.sha256.installer, &m.shell.sha256.update}) {
    if (!is_sha256_hex(*digest)) {
      return std::unexpected(*digest + " is not a sha256");
    }
  }
  if (auto version = parse_semantic_version(m.shell.version); !version) {
    return std::unexpected("shell.version: " + version.error());
  }
  if (auto minimum = parse_semantic_version(m.shell.minimum); !minimum) {
    return std::unexpected("shell.minimum: " + minimum.error());
  }
  return {};
}

}  // namespace

std::expected<Manifest, std::string> verify_manifest(std::string_view manifest,
                                                     std::string_view signature,
                                                     std::string_view public_key_text) {
  if (auto signed_ok = check_signature(manifest, signature, public_key_text); !signed_ok) {
    return std::unexpected(signed_ok.error());
  }
  auto parsed = parse_manifest(manifest);
  if (!parsed) {
    return std::unexpected("the manifest does not parse: " + parsed.error());
  }
  if (auto values = check_values(*parsed); !values) {
    return std::unexpected(values.error());
  }
  return parsed;
}

bool is_plain_name(std::string_view text) {
  if (text.empty() || text.size() > PLAIN_NAME_MAX || text == "." || text == "..") {
    return false;
  }
  for (char c : text) {
    if (!is_name_char(c)) {
      return false;
    }
  }
  return true;
}

bool is_sha256_hex(std::string_view text) {
  if (text.size() != 64) {
    return false;
  }
  for (char c : text) {
    if (!is_hex_digit(c)) {
      return false;
    }
  }
  return true;
}

}  // namespace ostrevane
