#include "platform/command_line.hpp"

#include <windows.h>

#include "platform/module_path_win.hpp"
#include "platform/utf16.hpp"

namespace ostrevane::platform {

// The C runtime's argv may be split by older rules and, in its narrow form,
// passes through the ANSI code page: the line itself is the source.
std::vector<std::string> program_arguments(int, char**) {
  const wchar_t* line = GetCommandLineW();
  const std::u16string utf16_line = line ? std::u16string(line, line + wcslen(line)) : u"";
  std::u16string own_path;
  if (utf16_line.empty()) {
    const std::wstring path = module_path();
    own_path.assign(path.begin(), path.end());
  }
  std::vector<std::string> arguments;
  for (const std::u16string& argument : split_command_line(utf16_line, own_path)) {
    arguments.push_back(utf16_to_utf8_lossy(argument));
  }
  return arguments;
}

}  // namespace ostrevane::platform
