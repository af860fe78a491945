#pragma once

#include <string>
#include <string_view>

namespace ostrevane::e2e {

// The release that the demo box serves.
inline constexpr std::string_view kDemoVersion = "1.4.2";
inline constexpr std::string_view kInstallerName = "Ostrevane-Setup-1.4.2.exe";
inline constexpr std::string_view kUpdateName = "Ostrevane-Update-1.4.2.exe";
inline constexpr std::string_view kDefaultSlug = "cabinet-demo";
inline constexpr std::string_view kDefaultEdition = "lunel";

// What a demo installer file does when run.
struct DemoInstaller {
  std::string args_file;       // each argument is appended to this file, one per line
  int exit_code = 0;           // the code the script exits with
  std::size_t padding = 0;     // bytes of comment added, to make a larger file
  unsigned sleep_seconds = 0;  // how long it takes before it exits
};

// Returns the POSIX shell script served as the installer (`update` false) or
// the update file (`update` true).
std::string demo_installer_script(const DemoInstaller& installer, bool update);

// Returns the SHA-256 of `bytes` as 64 lower-case hexadecimal digits.
std::string sha256_text(std::string_view bytes);

// Returns the manifest of the demo release for `edition`, naming the two files
// with these digests.
std::string demo_manifest(std::string_view edition, std::string_view installer_sha256,
                          std::string_view update_sha256);

}  // namespace ostrevane::e2e
