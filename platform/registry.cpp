#include "platform/registry.hpp"

namespace ostrevane::platform {
namespace {

class RegistryCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "registry"; }

  std::string message(int code) const override {
    switch (static_cast<RegistryError>(code)) {
      case RegistryError::FileNotFound:
        return "The system cannot find the file specified.";
      case RegistryError::AccessDenied:
        return "Access is denied.";
      case RegistryError::InvalidHandle:
        return "The handle is invalid.";
      case RegistryError::MoreData:
        return "More data is available.";
    }
    return "registry error " + std::to_string(code);
  }
};

}  // namespace

const std::error_category& registry_category() {
  static const RegistryCategory category;
  return category;
}

std::error_code make_error_code(RegistryError error) {
  return {static_cast<int>(error), registry_category()};
}

}  // namespace ostrevane::platform
