#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/task_dialog.hpp"

namespace ostrevane::platform {

// What the terminal stand-in shows of one dialog at one moment.
struct TerminalFrame {
  std::string title;
  TaskDialogIcon icon = TaskDialogIcon::kNone;
  std::string instruction;
  std::string content;
  bool bar = false;           // whether the dialog has a progress bar
  bool marquee = true;        // marquee mode, else the position is shown
  unsigned marquee_step = 0;  // how far the marquee animation has run
  int position = 0;           // 0 to 100
  std::vector<TaskDialogButton> buttons;
  int default_button = 0;  // the id of the highlighted button
};

// Returns the number of code points of UTF-8 `text`, the columns it takes.
std::size_t display_width(std::string_view text);

// Returns `frame` drawn as a box for a terminal `columns` wide (0: unknown),
// one string per line without a line end; every line takes the same number of
// columns. Control characters of the texts are dropped.
std::vector<std::string> draw_frame(const TerminalFrame& frame, unsigned columns);

}  // namespace ostrevane::platform
