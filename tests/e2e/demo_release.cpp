#include "tests/e2e/demo_release.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <stdexcept>

#include "proxy/src/fetch/fetch_error.hpp"

namespace ostrevane::e2e {
namespace {

// Returns `text` as one single-quoted shell word.
std::string shell_quote(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

}  // namespace

std::string demo_installer_script(const DemoInstaller& installer, bool update) {
  std::string script = "#!/bin/sh\n";
  script += update ? "# Ostrevane demo update " : "# Ostrevane demo installer ";
  script += std::string(kDemoVersion) + "\n";
  script += "for argument in \"$@\"; do\n";
  script += "  printf '%s\\n' \"$argument\" >> " + shell_quote(installer.args_file) + "\n";
  script += "done\n";
  if (installer.sleep_seconds > 0) {
    script += "sleep " + std::to_string(installer.sleep_seconds) + "\n";
  }
  script += "exit " + std::to_string(installer.exit_code) + "\n";
  if (installer.padding > 0) {
    script += "#" + std::string(installer.padding, '-') + "\n";
  }
  return script;
}

std::string sha256_text(std::string_view bytes) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
      size != digest.size()) {
    throw std::runtime_error("SHA-256 failed");
  }
  return sha256_hex(std::span<const std::uint8_t, 32>(digest));
}

std::string demo_manifest(std::string_view edition, std::string_view installer_sha256,
                          std::string_view update_sha256) {
  const std::string version(kDemoVersion);
  nlohmann::ordered_json manifest = {
      {"version", 1},
      {"product", edition},
      {"release", "desktop-" + version},
      {"bundle",
       {{"file", "Ostrevane-" + version + ".bundle"},
        {"sha256", sha256_text("the demo box serves no bundle")},
        {"size", 0}}},
      {"shell",
       {{"version", version},
        {"minimum", "1.0.0"},
        {"installer", kInstallerName},
        {"update", kUpdateName},
        {"sha256", {{"installer", installer_sha256}, {"update", update_sha256}}}}},
  };
  return manifest.dump(2) + "\n";
}

}  // namespace ostrevane::e2e
