#include "platform/terminal_frame.hpp"

#include <algorithm>
#include <cstdint>

#include "platform/path_text.hpp"

namespace ostrevane::platform {
namespace {

constexpr unsigned kMaxColumns = 64;
constexpr unsigned kMinColumns = 24;
constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kReverse = "\x1b[7m";
constexpr std::string_view kPlain = "\x1b[0m";

// Returns the byte length of the code point starting with `lead` in
// well-formed UTF-8.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xF0) {
    return 4;
  }
  return lead >= 0xE0 ? 3 : 2;
}

// Splits well-formed UTF-8 into its code points, each as its bytes.
std::vector<std::string_view> code_points(std::string_view text) {
  std::vector<std::string_view> points;
  while (!text.empty()) {
    const std::size_t n = std::min(sequence_length(text[0]), text.size());
    points.push_back(text.substr(0, n));
    text.remove_prefix(n);
  }
  return points;
}

// Returns true for C0 and C1 controls and DEL: a text must not move the
// cursor or start an escape sequence of its own.
bool is_control(std::string_view point) {
  const auto b0 = static_cast<unsigned char>(point[0]);
  if (point.size() == 1) {
    return b0 < 0x20 || b0 == 0x7F;
  }
  return point.size() == 2 && b0 == 0xC2 && static_cast<unsigned char>(point[1]) < 0xA0;
}

// Returns `text` as well-formed UTF-8 without controls; a tab becomes a space
// and, when `keep_lines`, a line break stays.
std::string clean(std::string_view text, bool keep_lines) {
  const std::string valid = utf8_lossy(text);
  std::string out;
  for (const std::string_view point : code_points(valid)) {
    if (point == "\t") {
      out += ' ';
    } else if (point == "\n") {
      out += keep_lines ? '\n' : ' ';
    } else if (!is_control(point)) {
      out += point;
    }
  }
  return out;
}

// Returns the first `width` columns of clean `text`, ending in "…" when cut.
std::string truncate(std::string_view text, std::size_t width) {
  const auto points = code_points(text);
  if (points.size() <= width) {
    return std::string(text);
  }
  std::string out;
  for (std::size_t i = 0; i + 1 < width; ++i) {
    out += points[i];
  }
  return out + "…";
}

// Breaks clean `text` into lines of at most `width` columns, at spaces where
// it can and inside a word longer than a line.
std::vector<std::string> wrap(std::string_view text, std::size_t width) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line;
    std::size_t used = 0;
    for (const std::string_view point : code_points(text.substr(start, end - start))) {
      if (used == width) {
        const std::size_t space = line.rfind(' ');
        std::string rest;
        if (point != " " && space != std::string::npos) {
          rest = line.substr(space + 1);
          line.resize(space);
        }
        lines.push_back(line);
        line = rest;
        used = display_width(rest);
        if (point == " ") {
          continue;
        }
      }
      line += point;
      ++used;
    }
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::string repeat(std::string_view piece, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out += piece;
  }
  return out;
}

// Returns the bar: brackets around `cells` cells, then the percentage or, in
// marquee mode, a moving block.
std::string draw_bar(const TerminalFrame& frame, std::size_t cells) {
  std::string bar = "[";
  if (frame.marquee) {
    const std::size_t block = std::max<std::size_t>(cells / 5, 1);
    const std::size_t head = frame.marquee_step % (cells + block);
    for (std::size_t i = 0; i < cells; ++i) {
      bar += i <= head && i + block > head ? "█" : "░";
    }
    return bar + "]      ";
  }
  const int position = std::clamp(frame.position, 0, 100);
  const std::size_t filled = cells * static_cast<std::size_t>(position) / 100;
  bar += repeat("█", filled) + repeat("░", cells - filled) + "] ";
  const std::string percent = std::to_string(position) + " %";
  return bar + std::string(5 - percent.size(), ' ') + percent;
}

// Returns the buttons, right-aligned in `width` columns, the default one in
// reverse video.
std::string draw_buttons(const TerminalFrame& frame, std::size_t width) {
  std::string row;
  std::size_t used = 0;
  for (const TaskDialogButton& button : frame.buttons) {
    const std::string label = "[ " + clean(button.text, false) + " ]";
    const std::size_t label_width = display_width(label) + (used == 0 ? 0 : 2);
    if (used + label_width > width) {
      break;
    }
    row += used == 0 ? "" : "  ";
    row += button.id == frame.default_button ? std::string(kReverse) + label + std::string(kPlain)
                                             : label;
    used += label_width;
  }
  return std::string(width - used, ' ') + row;
}

}  // namespace

std::size_t display_width(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::vector<std::string> draw_frame(const TerminalFrame& frame, unsigned columns) {
  const std::size_t outer = std::clamp(columns == 0 ? 80 : columns - 1, kMinColumns, kMaxColumns);
  const std::size_t inner = outer - 4;  // "│ " and " │"
  std::vector<std::string> lines;
  const auto row = [&](std::string_view text, std::size_t width, std::string_view style = {}) {
    std::string line = "│ ";
    line += style.empty() ? std::string(text)
                          : std::string(style) + std::string(text) + std::string(kPlain);
    lines.push_back(line + std::string(inner - width, ' ') + " │");
  };

  const std::string title = truncate(clean(frame.title, false), outer - 6);
  lines.push_back("┌─ " + title + " " + repeat("─", outer - 5 - display_width(title)) + "┐");

  std::string instruction = clean(frame.instruction, true);
  if (frame.icon == TaskDialogIcon::kError) {
    instruction = "(!) " + instruction;
  } else if (frame.icon == TaskDialogIcon::kInformation) {
    instruction = "(i) " + instruction;
  }
  for (const std::string& line : wrap(instruction, inner)) {
    row(line, display_width(line), kBold);
  }
  row("", 0);
  for (const std::string& line : wrap(clean(frame.content, true), inner)) {
    row(line, display_width(line));
  }
  if (frame.bar) {
    row("", 0);
    const std::string bar = draw_bar(frame, inner - 8);
    row(bar, display_width(bar));
  }
  row("", 0);
  row(draw_buttons(frame, inner), inner);
  lines.push_back("└" + repeat("─", outer - 2) + "┘");
  return lines;
}

}  // namespace ostrevane::platform
