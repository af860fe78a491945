#pragma once

#include <optional>
#include <string>

namespace ostrevane::test {

// Returns the environment variable `name`, or nullopt when it is not set.
std::optional<std::string> get_env(const std::string& name);

// Sets the environment variable `name` to `value`, or removes it for nullopt;
// on Windows both the C runtime's and the system's copy.
void set_env(const std::string& name, const std::optional<std::string>& value);

// Sets an environment variable (or unsets it, for a null value) for the life
// of the object, then restores what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name), old_(get_env(name_)) {
    set_env(name_, value ? std::optional<std::string>(value) : std::nullopt);
  }
  ~ScopedEnv() { set_env(name_, old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace ostrevane::test
