#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <vector>

#include "platform/registry.hpp"

namespace ostrevane::test {

// A registry held in memory, for tests: it records every call, counts the keys
// left open and can be told to fail a call on a given key.
class MemoryRegistry final : public platform::Registry {
 public:
  enum class Op { Open, Query, Read, Close };

  // One call as the registry saw it; `path` is the key's path, `name` the value's.
  struct Call {
    Op op;
    platform::RegistryRoot root;
    std::u16string path;
    std::u16string name;

    bool operator==(const Call&) const = default;
  };

  // Creates the key `path` and the keys above it.
  void add_key(platform::RegistryRoot root, std::u16string_view path);

  // Stores a value under `path`, creating the key; `data` are the raw bytes.
  void set_value(platform::RegistryRoot root, std::u16string_view path, std::u16string_view name,
                 std::uint32_t type, std::vector<std::byte> data);

  // Makes every later `op` on the key `path` fail with `error`.
  void fail(Op op, platform::RegistryRoot root, std::u16string_view path, std::error_code error);

  // Runs `action` at the start of each read_value(), before the data is looked up.
  void before_read(std::function<void()> action) { before_read_ = std::move(action); }

  // Returns the calls made so far, in order.
  const std::vector<Call>& calls() const { return calls_; }

  // Returns how many keys are open now.
  std::size_t open_keys() const { return open_.size(); }

  std::expected<platform::RegistryKey, std::error_code> open_key(
      platform::RegistryRoot root, const std::u16string& subkey) override;
  std::expected<platform::RegistryValueInfo, std::error_code> query_value(
      platform::RegistryKey key, const std::u16string& name) override;
  std::expected<platform::RegistryValueInfo, std::error_code> read_value(
      platform::RegistryKey key, const std::u16string& name, std::span<std::byte> buffer) override;
  std::error_code close_key(platform::RegistryKey key) override;

 private:
  struct Value {
    std::uint32_t type;
    std::vector<std::byte> data;
  };
  // A key by its root and its path folded to lower case.
  using KeyId = std::tuple<platform::RegistryRoot, std::u16string>;

  struct OpenKey {
    KeyId id;
    std::u16string path;
  };

  std::expected<const Value*, std::error_code> find_value(Op op, platform::RegistryKey key,
                                                          const std::u16string& name);
  std::error_code injected(Op op, const KeyId& id) const;

  std::map<KeyId, std::map<std::u16string, Value>> keys_;
  std::map<std::tuple<Op, KeyId>, std::error_code> failures_;
  std::map<platform::RegistryKey, OpenKey> open_;
  std::uintptr_t next_key_ = 1;
  std::vector<Call> calls_;
  std::function<void()> before_read_;
};

// Returns the UTF-16LE bytes of `text`, adding no terminating NUL.
std::vector<std::byte> utf16_bytes(std::u16string_view text);

// Returns `values` (each 0 to 255) as bytes.
std::vector<std::byte> byte_values(std::initializer_list<int> values);

}  // namespace ostrevane::test
