#include "testsupport/memory_registry.hpp"

#include <algorithm>

namespace ostrevane::test {
namespace {

using platform::RegistryError;

std::u16string folded(std::u16string_view text) {
  std::u16string out(text);
  std::ranges::transform(out, out.begin(), [](char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  });
  return out;
}

}  // namespace

void MemoryRegistry::add_key(platform::RegistryRoot root, std::u16string_view path) {
  const std::u16string key = folded(path);
  for (std::size_t end = key.find(u'\\'); end != std::u16string::npos;
       end = key.find(u'\\', end + 1)) {
    keys_[{root, key.substr(0, end)}];
  }
  keys_[{root, key}];
}

void MemoryRegistry::set_value(platform::RegistryRoot root, std::u16string_view path,
                               std::u16string_view name, std::uint32_t type,
                               std::vector<std::byte> data) {
  add_key(root, path);
  keys_[{root, folded(path)}][folded(name)] = Value{type, std::move(data)};
}

void MemoryRegistry::fail(Op op, platform::RegistryRoot root, std::u16string_view path,
                          std::error_code error) {
  failures_[{op, KeyId{root, folded(path)}}] = error;
}

std::error_code MemoryRegistry::injected(Op op, const KeyId& id) const {
  const auto failure = failures_.find({op, id});
  return failure == failures_.end() ? std::error_code{} : failure->second;
}

std::expected<platform::RegistryKey, std::error_code> MemoryRegistry::open_key(
    platform::RegistryRoot root, const std::u16string& subkey) {
  calls_.push_back({Op::Open, root, subkey, {}});
  const KeyId id{root, folded(subkey)};
  if (const std::error_code error = injected(Op::Open, id)) {
    return std::unexpected(error);
  }
  if (!keys_.contains(id)) {
    return std::unexpected(make_error_code(RegistryError::FileNotFound));
  }
  const auto key = static_cast<platform::RegistryKey>(next_key_++);
  open_.emplace(key, OpenKey{id, subkey});
  return key;
}

std::expected<const MemoryRegistry::Value*, std::error_code> MemoryRegistry::find_value(
    Op op, platform::RegistryKey key, const std::u16string& name) {
  const auto open = open_.find(key);
  if (open == open_.end()) {
    calls_.push_back({op, platform::RegistryRoot::LocalMachine, {}, name});
    return std::unexpected(make_error_code(RegistryError::InvalidHandle));
  }
  calls_.push_back({op, std::get<0>(open->second.id), open->second.path, name});
  if (const std::error_code error = injected(op, open->second.id)) {
    return std::unexpected(error);
  }
  const auto& values = keys_.at(open->second.id);
  const auto value = values.find(folded(name));
  if (value == values.end()) {
    return std::unexpected(make_error_code(RegistryError::FileNotFound));
  }
  return &value->second;
}

std::expected<platform::RegistryValueInfo, std::error_code> MemoryRegistry::query_value(
    platform::RegistryKey key, const std::u16string& name) {
  const auto value = find_value(Op::Query, key, name);
  if (!value) {
    return std::unexpected(value.error());
  }
  return platform::RegistryValueInfo{(*value)->type, (*value)->data.size()};
}

std::expected<platform::RegistryValueInfo, std::error_code> MemoryRegistry::read_value(
    platform::RegistryKey key, const std::u16string& name, std::span<std::byte> buffer) {
  if (before_read_) {
    before_read_();
  }
  const auto value = find_value(Op::Read, key, name);
  if (!value) {
    return std::unexpected(value.error());
  }
  const std::vector<std::byte>& data = (*value)->data;
  if (buffer.size() < data.size()) {
    return std::unexpected(make_error_code(RegistryError::MoreData));
  }
  std::ranges::copy(data, buffer.begin());
  return platform::RegistryValueInfo{(*value)->type, data.size()};
}

std::error_code MemoryRegistry::close_key(platform::RegistryKey key) {
  const auto open = open_.find(key);
  if (open == open_.end()) {
    calls_.push_back({Op::Close, platform::RegistryRoot::LocalMachine, {}, {}});
    return RegistryError::InvalidHandle;
  }
  calls_.push_back({Op::Close, std::get<0>(open->second.id), open->second.path, {}});
  open_.erase(open);
  return {};
}

std::vector<std::byte> utf16_bytes(std::u16string_view text) {
  std::vector<std::byte> data;
  for (const char16_t unit : text) {
    data.push_back(static_cast<std::byte>(unit & 0xFF));
    data.push_back(static_cast<std::byte>(unit >> 8));
  }
  return data;
}

std::vector<std::byte> byte_values(std::initializer_list<int> values) {
  std::vector<std::byte> data;
  for (const int value : values) {
    data.push_back(static_cast<std::byte>(value));
  }
  return data;
}

}  // namespace ostrevane::test
