#include "platform/terminal_frame.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace ostrevane::platform {
namespace {

// Returns `line` without its bold and reverse-video escapes.
std::string visible(const std::string& line) {
  return std::regex_replace(line, std::regex("\x1b\\[[0-9]*m"), "");
}

TerminalFrame french_frame() {
  TerminalFrame frame;
  frame.title = "Ostrevane";
  frame.icon = TaskDialogIcon::kInformation;
  frame.instruction = "Boîtier introuvable";
  frame.content =
      "Aucun boîtier du cabinet n’a répondu sur le réseau… Vérifiez qu’il est allumé et "
      "branché, puis réessayez. Anticonstitutionnellementéééééééééééééééééééééééééééééééééé";
  frame.bar = true;
  frame.buttons = {{100, "Réessayer"}, {101, "Fermer"}};
  frame.default_button = 100;
  return frame;
}

class FrameWidthTest : public testing::TestWithParam<unsigned> {};

TEST_P(FrameWidthTest, EveryLineTakesTheSameColumns) {
  const auto lines = draw_frame(french_frame(), GetParam());
  ASSERT_GE(lines.size(), 8u);
  const std::size_t width = display_width(visible(lines.front()));
  EXPECT_LE(width, GetParam() == 0 ? 80u : std::max(GetParam(), 24u));
  std::string words;
  for (const std::string& line : lines) {
    EXPECT_EQ(display_width(visible(line)), width) << line;
    words += visible(line);
  }
  // Wrapping loses no text: every word of the content is on some line.
  for (const char* word : {"réseau…", "Vérifiez", "réessayez."}) {
    EXPECT_NE(words.find(word), std::string::npos) << word;
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, FrameWidthTest, testing::Values(0u, 10u, 30u, 41u, 80u, 300u));

TEST(TerminalFrameTest, DisplayWidthCountsCodePoints) {
  EXPECT_EQ(display_width(""), 0u);
  EXPECT_EQ(display_width("Réessayer"), 9u);
  EXPECT_EQ(display_width("réseau…"), 7u);
  EXPECT_EQ(display_width("┌─┐"), 3u);
}

TEST(TerminalFrameTest, ControlCharactersOfTextsAreDropped) {
  TerminalFrame frame = french_frame();
  frame.title = "Ostre\x1b]0;x\x07vane";
  frame.content =
      "rouge\x1b[31m \xC2\x9B"
      "2J fin\r\xFF";
  std::string all;
  for (const std::string& line : draw_frame(frame, 80)) {
    all += visible(line);
  }
  EXPECT_EQ(all.find('\x1b'), std::string::npos);
  EXPECT_EQ(all.find('\r'), std::string::npos);
  EXPECT_EQ(all.find("\xC2\x9B"), std::string::npos);
  EXPECT_NE(all.find("Ostre]0;xvane"), std::string::npos);
  EXPECT_NE(all.find("rouge[31m 2J fin\xEF\xBF\xBD"), std::string::npos);
}

TEST(TerminalFrameTest, BarShowsThePositionOrAMovingMarquee) {
  TerminalFrame frame = french_frame();
  frame.marquee = false;
  for (const auto& [position, text] : std::vector<std::pair<int, std::string>>{
           {0, "  0 %"}, {49, " 49 %"}, {100, "100 %"}, {250, "100 %"}, {-3, "  0 %"}}) {
    frame.position = position;
    std::string all;
    for (const std::string& line : draw_frame(frame, 80)) {
      all += line;
    }
    EXPECT_NE(all.find("] " + text), std::string::npos) << position;
  }

  frame.marquee = true;
  std::vector<std::string> bars;
  for (unsigned step : {0u, 1u, 2u}) {
    frame.marquee_step = step;
    bars.push_back(draw_frame(frame, 80).at(draw_frame(frame, 80).size() - 4));
  }
  EXPECT_NE(bars[0], bars[1]);
  EXPECT_NE(bars[1], bars[2]);
  EXPECT_EQ(bars[0].find('%'), std::string::npos);
}

}  // namespace
}  // namespace ostrevane::platform
