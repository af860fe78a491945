#pragma once

#include <string>

namespace ostrevane::platform {

// Returns the full path of the running program's file (GetModuleFileNameW),
// however long, or an empty text when the system cannot tell it.
std::wstring module_path();

}  // namespace ostrevane::platform
