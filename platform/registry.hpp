#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <system_error>
#include <type_traits>

namespace ostrevane::platform {

// The two roots that the program reads: the machine's keys and the current user's.
enum class RegistryRoot { LocalMachine, CurrentUser };

// Value types, numbered as the registry numbers them.
inline constexpr std::uint32_t REG_TYPE_SZ = 1;
inline constexpr std::uint32_t REG_TYPE_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_TYPE_BINARY = 3;
inline constexpr std::uint32_t REG_TYPE_DWORD = 4;
inline constexpr std::uint32_t REG_TYPE_MULTI_SZ = 7;

// Failures of registry calls, numbered as the system error codes they stand for.
enum class RegistryError {
  FileNotFound = 2,   // no such key or value
  AccessDenied = 5,   // the key or its store cannot be read
  InvalidHandle = 6,  // a key that is not open
  MoreData = 234,     // the buffer is smaller than the value's data
};

// Returns the category of RegistryError codes; its messages are English sentences.
const std::error_category& registry_category();

// Returns `error` as an error code of registry_category().
std::error_code make_error_code(RegistryError error);

// An open key; valid from open_key() until close_key().
enum class RegistryKey : std::uintptr_t {};

// What a value is: its type and the size of its data in bytes.
struct RegistryValueInfo {
  std::uint32_t type = 0;
  std::size_t size = 0;

  bool operator==(const RegistryValueInfo&) const = default;
};

// Read access to a registry. Key paths separate their components with
// backslashes and, like value names, compare without regard to ASCII case.
// String data are the stored UTF-16LE bytes, terminating NULs included.
class Registry {
 public:
  virtual ~Registry() = default;

  // Opens `subkey` below `root` for reading. Returns the key, or FileNotFound
  // when it does not exist, AccessDenied when it cannot be read.
  [[nodiscard]] virtual std::expected<RegistryKey, std::error_code> open_key(
      RegistryRoot root, const std::u16string& subkey) = 0;

  // Returns the type and data size of the value `name` of `key`, or
  // FileNotFound when the key has no such value, InvalidHandle for a key not open.
  [[nodiscard]] virtual std::expected<RegistryValueInfo, std::error_code> query_value(
      RegistryKey key, const std::u16string& name) = 0;

  // Copies the data of value `name` to the start of `buffer` and returns its
  // type and size; MoreData, with the buffer untouched, when the buffer is smaller.
  [[nodiscard]] virtual std::expected<RegistryValueInfo, std::error_code> read_value(
      RegistryKey key, const std::u16string& name, std::span<std::byte> buffer) = 0;

  // Closes `key`. Returns InvalidHandle for a key that is not open.
  virtual std::error_code close_key(RegistryKey key) = 0;
};

// Returns the system's registry, shared by the whole process and safe to use
// from any thread. On Windows keys open with KEY_READ and no view flag (the
// 32-bit view is the WOW6432Node path). Here it reads Wine's registry files
// below $WINEPREFIX (default ~/.wine): system.reg for the machine root,
// user.reg for the user's, as they stand when a key is opened.
Registry& system_registry();

}  // namespace ostrevane::platform

template <>
struct std::is_error_code_enum<ostrevane::platform::RegistryError> : std::true_type {};
