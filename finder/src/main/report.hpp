#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "finder/src/lib/failure.hpp"

namespace ostrevane {

// The report's default path, relative to the current folder.
inline constexpr std::string_view DEFAULT_REPORT_PATH = "ostrevane-setup-report.json";

// Returns the compact report of a successful flow:
// {"installer":NAME-or-null,"ok":true,"webview2":BOOL}.
std::string success_report(const std::filesystem::path& installer, bool webview2);

// Returns the compact report of a failed flow: {"code","detail","message","ok":false}.
std::string failure_report(const FailureKind& failure);

// Returns the compact report of unusable trust material:
// {"code":"build","detail":DETAIL,"ok":false}.
std::string build_report(std::string_view detail);

// Writes `text` to `path`, creating or truncating the file. Returns false when
// the file cannot be created or written whole.
bool write_report(const std::filesystem::path& path, std::string_view text);

}  // namespace ostrevane
