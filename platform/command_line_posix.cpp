#include "platform/command_line.hpp"

namespace ostrevane::platform {

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace ostrevane::platform
