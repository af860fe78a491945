#include "finder/src/main/setup_run.hpp"

#include <boost/asio/co_spawn.hpp>
#include <exception>
#include <optional>

#include "finder/src/lib/box_flow.hpp"
#include "finder/src/lib/webview2.hpp"
#include "finder/src/main/exit_code.hpp"
#include "platform/os_error.hpp"
#include "platform/path_text.hpp"
#include "platform/temp_folder.hpp"

namespace ostrevane {
namespace asio = boost::asio;

namespace {

asio::awaitable<std::expected<BoxAnswer, DiscoverError>> discover_with_real_window() {
  co_return co_await discover_box(DISCOVERY_WINDOW);
}

}  // namespace

SetupSteps default_setup_steps(Runtime& runtime, const ProgressReporter& reporter,
                               const TrustMaterial& trust) {
  SetupSteps steps;
  steps.discover = &discover_with_real_window;
  steps.temp_folder = &platform::user_temp_folder;
  steps.webview2 = [] { return check_webview2(); };
  steps.box_flow = [&runtime, &reporter, &trust](const std::filesystem::path& folder,
                                                 const BoxAnswer& answer, bool webview2) {
    return run_box_flow(runtime, folder, reporter, answer, trust, webview2);
  };
  return steps;
}

asio::awaitable<std::expected<std::filesystem::path, FailureKind>> run_setup(
    const ProgressReporter& reporter, SetupSteps steps) {
  reporter(Searching{});

  std::optional<BoxAnswer> answer;
  for (int pass = 0; pass < DISCOVERY_PASSES && !answer; ++pass) {
    auto outcome = co_await steps.discover();
    if (outcome) {
      answer = std::move(*outcome);
    } else if (outcome.error() == DiscoverError::SeveralBoxes) {
      co_return std::unexpected(FailureKind::two_boxes());
    }
  }
  if (!answer) {
    co_return std::unexpected(FailureKind::no_box());
  }

  auto temp = steps.temp_folder();
  if (!temp) {
    // The flow has no failure kind of its own for this; the download is what
    // cannot happen without a folder to put the file in.
    co_return std::unexpected(
        FailureKind::download("no temporary folder: " + platform::error_code_text(temp.error())));
  }
  // operator/ joins without doubling a separator that ends the folder's path.
  const std::filesystem::path working_folder =
      *temp / platform::path_from_utf8(platform::working_folder_name());
  const bool webview2 = steps.webview2();
  co_return co_await steps.box_flow(working_folder, *answer, webview2);
}

std::expected<std::filesystem::path, FailureKind> run_setup_to_completion(
    Runtime& runtime, const ProgressReporter& reporter, const TrustMaterial& trust) {
  std::optional<std::expected<std::filesystem::path, FailureKind>> result;
  std::exception_ptr failure;
  asio::co_spawn(runtime.io, run_setup(reporter, default_setup_steps(runtime, reporter, trust)),
                 [&](std::exception_ptr e, std::expected<std::filesystem::path, FailureKind> r) {
                   failure = e;
                   result = std::move(r);
                 });
  runtime.io.run();
  if (failure || !result) {
    broken_invariant("the setup flow did not complete");
  }
  return std::move(*result);
}

}  // namespace ostrevane
