#include "finder/src/main/dialogs.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

namespace ostrevane {
namespace {

using platform::TaskDialogConfig;
using platform::TaskDialogElement;
using platform::TaskDialogNotification;
using Messages = std::vector<std::string>;

// A dialog that writes down every message its callback sends, one short line
// each.
class RecordingDialog : public platform::TaskDialog {
 public:
  void set_element_text(TaskDialogElement element, std::string_view text) override {
    sent.push_back("text " + std::to_string(static_cast<int>(element)) + " " + std::string(text));
  }
  void set_marquee_progress_bar(bool marquee) override {
    sent.push_back(std::string("marquee bar ") + (marquee ? "on" : "off"));
  }
  void set_progress_bar_marquee(bool start, unsigned period_ms) override {
    sent.push_back(std::string("marquee ") + (start ? "start " : "stop ") +
                   std::to_string(period_ms));
  }
  void set_progress_bar_pos(int position) override {
    sent.push_back("pos " + std::to_string(position));
  }
  void click_button(int id) override { sent.push_back("click " + std::to_string(id)); }

  Messages take() { return std::exchange(sent, {}); }

  Messages sent;
};

platform::HResult notify(RecordingDialog& dialog, TaskDialogNotification notification,
                         SharedProgress& progress) {
  return task_dialog_callback(dialog, notification, 0, 0, &progress);
}

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// One timer tick: the status the worker has stored, and what the tick sends.
struct Tick {
  AttemptStatus status;
  Messages sent;
};

struct SequenceCase {
  std::string name;
  std::vector<Tick> ticks;
};

void PrintTo(const SequenceCase& c, std::ostream* os) {
  *os << c.name;
}

class ProgressTickTest : public testing::TestWithParam<SequenceCase> {};

TEST_P(ProgressTickTest, SendsExactlyTheChanges) {
  SharedProgress progress;
  RecordingDialog dialog;
  for (std::size_t i = 0; i < GetParam().ticks.size(); ++i) {
    const Tick& tick = GetParam().ticks[i];
    if (is_final(tick.status)) {
      progress.store_final(tick.status);
    } else {
      progress.set_update(std::get<Progress>(tick.status).update);
    }
    EXPECT_EQ(notify(dialog, TaskDialogNotification::kTimer, progress), platform::kHrOk);
    EXPECT_EQ(dialog.take(), tick.sent) << "tick " << i;
    EXPECT_EQ(progress.done(), is_final(tick.status)) << "tick " << i;
  }
}

const std::string kSearching = "text 0 Recherche du boîtier du cabinet sur le réseau…";
const std::string kDownload = "text 0 Téléchargement depuis le boîtier…";

Tick at(ProgressUpdate update, Messages sent) {
  return {Progress{std::move(update)}, std::move(sent)};
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, ProgressTickTest,
    testing::Values(
        SequenceCase{"SearchingTextOnceThenNothing",
                     {at(Searching{}, {kSearching}), at(Searching{}, {})}},
        SequenceCase{
            "BoxFoundShowsTheEdition",
            {at(BoxFound{"cab", "lunel"}, {"text 0 Boîtier du cabinet trouvé (Lunel)…"}),
             at(BoxFound{"cab", "brastel"}, {"text 0 Boîtier du cabinet trouvé (Brastel)…"}),
             at(BoxFound{"other", "brastel"}, {}),
             at(BoxFound{"cab", "elsewhere"}, {"text 0 Boîtier du cabinet trouvé (Corvene)…"})}},
        SequenceCase{"UnknownTotalKeepsTheMarquee",
                     {at(Downloading{0, 0}, {kDownload}), at(Downloading{kMax, 0}, {})}},
        SequenceCase{"BelowOneMebibyte",
                     {at(Downloading{1000, kMiB - 1},
                         {kDownload + " 0 Mo sur 0 Mo", "marquee bar off", "pos 0"})}},
        SequenceCase{"RoundsDown",
                     {at(Downloading{kMiB - 1, 2 * kMiB},
                         {kDownload + " 0 Mo sur 2 Mo", "marquee bar off", "pos 49"}),
                      at(Downloading{kMiB, 2 * kMiB}, {kDownload + " 1 Mo sur 2 Mo", "pos 50"}),
                      at(Downloading{kMiB + 1, 2 * kMiB}, {"pos 50"})}},
        SequenceCase{"OverTheTotalIsAFullBar",
                     {at(Downloading{3 * kMiB, 2 * kMiB},
                         {kDownload + " 3 Mo sur 2 Mo", "marquee bar off", "pos 100"})}},
        SequenceCase{"HugeSizesDoNotOverflow",
                     {at(Downloading{std::uint64_t{1} << 62, std::uint64_t{1} << 63},
                         {kDownload + " 4398046511104 Mo sur 8796093022208 Mo", "marquee bar off",
                          "pos 50"}),
                      at(Downloading{kMax - 1, kMax},
                         {kDownload + " 17592186044415 Mo sur 17592186044415 Mo", "pos 99"}),
                      at(Downloading{kMax, kMax}, {"pos 100"})}},
        SequenceCase{
            "InstallingRestartsTheMarquee",
            {at(Downloading{kMiB, 2 * kMiB},
                {kDownload + " 1 Mo sur 2 Mo", "marquee bar off", "pos 50"}),
             at(Installing{}, {"text 0 Installation…", "marquee bar on", "marquee start 30"}),
             at(Installing{}, {})}},
        SequenceCase{
            "FailureClosesTheDialog",
            {at(Searching{}, {kSearching}), {Failed{FailureKind::download("x")}, {"click 2"}}}},
        SequenceCase{"SuccessClosesTheDialogAtOnce", {{Succeeded{}, {"click 2"}}}}),
    [](const auto& info) { return info.param.name; });

TEST(ProgressCallbackTest, CreationStartsTheMarqueeAndOtherNotificationsDoNothing) {
  SharedProgress progress;
  progress.store_final(Succeeded{});
  RecordingDialog dialog;
  EXPECT_EQ(notify(dialog, TaskDialogNotification::kCreated, progress), platform::kHrOk);
  EXPECT_EQ(dialog.take(), Messages{"marquee start 30"});
  for (const auto n :
       {TaskDialogNotification::kButtonClicked, TaskDialogNotification::kDestroyed}) {
    EXPECT_EQ(notify(dialog, n, progress), platform::kHrOk);
  }
  EXPECT_EQ(dialog.take(), Messages{});
  EXPECT_FALSE(progress.done());
}

// A host standing in for the platform: it sends the callback its
// notifications, ticking until a button is pressed, or fails at once.
class ScriptedHost : public platform::DialogHost {
 public:
  explicit ScriptedHost(std::expected<int, std::error_code> answer) : answer_(answer) {}

  std::expected<int, std::error_code> show(const TaskDialogConfig& config) override {
    shown.push_back(config);
    if (!answer_ || config.callback == nullptr) {
      return answer_;
    }
    RecordingDialog dialog;
    config.callback(dialog, TaskDialogNotification::kCreated, 0, 0, config.callback_data);
    for (int i = 0; i < 10; ++i) {
      config.callback(dialog, TaskDialogNotification::kTimer, 0, 0, config.callback_data);
      if (!dialog.sent.empty() && dialog.sent.back().starts_with("click ")) {
        return std::stoi(dialog.sent.back().substr(6));
      }
    }
    return *answer_;
  }

  std::vector<TaskDialogConfig> shown;

 private:
  std::expected<int, std::error_code> answer_;
};

TEST(ProgressDialogTest, Configuration) {
  SharedProgress progress;
  const TaskDialogConfig config = progress_dialog_config(progress);
  EXPECT_EQ(config.flags, 0x1C08u);
  EXPECT_EQ(config.window_title, "Ostrevane");
  EXPECT_EQ(config.main_icon, platform::TaskDialogIcon::kNone);
  EXPECT_EQ(config.main_instruction, "Installation de Ostrevane");
  EXPECT_EQ(config.content, "Recherche du boîtier du cabinet sur le réseau…");
  EXPECT_EQ(config.buttons, (std::vector<platform::TaskDialogButton>{{2, "Annuler"}}));
  EXPECT_EQ(config.default_button, 0);
  EXPECT_EQ(config.callback, &task_dialog_callback);
  EXPECT_EQ(config.callback_data, &progress);
  EXPECT_EQ(config.width, 300u);
}

TEST(ProgressDialogTest, EndedAttemptClosesItWithDone) {
  SharedProgress progress;
  progress.store_final(Failed{FailureKind::no_box()});
  ScriptedHost host(2);
  show_progress_dialog(progress, host);
  ASSERT_EQ(host.shown.size(), 1u);
  EXPECT_TRUE(progress.done());
}

TEST(ProgressDialogTest, CancelOrFailureLeavesDoneFalse) {
  for (const auto& answer : {std::expected<int, std::error_code>(2),
                             std::expected<int, std::error_code>(std::unexpected(
                                 std::make_error_code(std::errc::no_such_device)))}) {
    SharedProgress progress;
    progress.set_update(Downloading{1, 2});
    ScriptedHost host(answer);
    show_progress_dialog(progress, host);
    EXPECT_FALSE(progress.done());
  }
}

TEST(ResultDialogTest, ConfigurationWithAndWithoutRetry) {
  const TaskDialogConfig retry = result_dialog_config("Boîtier introuvable", "msg", false, true);
  EXPECT_EQ(retry.flags, 0x1008u);
  EXPECT_EQ(retry.window_title, "Ostrevane");
  EXPECT_EQ(retry.main_icon, platform::TaskDialogIcon::kInformation);
  EXPECT_EQ(retry.main_instruction, "Boîtier introuvable");
  EXPECT_EQ(retry.content, "msg");
  EXPECT_EQ(retry.buttons,
            (std::vector<platform::TaskDialogButton>{{100, "Réessayer"}, {101, "Fermer"}}));
  EXPECT_EQ(retry.default_button, 100);
  EXPECT_EQ(retry.callback, nullptr);
  EXPECT_EQ(retry.width, 300u);

  const TaskDialogConfig close = result_dialog_config("Installation impossible", "m", true, false);
  EXPECT_EQ(close.flags, 0x1008u);
  EXPECT_EQ(close.main_icon, platform::TaskDialogIcon::kError);
  EXPECT_EQ(close.buttons, (std::vector<platform::TaskDialogButton>{{101, "Fermer"}}));
  EXPECT_EQ(close.default_button, 101);
}

TEST(ResultDialogTest, DamagedProgramOffersCloseOnly) {
  ScriptedHost host(kCloseButton);
  show_damaged_program_dialog("no certificate in this PEM", host);
  ASSERT_EQ(host.shown.size(), 1u);
  const TaskDialogConfig& shown = host.shown[0];
  EXPECT_EQ(shown.main_instruction, "Installation impossible");
  EXPECT_EQ(shown.content,
            "Ce programme d'installation est endommagé (no certificate in this PEM). "
            "Téléchargez-le à nouveau.");
  EXPECT_EQ(shown.main_icon, platform::TaskDialogIcon::kError);
  EXPECT_EQ(shown.buttons, (std::vector<platform::TaskDialogButton>{{101, "Fermer"}}));
}

struct AnswerCase {
  std::string name;
  std::expected<int, std::error_code> pressed;
  bool retry;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
  *os << c.name;
}

class ResultAnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(ResultAnswerTest, OnlyRetryButtonRetries) {
  ScriptedHost host(GetParam().pressed);
  EXPECT_EQ(show_result_dialog("Installation impossible", "m", true, true, host), GetParam().retry);
  ASSERT_EQ(host.shown.size(), 1u);
  EXPECT_EQ(host.shown[0].main_instruction, "Installation impossible");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ResultAnswerTest,
    testing::Values(AnswerCase{"Retry", 100, true}, AnswerCase{"Close", 101, false},
                    AnswerCase{"EscapeOrCloseBox", 2, false},
                    AnswerCase{"NotShown",
                               std::unexpected(std::make_error_code(std::errc::no_such_device)),
                               false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace ostrevane
