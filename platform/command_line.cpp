#include "platform/command_line.hpp"

namespace ostrevane::platform {
namespace {

bool is_blank(char16_t c) {
  return c == u' ' || c == u'\t';
}

// Returns the position of the first character after `pos` that is not blank.
std::size_t skip_blanks(std::u16string_view line, std::size_t pos) {
  while (pos < line.size() && is_blank(line[pos])) {
    ++pos;
  }
  return pos;
}

// Reads the program name, in which quotes only toggle and backslashes are
// ordinary, and returns the position after it and its blanks.
std::size_t read_program_name(std::u16string_view line, std::u16string& name) {
  bool quoted = false;
  std::size_t pos = 0;
  for (; pos < line.size(); ++pos) {
    const char16_t c = line[pos];
    if (c == u'"') {
      quoted = !quoted;
    } else if (is_blank(c) && !quoted) {
      break;
    } else {
      name.push_back(c);
    }
  }
  return skip_blanks(line, pos);
}

}  // namespace

std::vector<std::u16string> split_command_line(std::u16string_view line,
                                               std::u16string_view module_path) {
  if (line.empty()) {
    return {std::u16string(module_path)};
  }
  std::vector<std::u16string> args(1);
  std::size_t pos = read_program_name(line, args[0]);

  std::u16string current;
  bool quoted = false;
  while (pos < line.size()) {
    const char16_t c = line[pos];
    if (is_blank(c) && !quoted) {
      // Blanks after the program name and after each argument are skipped, so
      // an empty `current` here is an empty quoted argument, which counts.
      args.push_back(std::move(current));
      current.clear();
      pos = skip_blanks(line, pos);
    } else if (c == u'\\') {
      const std::size_t start = pos;
      pos = line.find_first_not_of(u'\\', pos);
      if (pos == std::u16string_view::npos) {
        pos = line.size();
      }
      const std::size_t run = pos - start;
      if (pos < line.size() && line[pos] == u'"') {
        current.append(run / 2, u'\\');
        if (run % 2 == 1) {
          current.push_back(u'"');
          ++pos;
        }
      } else {
        current.append(run, u'\\');
      }
    } else if (c == u'"' && quoted) {
      if (pos + 1 == line.size()) {
        // A quote closing the last argument keeps it, even when empty.
        args.push_back(std::move(current));
        return args;
      }
      if (line[pos + 1] == u'"') {
        current.push_back(u'"');
        pos += 2;
      } else {
        quoted = false;
        ++pos;
      }
    } else if (c == u'"') {
      quoted = true;
      ++pos;
    } else {
      current.push_back(c);
      ++pos;
    }
  }
  if (!current.empty() || quoted) {
    args.push_back(std::move(current));
  }
  return args;
}

}  // namespace ostrevane::platform
