#include "platform/registry.hpp"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace ostrevane::platform {
namespace {

// Wine keeps each root of the registry in one text file: a line
// "[Key\\Path] timestamp" opens a key, and lines `"name"=data` or `@=data`
// (the unnamed value) below it give its values. Data are "text" (REG_SZ),
// str(T):"text", dword:XXXXXXXX, hex:bytes (REG_BINARY) or hex(T):bytes, T
// being the type in hexadecimal; byte lists continue over lines ending in a
// backslash. Texts use C-like escapes, \xNNNN giving one UTF-16 code unit.

struct StoredValue {
  std::u16string name;
  std::uint32_t type = 0;
  std::vector<std::byte> data;
};

using Components = std::vector<std::u16string>;

char16_t fold(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool same_name(std::u16string_view a, std::u16string_view b) {
  return std::ranges::equal(a, b, [](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

// Splits a key path at its backslashes; nullopt when a component is empty.
std::optional<Components> split_path(std::u16string_view path) {
  Components parts;
  if (path.empty()) {
    return parts;
  }
  while (true) {
    const std::size_t end = path.find(u'\\');
    const std::u16string_view part = path.substr(0, end);
    if (part.empty()) {
      return std::nullopt;
    }
    parts.emplace_back(part);
    if (end == std::u16string_view::npos) {
      return parts;
    }
    path.remove_prefix(end + 1);
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Reads up to `max_digits` digits of base 8 or 16 from the front of `s`.
std::optional<std::uint32_t> take_number(std::string_view& s, int base, std::size_t max_digits) {
  std::uint32_t value = 0;
  std::size_t n = 0;
  while (n < max_digits && n < s.size()) {
    const int d = hex_digit(s[n]);
    if (d < 0 || d >= base) {
      break;
    }
    value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
    ++n;
  }
  if (n == 0) {
    return std::nullopt;
  }
  s.remove_prefix(n);
  return value;
}

void append_code_point(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Takes one UTF-8 character from the front of `s`; a byte that does not start
// a well-formed sequence becomes U+FFFD.
char32_t take_utf8(std::string_view& s) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t n = 0;
  char32_t cp = 0;
  if (b0 < 0x80) {
    n = 1;
    cp = b0;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    cp = b0 & 0x07;
  }
  bool ok = n != 0 && s.size() >= n;
  for (std::size_t i = 1; ok && i < n; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    ok = (b & 0xC0) == 0x80;
    cp = (cp << 6) | (b & 0x3F);
  }
  const char32_t min = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
  ok = ok && (n == 1 || cp >= min) && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
  if (!ok) {
    s.remove_prefix(1);
    return 0xFFFD;
  }
  s.remove_prefix(n);
  return cp;
}

// Decodes the escaped text at the front of `s` up to the unescaped `close`
// and removes it, the closing character included; nullopt when it is missing.
std::optional<std::u16string> take_text(std::string_view& s, char close) {
  std::u16string out;
  while (!s.empty()) {
    const char c = s[0];
    if (c == close) {
      s.remove_prefix(1);
      return out;
    }
    if (c != '\\') {
      append_code_point(out, take_utf8(s));
      continue;
    }
    s.remove_prefix(1);
    if (s.empty()) {
      break;
    }
    const char e = s[0];
    if (e == 'x') {
      s.remove_prefix(1);
      const auto unit = take_number(s, 16, 4);
      out.push_back(unit ? static_cast<char16_t>(*unit) : u'x');
      continue;
    }
    if (e >= '0' && e <= '7') {
      out.push_back(static_cast<char16_t>(*take_number(s, 8, 3)));
      continue;
    }
    static constexpr std::string_view kNamed = "abefnrtv";
    static constexpr char16_t kControls[] = {7, 8, 27, 12, 10, 13, 9, 11};
    const std::size_t named = kNamed.find(e);
    out.push_back(named == std::string_view::npos ? static_cast<char16_t>(e) : kControls[named]);
    s.remove_prefix(1);
  }
  return std::nullopt;
}

bool take_prefix(std::string_view& s, std::string_view prefix) {
  if (!s.starts_with(prefix)) {
    return false;
  }
  s.remove_prefix(prefix.size());
  return true;
}

std::vector<std::byte> text_data(std::u16string_view text) {
  std::vector<std::byte> data;
  data.reserve((text.size() + 1) * 2);
  for (const char16_t unit : text) {
    data.push_back(static_cast<std::byte>(unit & 0xFF));
    data.push_back(static_cast<std::byte>(unit >> 8));
  }
  data.push_back(std::byte{0});
  data.push_back(std::byte{0});
  return data;
}

std::optional<std::vector<std::byte>> hex_bytes(std::string_view s) {
  std::vector<std::byte> data;
  const auto skip_blanks = [&s] {
    while (!s.empty() && (s[0] == ' ' || s[0] == '\t')) {
      s.remove_prefix(1);
    }
  };
  skip_blanks();
  while (!s.empty()) {
    const auto byte = take_number(s, 16, 2);
    if (!byte) {
      return std::nullopt;
    }
    data.push_back(static_cast<std::byte>(*byte));
    skip_blanks();
    if (!s.empty() && !take_prefix(s, ",")) {
      return std::nullopt;
    }
    skip_blanks();
  }
  return data;
}

// Parses the data after "=" of a value line; nullopt for a form not known.
std::optional<StoredValue> parse_data(std::string_view s) {
  StoredValue value;
  std::optional<std::uint32_t> type = REG_TYPE_SZ;
  const bool is_hex = s.starts_with("hex(");
  if (take_prefix(s, "str(") || take_prefix(s, "hex(")) {
    type = take_number(s, 16, 8);
    if (!type || !take_prefix(s, is_hex ? "):" : "):\"")) {
      return std::nullopt;
    }
    if (is_hex) {
      auto bytes = hex_bytes(s);
      if (!bytes) {
        return std::nullopt;
      }
      value.data = std::move(*bytes);
      value.type = *type;
      return value;
    }
  } else if (take_prefix(s, "hex:")) {
    auto bytes = hex_bytes(s);
    if (!bytes) {
      return std::nullopt;
    }
    value.data = std::move(*bytes);
    value.type = REG_TYPE_BINARY;
    return value;
  } else if (take_prefix(s, "dword:")) {
    const auto number = take_number(s, 16, 8);
    if (!number || !(s.empty() || s[0] == ' ' || s[0] == '\t')) {
      return std::nullopt;
    }
    for (int shift = 0; shift < 32; shift += 8) {
      value.data.push_back(static_cast<std::byte>((*number >> shift) & 0xFF));
    }
    value.type = REG_TYPE_DWORD;
    return value;
  } else if (!take_prefix(s, "\"")) {
    return std::nullopt;
  }
  const auto text = take_text(s, '"');
  if (!text) {
    return std::nullopt;
  }
  value.data = text_data(*text);
  value.type = *type;
  return value;
}

// Parses a value line; nullopt for a line that is not one.
std::optional<StoredValue> parse_value_line(std::string_view line) {
  std::u16string name;
  if (!take_prefix(line, "@")) {
    if (!take_prefix(line, "\"")) {
      return std::nullopt;
    }
    auto text = take_text(line, '"');
    if (!text) {
      return std::nullopt;
    }
    name = std::move(*text);
  }
  if (!take_prefix(line, "=")) {
    return std::nullopt;
  }
  auto value = parse_data(line);
  if (value) {
    value->name = std::move(name);
  }
  return value;
}

bool starts_with_path(const Components& key, const Components& prefix) {
  return key.size() >= prefix.size() &&
         std::equal(
             prefix.begin(), prefix.end(), key.begin(),
             [](const std::u16string& a, const std::u16string& b) { return same_name(a, b); });
}

// Returns the next line of `text` with the lines that continue it (after a
// final backslash) joined on, without line ends.
std::string next_line(std::string_view& text) {
  std::string line;
  while (true) {
    const std::size_t end = text.find('\n');
    std::string_view part = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (part.ends_with('\r')) {
      part.remove_suffix(1);
    }
    if (!line.empty()) {
      part.remove_prefix(std::min(part.find_first_not_of(" \t"), part.size()));
    }
    line.append(part);
    const bool continued =
        (line.starts_with('"') || line.starts_with('@')) && line.ends_with('\\') && !text.empty();
    if (!continued) {
      return line;
    }
    line.pop_back();
  }
}

// Returns the values of key `path` in the registry file text, or nullopt when
// the file holds neither the key nor any key below it.
std::optional<std::vector<StoredValue>> find_key(std::string_view text, const Components& path) {
  bool exists = path.empty();
  bool inside = false;
  std::vector<StoredValue> values;
  while (!text.empty()) {
    const std::string line = next_line(text);
    std::string_view rest = line;
    if (take_prefix(rest, "[")) {
      const auto name = take_text(rest, ']');
      const auto key = name ? split_path(*name) : std::nullopt;
      inside = key && key->size() == path.size() && starts_with_path(*key, path);
      exists = exists || (key && starts_with_path(*key, path));
      continue;
    }
    if (!inside) {
      continue;
    }
    auto value = parse_value_line(line);
    if (!value) {
      continue;
    }
    const auto same = std::ranges::find_if(
        values, [&](const StoredValue& v) { return same_name(v.name, value->name); });
    if (same != values.end()) {
      *same = std::move(*value);
    } else {
      values.push_back(std::move(*value));
    }
  }
  if (!exists) {
    return std::nullopt;
  }
  return values;
}

std::optional<std::filesystem::path> wine_prefix() {
  const char* prefix = getenv("WINEPREFIX");
  if (prefix != nullptr && *prefix != '\0') {
    return prefix;
  }
  const char* home = getenv("HOME");
  if (home != nullptr && *home != '\0') {
    return std::filesystem::path(home) / ".wine";
  }
  char buffer[4096];
  passwd entry;
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return std::filesystem::path(found->pw_dir) / ".wine";
  }
  return std::nullopt;
}

std::expected<std::string, std::error_code> read_file(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::unexpected(errno == ENOENT || errno == ENOTDIR ? RegistryError::FileNotFound
                                                               : RegistryError::AccessDenied);
  }
  std::string text;
  char chunk[65536];
  while (true) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      close(fd);
      return std::unexpected(make_error_code(RegistryError::AccessDenied));
    }
    if (n == 0) {
      break;
    }
    text.append(chunk, static_cast<std::size_t>(n));
  }
  close(fd);
  return text;
}

// The registry as Wine's files hold it. Opening a key reads its root's file and
// keeps a copy of the key's values until the key is closed.
class WineRegistry final : public Registry {
 public:
  std::expected<RegistryKey, std::error_code> open_key(RegistryRoot root,
                                                       const std::u16string& subkey) override {
    const auto path = split_path(subkey);
    const auto prefix = wine_prefix();
    if (!path || !prefix) {
      return std::unexpected(make_error_code(RegistryError::FileNotFound));
    }
    const auto text =
        read_file(*prefix / (root == RegistryRoot::LocalMachine ? "system.reg" : "user.reg"));
    if (!text) {
      return std::unexpected(text.error());
    }
    auto values = find_key(*text, *path);
    if (!values) {
      return std::unexpected(make_error_code(RegistryError::FileNotFound));
    }
    const std::lock_guard lock(mutex_);
    const auto key = static_cast<RegistryKey>(next_key_++);
    open_.emplace(key, std::move(*values));
    return key;
  }

  std::expected<RegistryValueInfo, std::error_code> query_value(
      RegistryKey key, const std::u16string& name) override {
    const std::lock_guard lock(mutex_);
    const auto value = find_value(key, name);
    if (!value) {
      return std::unexpected(value.error());
    }
    return RegistryValueInfo{(*value)->type, (*value)->data.size()};
  }

  std::expected<RegistryValueInfo, std::error_code> read_value(
      RegistryKey key, const std::u16string& name, std::span<std::byte> buffer) override {
    const std::lock_guard lock(mutex_);
    const auto value = find_value(key, name);
    if (!value) {
      return std::unexpected(value.error());
    }
    const std::vector<std::byte>& data = (*value)->data;
    if (buffer.size() < data.size()) {
      return std::unexpected(make_error_code(RegistryError::MoreData));
    }
    std::ranges::copy(data, buffer.begin());
    return RegistryValueInfo{(*value)->type, data.size()};
  }

  std::error_code close_key(RegistryKey key) override {
    const std::lock_guard lock(mutex_);
    return open_.erase(key) == 1 ? std::error_code{} : RegistryError::InvalidHandle;
  }

 private:
  std::expected<const StoredValue*, std::error_code> find_value(RegistryKey key,
                                                                std::u16string_view name) const {
    const auto open = open_.find(key);
    if (open == open_.end()) {
      return std::unexpected(make_error_code(RegistryError::InvalidHandle));
    }
    const auto value = std::ranges::find_if(
        open->second, [&](const StoredValue& v) { return same_name(v.name, name); });
    if (value == open->second.end()) {
      return std::unexpected(make_error_code(RegistryError::FileNotFound));
    }
    return &*value;
  }

  std::mutex mutex_;
  std::uintptr_t next_key_ = 1;
  std::map<RegistryKey, std::vector<StoredValue>> open_;
};

}  // namespace

Registry& system_registry() {
  static WineRegistry registry;
  return registry;
}

}  // namespace ostrevane::platform
