#include "finder/src/main/setup_run.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/temp_folder.hpp"

namespace ostrevane {
namespace {
namespace asio = boost::asio;

using DiscoverOutcome = std::expected<BoxAnswer, DiscoverError>;
using FlowResult = std::expected<std::filesystem::path, FailureKind>;

// The working folder in the script's temporary folder, under the platform's name.
const std::string kWorkingFolder = "/tmp/user/" + platform::working_folder_name();

struct Script {
  std::deque<DiscoverOutcome> passes;
  int discover_calls = 0;
  int temp_calls = 0;
  int webview_calls = 0;
  std::optional<std::filesystem::path> flow_folder;
  std::optional<BoxAnswer> flow_answer;
  std::optional<bool> flow_webview2;
  std::filesystem::path temp = "/tmp/user/";
  std::vector<ProgressUpdate> updates;
};

asio::awaitable<DiscoverOutcome> next_pass(Script* script) {
  ++script->discover_calls;
  DiscoverOutcome outcome = script->passes.front();
  script->passes.pop_front();
  co_return outcome;
}

asio::awaitable<FlowResult> record_flow(Script* script, std::filesystem::path folder,
                                        BoxAnswer answer, bool webview2) {
  script->flow_folder = folder;
  script->flow_answer = answer;
  script->flow_webview2 = webview2;
  co_return folder / "setup.exe";
}

SetupSteps steps_for(Script& script) {
  SetupSteps steps;
  steps.discover = [&script] { return next_pass(&script); };
  steps.temp_folder = [&script]() -> std::expected<std::filesystem::path, std::error_code> {
    ++script.temp_calls;
    return script.temp;
  };
  steps.webview2 = [&script] {
    ++script.webview_calls;
    return true;
  };
  steps.box_flow = [&script](const std::filesystem::path& folder, const BoxAnswer& answer,
                             bool webview2) {
    return record_flow(&script, folder, answer, webview2);
  };
  return steps;
}

FlowResult run(Script& script) {
  asio::io_context io;
  std::optional<FlowResult> result;
  ProgressReporter reporter = [&script](ProgressUpdate u) { script.updates.push_back(u); };
  asio::co_spawn(io, run_setup(reporter, steps_for(script)),
                 [&](std::exception_ptr e, FlowResult r) {
                   ASSERT_FALSE(e);
                   result = std::move(r);
                 });
  io.run();
  return std::move(*result);
}

const BoxAnswer kBox{"127.0.0.1", "cabinet", "lunel", 8443};

TEST(SetupRunTest, ABoxFoundOnTheThirdPassGoesToTheBoxFlow) {
  Script script;
  script.passes = {std::unexpected(DiscoverError::NoAnswer),
                   std::unexpected(DiscoverError::SocketFailure), kBox};
  FlowResult result = run(script);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, kWorkingFolder + "/setup.exe");
  EXPECT_EQ(script.discover_calls, 3);
  EXPECT_EQ(script.flow_answer, kBox);
  EXPECT_EQ(script.flow_folder, kWorkingFolder);
  EXPECT_EQ(script.flow_webview2, true);
  EXPECT_EQ(script.updates, std::vector<ProgressUpdate>{Searching{}});
}

TEST(SetupRunTest, SeveralBoxesEndTheSearchAtOnce) {
  Script script;
  script.passes = {std::unexpected(DiscoverError::SeveralBoxes), kBox};
  FlowResult result = run(script);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), FailureKind::two_boxes());
  EXPECT_EQ(script.discover_calls, 1);
  EXPECT_EQ(script.temp_calls, 0);
  EXPECT_EQ(script.webview_calls, 0);
  EXPECT_FALSE(script.flow_answer.has_value());
}

TEST(SetupRunTest, ThreeEmptyPassesGiveNoBox) {
  Script script;
  script.passes = {std::unexpected(DiscoverError::SocketFailure),
                   std::unexpected(DiscoverError::NoAnswer),
                   std::unexpected(DiscoverError::SocketFailure), kBox};
  FlowResult result = run(script);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), FailureKind::no_box());
  EXPECT_EQ(script.discover_calls, 3);
  EXPECT_EQ(script.temp_calls, 0);
  EXPECT_EQ(script.webview_calls, 0);
}

TEST(SetupRunTest, TheWorkingFolderJoinsWithoutADoubledSeparator) {
  namespace fs = std::filesystem;
  const fs::path::string_type temp = fs::path("/tmp/user").make_preferred().native();
  const fs::path::string_type joined =
      temp + fs::path::preferred_separator + fs::path(kWorkingFolder).filename().native();
  for (const fs::path::string_type& given : {temp, temp + fs::path::preferred_separator}) {
    Script script;
    script.temp = given;
    script.passes = {kBox};
    ASSERT_TRUE(run(script).has_value());
    EXPECT_EQ(script.flow_folder->native(), joined) << fs::path(given).string();
  }
}

}  // namespace
}  // namespace ostrevane
