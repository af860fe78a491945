#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ostrevane::test {

// A model of a terminal emulator's screen, for what the terminal dialogs
// write: printable UTF-8 (a column per code point), CR, LF, and ESC [ with A
// (up), B (down), H (home), J (erase below, or 2: all), K (erase the rest of
// the row, or 2: all of it), M (delete rows), m (style, ignored), ?25l and
// ?25h (hide and show the cursor). It wraps at the right margin as xterm does
// (a character in the last column leaves the cursor there until the next
// one), scrolls its top row into a history without limit, and rewraps its
// lines on a resize as VTE and tmux do. Anything else counts as unknown.
class ScreenModel {
 public:
  ScreenModel(unsigned columns, unsigned rows);

  // Interprets `bytes`; a sequence cut off at their end waits for the rest.
  void feed(std::string_view bytes);

  // Gives the screen a new size, rewrapping every line to it.
  void resize(unsigned columns, unsigned rows);

  // Returns the rows on the screen, top first, each without trailing blanks.
  std::vector<std::string> screen() const;

  // Returns the rows scrolled off the top, oldest first, likewise.
  std::vector<std::string> history() const;

  unsigned cursor_row() const { return row_; }
  unsigned cursor_column() const { return column_; }
  bool cursor_visible() const { return cursor_visible_; }

  // Returns how often the whole screen was cleared (ESC [ 2 J, or ESC [ J
  // from its top left corner), which tmux answers with a copy of the screen in
  // its history.
  int clears_of_the_screen() const { return clears_; }

  // Returns how many bytes or sequences it did not know.
  int unknown() const { return unknown_; }

 private:
  struct Row {
    std::vector<std::string> cells;  // one code point each; "" never written
    bool wrapped = false;            // the line goes on in the next row
  };

  Row& row(unsigned on_screen) { return rows_[top() + on_screen]; }
  std::size_t top() const { return rows_.size() - height_; }
  std::size_t sequence(std::size_t at);  // returns its end, or npos when cut off
  void control(std::string_view parameters, char final);
  void print(std::string_view point);
  void line_feed();
  static std::string text(const Row& row);

  unsigned width_;
  unsigned height_;
  std::vector<Row> rows_;  // the history, then the screen's rows
  unsigned row_ = 0;
  unsigned column_ = 0;
  bool wrap_next_ = false;
  bool cursor_visible_ = true;
  int clears_ = 0;
  int unknown_ = 0;
  std::string pending_;
};

}  // namespace ostrevane::test
