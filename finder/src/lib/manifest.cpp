#include "finder/src/lib/manifest.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <vector>

namespace ostrevane {
namespace {

enum class FieldType { U32, U64, Text, Manifest, Bundle, Shell, ShellHashes };

struct FieldSpec {
  std::string_view name;
  FieldType type;
};

struct RecordSpec {
  std::string_view name;
  std::span<const FieldSpec> fields;
};

constexpr std::array<FieldSpec, 5> kManifestFields{{{"version", FieldType::U32},
                                                    {"product", FieldType::Text},
                                                    {"release", FieldType::Text},
                                                    {"bundle", FieldType::Bundle},
                                                    {"shell", FieldType::Shell}}};
constexpr std::array<FieldSpec, 3> kBundleFields{
    {{"file", FieldType::Text}, {"sha256", FieldType::Text}, {"size", FieldType::U64}}};
constexpr std::array<FieldSpec, 5> kShellFields{{{"version", FieldType::Text},
                                                 {"minimum", FieldType::Text},
                                                 {"installer", FieldType::Text},
                                                 {"update", FieldType::Text},
                                                 {"sha256", FieldType::ShellHashes}}};
constexpr std::array<FieldSpec, 2> kShellHashesFields{
    {{"installer", FieldType::Text}, {"update", FieldType::Text}}};

const RecordSpec& record_spec(FieldType type) {
  static const RecordSpec kManifest{"Manifest", kManifestFields};
  static const RecordSpec kBundle{"Bundle", kBundleFields};
  static const RecordSpec kShell{"Shell", kShellFields};
  static const RecordSpec kShellHashes{"ShellHashes", kShellHashesFields};
  switch (type) {
    case FieldType::Bundle:
      return kBundle;
    case FieldType::Shell:
      return kShell;
    case FieldType::ShellHashes:
      return kShellHashes;
    default:
      return kManifest;
  }
}

bool is_record(FieldType type) {
  return type == FieldType::Manifest || type == FieldType::Bundle || type == FieldType::Shell ||
         type == FieldType::ShellHashes;
}

// The place one JSON value is stored in; a record's `object` points at the
// record of that type.
struct Slot {
  FieldType type;
  void* object;
};

Slot field_slot(FieldType record, void* object, std::size_t index) {
  switch (record) {
    case FieldType::Bundle: {
      auto* b = static_cast<Bundle*>(object);
      void* fields[] = {&b->file, &b->sha256, &b->size};
      return {kBundleFields[index].type, fields[index]};
    }
    case FieldType::Shell: {
      auto* s = static_cast<Shell*>(object);
      void* fields[] = {&s->version, &s->minimum, &s->installer, &s->update, &s->sha256};
      return {kShellFields[index].type, fields[index]};
    }
    case FieldType::ShellHashes: {
      auto* h = static_cast<ShellHashes*>(object);
      void* fields[] = {&h->installer, &h->update};
      return {kShellHashesFields[index].type, fields[index]};
    }
    default: {
      auto* m = static_cast<Manifest*>(object);
      void* fields[] = {&m->version, &m->product, &m->release, &m->bundle, &m->shell};
      return {kManifestFields[index].type, fields[index]};
    }
  }
}

std::string expected_text(FieldType type) {
  switch (type) {
    case FieldType::U32:
      return "u32";
    case FieldType::U64:
      return "u64";
    case FieldType::Text:
      return "a string";
    default:
      return "struct " + std::string(record_spec(type).name);
  }
}

std::string expected_fields(const RecordSpec& spec) {
  if (spec.fields.size() == 2) {
    return "`" + std::string(spec.fields[0].name) + "` or `" + std::string(spec.fields[1].name) +
           "`";
  }
  std::string text = "one of ";
  for (std::size_t i = 0; i < spec.fields.size(); ++i) {
    text += (i == 0 ? "`" : ", `") + std::string(spec.fields[i].name) + "`";
  }
  return text;
}

std::string describe_string(const std::string& value) {
  std::string text = "string \"";
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      text += '\\';
      text += static_cast<char>(c);
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else if (c == '\t') {
      text += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      text += "\\u{";
      if (c >= 0x10) {
        text += kHex[c >> 4];
      }
      text += kHex[c & 0x0f];
      text += '}';
    } else {
      text += static_cast<char>(c);
    }
  }
  return text + "\"";
}

std::string describe_float(double value) {
  std::array<char, 64> buffer{};
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  std::string text(buffer.data(), ec == std::errc{} ? end : buffer.data());
  if (text.find_first_of(".en") == std::string::npos) {
    text += ".0";
  }
  return "floating point `" + text + "`";
}

// A number token without fraction or exponent is an integer, even when it is
// too large for the library's integer types and arrives as a float.
bool is_integer_literal(std::string_view token) {
  return !token.empty() && token.find_first_of(".eE") == std::string_view::npos;
}

// How far the JSON lexer has read, and whether it has looked for a byte past
// the last one: it takes a NUL byte for the end of its input too.
struct ReadProgress {
  std::size_t read = 0;
  bool reached_end = false;
};

// Counts how far the JSON lexer has read, so that errors raised by the handler
// (which the library reports without a position) carry one too.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, const char* begin, ReadProgress* progress)
      : at_(at), begin_(begin), progress_(progress) {}

  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    progress_->read = static_cast<std::size_t>(at_ - begin_);
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  // The lexer compares with the end before each byte it takes.
  bool operator==(const CountingIterator& other) const {
    const bool equal = at_ == other.at_;
    progress_->reached_end = progress_->reached_end || equal;
    return equal;
  }

 private:
  const char* at_;
  const char* begin_;
  ReadProgress* progress_;
};

struct Frame {
  FieldType type;
  void* object;
  bool array;
  unsigned seen = 0;        // object form: bit i set once field i's key appeared
  std::size_t count = 0;    // array form: elements read so far
  std::size_t pending = 0;  // object form: the field whose value comes next
};

class ManifestHandler {
 public:
  using number_integer_t = std::int64_t;
  using number_unsigned_t = std::uint64_t;
  using number_float_t = double;
  using string_t = std::string;
  using binary_t = nlohmann::json::binary_t;

  ManifestHandler(std::string_view bytes, const ReadProgress* progress)
      : bytes_(bytes), progress_(progress) {
    stack_.reserve(3);
  }

  bool null() { return fail_type("null"); }
  bool boolean(bool value) { return fail_type(value ? "boolean `true`" : "boolean `false`"); }
  bool number_integer(std::int64_t value) {
    if (value >= 0) {
      return number_unsigned(static_cast<std::uint64_t>(value));
    }
    return integer(std::to_string(value), std::nullopt);
  }
  bool number_unsigned(std::uint64_t value) { return integer(std::to_string(value), value); }
  bool number_float(double value, const std::string& token) {
    if (is_integer_literal(token)) {
      return integer(token, std::nullopt);
    }
    return fail_type(describe_float(value));
  }
  bool string(std::string& value) {
    auto slot = next_slot();
    if (!slot) {
      return false;
    }
    if (slot->type != FieldType::Text) {
      return fail_type(describe_string(value));
    }
    *static_cast<std::string*>(slot->object) = std::move(value);
    return value_done();
  }
  bool binary(binary_t&) { return fail_type("byte array"); }

  bool start_object(std::size_t) { return start_record(false, "map"); }
  bool start_array(std::size_t) { return start_record(true, "sequence"); }

  bool key(std::string& name) {
    Frame& frame = stack_.back();
    const RecordSpec& spec = record_spec(frame.type);
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
      if (spec.fields[i].name == name) {
        if (frame.seen & (1u << i)) {
          return fail("duplicate field `" + name + "`");
        }
        frame.seen |= 1u << i;
        frame.pending = i;
        return true;
      }
    }
    return fail("unknown field `" + name + "`, expected " + expected_fields(spec));
  }

  bool end_object() {
    const Frame& frame = stack_.back();
    const RecordSpec& spec = record_spec(frame.type);
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
      if (!(frame.seen & (1u << i))) {
        return fail("missing field `" + std::string(spec.fields[i].name) + "`");
      }
    }
    return end_record();
  }

  bool end_array() {
    const Frame& frame = stack_.back();
    const RecordSpec& spec = record_spec(frame.type);
    if (frame.count < spec.fields.size()) {
      return fail("invalid length " + std::to_string(frame.count) + ", expected struct " +
                  std::string(spec.name) + " with " + std::to_string(spec.fields.size()) +
                  " elements");
    }
    return end_record();
  }

  bool parse_error(std::size_t position, const std::string& token,
                   const nlohmann::detail::exception& ex) {
    // A float beyond double's range is refused by the library before the
    // handler sees it; it is still a number of the wrong type or range.
    if (ex.id == 406 && !done_) {
      return number_float(std::numeric_limits<double>::infinity(), token);
    }
    if (done_) {
      return fail("trailing characters");
    }
    // The lexer counts one read past the input when it met its end.
    if (position > bytes_.size()) {
      if (stack_.empty()) {
        return fail("EOF while parsing a value");
      }
      return fail(stack_.back().array ? "EOF while parsing a list" : "EOF while parsing an object");
    }
    return fail(syntax_text(ex.what()));
  }

  // Called once the library is done: unless it read up to the end of the
  // bytes, what it stopped at follows the value.
  void check_everything_read() {
    if (!error_ && !progress_->reached_end) {
      fail("trailing characters");
    }
  }

  const std::optional<std::string>& error() const { return error_; }
  Manifest& manifest() { return manifest_; }

 private:
  // Returns where the next value goes, or nothing (with the error set) when the
  // value is one too many.
  std::optional<Slot> next_slot() {
    if (stack_.empty()) {
      if (done_) {
        fail("trailing characters");
        return std::nullopt;
      }
      return Slot{FieldType::Manifest, &manifest_};
    }
    Frame& frame = stack_.back();
    if (!frame.array) {
      return field_slot(frame.type, frame.object, frame.pending);
    }
    if (frame.count >= record_spec(frame.type).fields.size()) {
      fail("trailing characters");
      return std::nullopt;
    }
    return field_slot(frame.type, frame.object, frame.count);
  }

  bool value_done() {
    if (stack_.empty()) {
      done_ = true;
    } else if (stack_.back().array) {
      ++stack_.back().count;
    }
    return true;
  }

  bool integer(const std::string& text, std::optional<std::uint64_t> value) {
    auto slot = next_slot();
    if (!slot) {
      return false;
    }
    std::string found = "integer `" + text + "`";
    if (slot->type == FieldType::U32) {
      if (!value || *value > std::numeric_limits<std::uint32_t>::max()) {
        return fail("invalid value: " + found + ", expected u32");
      }
      *static_cast<std::uint32_t*>(slot->object) = static_cast<std::uint32_t>(*value);
      return value_done();
    }
    if (slot->type == FieldType::U64) {
      if (!value) {
        return fail("invalid value: " + found + ", expected u64");
      }
      *static_cast<std::uint64_t*>(slot->object) = *value;
      return value_done();
    }
    return fail("invalid type: " + found + ", expected " + expected_text(slot->type));
  }

  bool fail_type(const std::string& found) {
    auto slot = next_slot();
    if (!slot) {
      return false;
    }
    return fail("invalid type: " + found + ", expected " + expected_text(slot->type));
  }

  bool start_record(bool array, const char* found) {
    auto slot = next_slot();
    if (!slot) {
      return false;
    }
    if (!is_record(slot->type)) {
      return fail("invalid type: " + std::string(found) + ", expected " +
                  expected_text(slot->type));
    }
    stack_.push_back(Frame{slot->type, slot->object, array});
    return true;
  }

  bool end_record() {
    stack_.pop_back();
    return value_done();
  }

  // The library's wording without its own prefix and position, and without the
  // raw token it quotes, which may be any bytes at all.
  static std::string syntax_text(std::string_view what) {
    if (auto at = what.find(": "); at != std::string_view::npos) {
      what.remove_prefix(at + 2);
    }
    auto last_read = what.find("; last read: '");
    if (last_read == std::string_view::npos) {
      return std::string(what);
    }
    std::string text(what.substr(0, last_read));
    auto tail = what.rfind("; expected ");
    if (tail != std::string_view::npos && tail > last_read) {
      std::string_view expected = what.substr(tail + 11);
      for (std::string_view known :
           {"'[', '{', or a literal", "string literal", "':'", "']'", "'}'", "end of input"}) {
        if (expected == known) {
          text += what.substr(tail);
        }
      }
    }
    return text;
  }

  bool fail(std::string text) {
    std::size_t read = std::min(progress_->read, bytes_.size());
    std::string_view seen = bytes_.substr(0, read);
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < seen.size(); ++i) {
      if (seen[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    error_ = std::move(text) + " at line " + std::to_string(line) + " column " +
             std::to_string(read - line_start);
    return false;
  }

  std::string_view bytes_;
  const ReadProgress* progress_;
  std::vector<Frame> stack_;
  Manifest manifest_;
  bool done_ = false;
  std::optional<std::string> error_;
};

}  // namespace

std::expected<Manifest, std::string> parse_manifest(std::string_view bytes) {
  ReadProgress progress;
  ManifestHandler handler(bytes, &progress);
  // The library would skip a byte-order mark; a manifest is JSON text only.
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    return std::unexpected("expected value at line 1 column 1");
  }
  CountingIterator first(bytes.data(), bytes.data(), &progress);
  CountingIterator last(bytes.data() + bytes.size(), bytes.data(), &progress);
  nlohmann::json::sax_parse(first, last, &handler);
  handler.check_everything_read();
  // Every way the parse can stop early goes through the handler, which keeps
  // the error.
  if (handler.error()) {
    return std::unexpected(*handler.error());
  }
  return std::move(handler.manifest());
}

}  // namespace ostrevane
