#pragma once

#include <boost/asio/awaitable.hpp>
#include <expected>
#include <filesystem>
#include <functional>

#include "finder/src/lib/failure.hpp"
#include "finder/src/lib/progress.hpp"
#include "finder/src/lib/trust_material.hpp"
#include "proxy/src/discover/box_answer.hpp"
#include "proxy/src/discover/discovery.hpp"
#include "proxy/src/fetch/runtime.hpp"

namespace ostrevane {

// What one attempt's flow does after discovery; the program uses the box flow.
using BoxFlowStep =
    std::function<boost::asio::awaitable<std::expected<std::filesystem::path, FailureKind>>(
        const std::filesystem::path& working_folder, const BoxAnswer& answer,
        bool webview2_present)>;

// The steps of run_setup() that tests replace; the program uses default_setup_steps().
struct SetupSteps {
  std::function<boost::asio::awaitable<std::expected<BoxAnswer, DiscoverError>>()> discover;
  std::function<std::expected<std::filesystem::path, std::error_code>()> temp_folder;
  std::function<bool()> webview2;
  BoxFlowStep box_flow;
};

// Returns the steps of the program: discovery with its real window, the
// user's temporary folder, the registry's WebView2 check and the box flow.
SetupSteps default_setup_steps(Runtime& runtime, const ProgressReporter& reporter,
                               const TrustMaterial& trust);

// Runs one attempt from the search for the box to the verified installer file:
// posts Searching, runs up to DISCOVERY_PASSES discovery passes, then the box
// flow in the working folder. Returns the installer's path or the failure.
boost::asio::awaitable<std::expected<std::filesystem::path, FailureKind>> run_setup(
    const ProgressReporter& reporter, SetupSteps steps);

// Runs run_setup() with the program's steps to completion on `runtime`, on the
// calling thread.
std::expected<std::filesystem::path, FailureKind> run_setup_to_completion(
    Runtime& runtime, const ProgressReporter& reporter, const TrustMaterial& trust);

}  // namespace ostrevane
