#pragma once

#include <boost/asio/awaitable.hpp>
#include <expected>
#include <filesystem>
#include <string>
#include <utility>

#include "finder/src/lib/failure.hpp"
#include "finder/src/lib/manifest.hpp"
#include "finder/src/lib/progress.hpp"
#include "finder/src/lib/trust_material.hpp"
#include "proxy/src/discover/box_answer.hpp"
#include "proxy/src/discover/probe.hpp"
#include "proxy/src/fetch/box_client.hpp"
#include "proxy/src/fetch/runtime.hpp"

namespace ostrevane {

inline constexpr std::uint64_t MANIFEST_LIMIT = 262'144;
inline constexpr std::uint64_t SIGNATURE_LIMIT = 16'384;
inline constexpr std::uint64_t DOWNLOAD_LIMIT = 629'145'600;

// Returns the file to fetch and its digest text: the update when the WebView2
// runtime is present, the full installer otherwise.
std::pair<std::string, std::string> select_shell_file(const Manifest& manifest,
                                                      bool webview2_present);

// Returns true for a name that may be downloaded and run: ends in ".exe"
// (lower case), holds no '/', '\' or "..".
bool is_installer_file_name(std::string_view name);

// The flow's time limits; the program uses the defaults, tests shorten them.
struct BoxFlowTimeouts {
  std::chrono::steady_clock::duration probe = PROBE_TIMEOUT;
  BoxClientTimeouts client;
};

// Runs everything after discovery: announces the box, probes it, fetches and
// verifies the manifest, and downloads the chosen file into `working_folder`.
// Returns the file's path or the failure that ended the attempt.
boost::asio::awaitable<std::expected<std::filesystem::path, FailureKind>> run_box_flow(
    Runtime& runtime, std::filesystem::path working_folder, const ProgressReporter& reporter,
    BoxAnswer answer, const TrustMaterial& trust, bool webview2_present,
    BoxFlowTimeouts timeouts = {});

}  // namespace ostrevane
