#include "testsupport/screen_model.hpp"

#include <algorithm>
#include <charconv>

namespace ostrevane::test {
namespace {

std::size_t utf8_length(unsigned char lead) {
  if (lead >= 0xF0) {
    return 4;
  }
  if (lead >= 0xE0) {
    return 3;
  }
  return lead >= 0xC0 ? 2 : 1;
}

// Returns the first number of `parameters`, or `fallback` when there is none.
unsigned number(std::string_view parameters, unsigned fallback) {
  unsigned value = 0;
  const auto [end, error] =
      std::from_chars(parameters.data(), parameters.data() + parameters.size(), value);
  return error == std::errc() && end != parameters.data() ? value : fallback;
}

}  // namespace

ScreenModel::ScreenModel(unsigned columns, unsigned rows)
    : width_(columns), height_(rows), rows_(rows) {}

void ScreenModel::feed(std::string_view bytes) {
  pending_ += bytes;
  std::size_t at = 0;
  while (at < pending_.size()) {
    const auto c = static_cast<unsigned char>(pending_[at]);
    if (c == 0x1b) {
      const std::size_t end = sequence(at);
      if (end == std::string::npos) {
        break;
      }
      at = end;
    } else if (c == '\r') {
      column_ = 0;
      wrap_next_ = false;
      ++at;
    } else if (c == '\n') {
      line_feed();
      wrap_next_ = false;
      ++at;
    } else if (c < 0x20 || c == 0x7F) {
      ++unknown_;
      ++at;
    } else {
      const std::size_t n = utf8_length(c);
      if (at + n > pending_.size()) {
        break;
      }
      print(std::string_view(pending_).substr(at, n));
      at += n;
    }
  }
  pending_.erase(0, at);
}

std::size_t ScreenModel::sequence(std::size_t at) {
  if (at + 1 >= pending_.size()) {
    return std::string::npos;
  }
  if (pending_[at + 1] != '[') {
    ++unknown_;
    return at + 2;
  }
  std::size_t end = at + 2;
  while (end < pending_.size() && (pending_[end] < 0x40 || pending_[end] > 0x7E)) {
    ++end;
  }
  if (end == pending_.size()) {
    return std::string::npos;
  }
  control(std::string_view(pending_).substr(at + 2, end - at - 2), pending_[end]);
  return end + 1;
}

void ScreenModel::control(std::string_view parameters, char final) {
  const auto clear_from = [](Row& row, std::size_t column) {
    row.cells.resize(std::min(row.cells.size(), column));
    row.wrapped = false;
  };
  if (final != 'm') {
    wrap_next_ = false;
  }
  if (parameters == "?25" && (final == 'l' || final == 'h')) {
    cursor_visible_ = final == 'h';
    return;
  }
  if (!parameters.empty() && parameters[0] == '?') {
    ++unknown_;
    return;
  }
  const unsigned n = number(parameters, 0);
  switch (final) {
    case 'A':
      row_ -= std::min(row_, std::max(n, 1u));
      break;
    case 'B':
      row_ = std::min(height_ - 1, row_ + std::max(n, 1u));
      break;
    case 'H':
      row_ = 0;
      column_ = 0;
      break;
    case 'J':
      if (n == 2 || (n == 0 && row_ == 0 && column_ == 0)) {
        ++clears_;
      }
      for (unsigned r = n == 2 ? 0 : row_ + 1; r < height_; ++r) {
        row(r) = Row{};
      }
      if (n == 0) {
        clear_from(row(row_), column_);
      }
      break;
    case 'K':
      clear_from(row(row_), n == 2 ? 0 : column_);
      break;
    case 'M': {
      const auto first = rows_.begin() + static_cast<std::ptrdiff_t>(top() + row_);
      const auto count = static_cast<std::ptrdiff_t>(std::min(std::max(n, 1u), height_ - row_));
      rows_.erase(first, first + count);
      rows_.insert(rows_.end(), static_cast<std::size_t>(count), Row{});
      break;
    }
    case 'm':
      break;
    default:
      ++unknown_;
  }
}

void ScreenModel::print(std::string_view point) {
  if (wrap_next_) {
    row(row_).wrapped = true;
    line_feed();
    column_ = 0;
    wrap_next_ = false;
  }
  Row& current = row(row_);
  if (current.cells.size() <= column_) {
    current.cells.resize(column_ + 1);
  }
  current.cells[column_] = std::string(point);
  if (column_ + 1 == width_) {
    wrap_next_ = true;
  } else {
    ++column_;
  }
}

void ScreenModel::line_feed() {
  if (row_ + 1 == height_) {
    rows_.emplace_back();  // the top row goes into the history
  } else {
    ++row_;
  }
}

void ScreenModel::resize(unsigned columns, unsigned rows) {
  // The lines as written, and where in them the cursor is.
  std::vector<std::vector<std::string>> lines(1);
  std::size_t cursor_line = 0;
  std::size_t cursor_offset = 0;
  const std::size_t cursor_at = top() + row_;
  for (std::size_t r = 0; r < rows_.size(); ++r) {
    std::vector<std::string> cells = rows_[r].cells;
    if (rows_[r].wrapped) {
      cells.resize(width_);
    }
    if (r == cursor_at) {
      cursor_line = lines.size() - 1;
      cursor_offset = lines.back().size() + column_;
    }
    lines.back().insert(lines.back().end(), cells.begin(), cells.end());
    if (!rows_[r].wrapped && r + 1 < rows_.size()) {
      lines.emplace_back();
    }
  }

  std::vector<Row> rewrapped;
  for (std::size_t l = 0; l < lines.size(); ++l) {
    const std::vector<std::string>& cells = lines[l];
    std::size_t needed = std::max<std::size_t>(1, (cells.size() + columns - 1) / columns);
    if (l == cursor_line) {
      needed = std::max(needed, cursor_offset / columns + 1);
      row_ = static_cast<unsigned>(rewrapped.size() + cursor_offset / columns);
      column_ = static_cast<unsigned>(cursor_offset % columns);
    }
    for (std::size_t part = 0; part < needed; ++part) {
      Row row;
      const std::size_t begin = std::min(cells.size(), part * columns);
      const std::size_t end = std::min(cells.size(), begin + columns);
      row.cells.assign(cells.begin() + static_cast<std::ptrdiff_t>(begin),
                       cells.begin() + static_cast<std::ptrdiff_t>(end));
      row.wrapped = part + 1 < needed && end < cells.size();
      rewrapped.push_back(std::move(row));
    }
  }
  // Blank rows below the cursor go; the screen then shows the cursor's row
  // last, or starts at the first row when there are too few.
  while (rewrapped.size() > row_ + 1 && rewrapped.back().cells.empty()) {
    rewrapped.pop_back();
  }
  const unsigned cursor_at_row = row_;
  if (rewrapped.size() < rows) {
    rewrapped.resize(rows);
  }
  rows_ = std::move(rewrapped);
  width_ = columns;
  height_ = rows;
  row_ = static_cast<unsigned>(cursor_at_row - top());
  wrap_next_ = false;
}

std::string ScreenModel::text(const Row& row) {
  std::string out;
  for (const std::string& cell : row.cells) {
    out += cell.empty() ? " " : cell;
  }
  while (!out.empty() && out.back() == ' ') {
    out.pop_back();
  }
  return out;
}

std::vector<std::string> ScreenModel::screen() const {
  std::vector<std::string> out;
  for (std::size_t r = top(); r < rows_.size(); ++r) {
    out.push_back(text(rows_[r]));
  }
  return out;
}

std::vector<std::string> ScreenModel::history() const {
  std::vector<std::string> out;
  for (std::size_t r = 0; r < top(); ++r) {
    out.push_back(text(rows_[r]));
  }
  return out;
}

}  // namespace ostrevane::test
