#include "platform/registry.hpp"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace ostrevane::platform {
namespace {

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using ScopedKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// The registry's own codes that the interface names keep their category;
// any other is the system's error as it stands.
std::error_code registry_error(LSTATUS status) {
  switch (status) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_MORE_DATA:
      return make_error_code(static_cast<RegistryError>(status));
    default:
      return {static_cast<int>(status), std::system_category()};
  }
}

HKEY root_key(RegistryRoot root) {
  return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

HKEY open_handle(RegistryKey key) {
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(key));
}

std::wstring wide(const std::u16string& text) {
  return std::wstring(text.begin(), text.end());
}

class WindowsRegistry final : public Registry {
 public:
  // No view flag: the 32-bit view is read by its own path (WOW6432Node).
  std::expected<RegistryKey, std::error_code> open_key(RegistryRoot root,
                                                       const std::u16string& subkey) override {
    HKEY opened = nullptr;
    const LSTATUS status =
        RegOpenKeyExW(root_key(root), wide(subkey).c_str(), 0, KEY_READ, &opened);
    if (status != ERROR_SUCCESS) {
      return std::unexpected(registry_error(status));
    }
    ScopedKey key(opened);
    return static_cast<RegistryKey>(reinterpret_cast<std::uintptr_t>(key.release()));
  }

  std::expected<RegistryValueInfo, std::error_code> query_value(
      RegistryKey key, const std::u16string& name) override {
    DWORD type = 0;
    DWORD size = 0;
    const LSTATUS status =
        RegQueryValueExW(open_handle(key), wide(name).c_str(), nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
      return std::unexpected(registry_error(status));
    }
    return RegistryValueInfo{static_cast<std::uint32_t>(type), size};
  }

  // The system leaves a buffer that is too small in an undefined state; the
  // data go through a copy so that the caller's buffer stays untouched then.
  std::expected<RegistryValueInfo, std::error_code> read_value(
      RegistryKey key, const std::u16string& name, std::span<std::byte> buffer) override {
    // Without a data pointer the call would only ask for the size, so even an
    // empty buffer gets one.
    std::vector<BYTE> data(std::max<std::size_t>(buffer.size(), 1));
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(buffer.size());
    const LSTATUS status =
        RegQueryValueExW(open_handle(key), wide(name).c_str(), nullptr, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) {
      return std::unexpected(registry_error(status));
    }
    if (size > buffer.size()) {
      return std::unexpected(make_error_code(RegistryError::MoreData));
    }
    std::memcpy(buffer.data(), data.data(), size);
    return RegistryValueInfo{static_cast<std::uint32_t>(type), size};
  }

  std::error_code close_key(RegistryKey key) override {
    const LSTATUS status = RegCloseKey(open_handle(key));
    if (status != ERROR_SUCCESS) {
      return registry_error(status);
    }
    return {};
  }
};

}  // namespace

Registry& system_registry() {
  static WindowsRegistry registry;
  return registry;
}

}  // namespace ostrevane::platform
