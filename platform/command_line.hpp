#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ostrevane::platform {

// Returns the argument list of a Windows command line, split by the rules of
// the Microsoft C runtime (2008 and later), the program name first; an empty
// line gives {module_path}.
std::vector<std::u16string> split_command_line(std::u16string_view line,
                                               std::u16string_view module_path);

// Returns the program's argument list as UTF-8, its own name first: on Windows
// the process's command line split by split_command_line() (the program's own
// path when the line is empty; unpaired surrogates become U+FFFD), here
// `argv` as it stands.
std::vector<std::string> program_arguments(int argc, char** argv);

}  // namespace ostrevane::platform
