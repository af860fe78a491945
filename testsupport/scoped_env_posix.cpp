#include "testsupport/scoped_env.hpp"

#include <stdlib.h>

namespace ostrevane::test {

std::optional<std::string> get_env(const std::string& name) {
  if (const char* value = getenv(name.c_str())) {
    return std::string(value);
  }
  return std::nullopt;
}

void set_env(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

}  // namespace ostrevane::test
