// The settings codec: JSON text of one value or of a whole suite. Parsing goes through
// nlohmann-json's SAX interface so that values are built straight into Objects, values the store
// cannot hold (floats, null) are refused or, in a suite, left out as they are met, and nesting is
// bounded without recursion.
#include "Platform/Foundation/DefaultsCodec.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "Platform/Foundation/NSLog.h"

namespace vrk {

namespace {

// Builds Objects from SAX events. In a suite (Mode::File) a value the store cannot hold costs
// only itself; one value (Mode::Value) must hold nothing the store cannot.
class SettingsBuilder final {
 public:
  using json = nlohmann::json;
  enum class Mode { File, Value };

  // `baseDepth` is the nesting level of the first container the text opens.
  SettingsBuilder(Mode mode, int baseDepth) : mode_(mode), baseDepth_(baseDepth) {}

  // The parsed value, or nullopt with the reason in error().
  std::optional<Object> take() {
    if (!done_) return std::nullopt;
    return std::move(result_);
  }
  const std::string& error() const { return error_; }

  // The top-level keys that lost a value, each with the first reason met, in file order.
  const std::vector<std::pair<std::string, std::string>>& skipped() const { return skipped_; }

  bool null() { return skip("null"); }
  bool boolean(bool v) { return add(Object::numberWithBool(v)); }
  bool number_integer(json::number_integer_t v) { return add(Object::numberWithInteger(v)); }
  bool number_unsigned(json::number_unsigned_t v) {
    if (v > static_cast<json::number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
      return skip(kOutOfRange);
    }
    return add(Object::numberWithInteger(static_cast<std::int64_t>(v)));
  }
  bool number_float(json::number_float_t, const json::string_t& text) {
    // The lexer hands over integers too large for 64 bits as floats; their text tells them apart.
    const bool integral = text.find_first_of(".eE") == json::string_t::npos;
    return skip(integral ? kOutOfRange : "a floating-point number");
  }
  bool string(json::string_t& s) {
    // The lexer already refuses ill-formed UTF-8; checking again costs little and keeps the
    // promise independent of the library's version.
    if (!IsValidUTF8(s)) return fail("a string is not UTF-8");
    return add(Object(std::move(s)));
  }
  bool binary(json::binary_t&) { return fail("binary values are not supported"); }

  bool start_object(std::size_t) { return open(true); }
  bool key(json::string_t& k) {
    if (!IsValidUTF8(k)) return fail("a key is not UTF-8");
    if (frames_.size() == 1) topKey_ = k;
    frames_.back().key = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(false); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) {
    // The token text may be binary junk, so only the position goes to the log.
    return fail("syntax error at byte " + std::to_string(position));
  }

 private:
  struct Frame {
    bool isObject;
    ObjectDictionary dictionary;
    ObjectArray array;
    std::string key;
  };

  bool fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return false;
  }

  static constexpr char kOutOfRange[] = "an integer outside the signed 64-bit range";

  // A value the store cannot hold. One value fails as a whole; in a suite it is left out, so
  // that it costs that value only: a key of the top level loses its entry, an array or
  // dictionary further down the one element.
  bool skip(const char* what) {
    if (mode_ == Mode::Value) return fail(std::string(what) + " cannot be stored");
    if (frames_.empty()) return fail("the top level is not an object");
    const bool known = std::any_of(skipped_.begin(), skipped_.end(),
                                   [&](const auto& entry) { return entry.first == topKey_; });
    if (!known) skipped_.emplace_back(topKey_, what);
    return true;
  }

  bool open(bool isObject) {
    if (frames_.empty() && mode_ != Mode::Value && !isObject) {
      return fail("the top level is not an object");
    }
    if (baseDepth_ + static_cast<int>(frames_.size()) > kMaxSettingsDepth) {
      return fail("nesting is deeper than " + std::to_string(kMaxSettingsDepth));
    }
    frames_.push_back(Frame{isObject, {}, {}, {}});
    return true;
  }

  bool close() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    return add(frame.isObject ? Object(std::move(frame.dictionary))
                              : Object(std::move(frame.array)));
  }

  bool add(Object value) {
    if (frames_.empty()) {
      if (mode_ != Mode::Value && !value.isDictionary()) {
        return fail("the top level is not an object");
      }
      result_ = std::move(value);
      done_ = true;
      return true;
    }
    Frame& top = frames_.back();
    if (top.isObject) {
      // A repeated key keeps its last value, as most JSON readers do.
      top.dictionary.insert_or_assign(std::move(top.key), std::move(value));
    } else {
      top.array.push_back(std::move(value));
    }
    return true;
  }

  const Mode mode_;
  const int baseDepth_;
  std::vector<Frame> frames_;
  std::string topKey_;
  std::vector<std::pair<std::string, std::string>> skipped_;
  Object result_;
  bool done_ = false;
  std::string error_;
};

std::optional<Object> Parse(std::string_view text, SettingsBuilder::Mode mode, int baseDepth,
                            std::string_view what,
                            std::vector<std::string>* skippedKeys = nullptr) {
  if (text.empty()) {
    NSLog("[NSUserDefaults] cannot read %s: it is empty", what);
    return std::nullopt;
  }
  // The JSON lexer takes a NUL byte for the end of its input, which would accept whatever
  // document precedes one and ignore the rest. JSON text never holds a raw NUL.
  if (const void* nul = std::memchr(text.data(), 0, text.size())) {
    NSLog("[NSUserDefaults] cannot read %s: a NUL byte at byte %d", what,
          static_cast<int>(static_cast<const char*>(nul) - text.data()));
    return std::nullopt;
  }
  SettingsBuilder builder(mode, baseDepth);
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &builder);
  } catch (const nlohmann::json::exception& e) {
    NSLog("[NSUserDefaults] cannot read %s: %s", what, e.what());
    return std::nullopt;
  }
  std::optional<Object> result = builder.take();
  if (!parsed || !result) {
    NSLog("[NSUserDefaults] cannot read %s: %s", what,
          builder.error().empty() ? std::string("not a JSON value") : builder.error());
    return std::nullopt;
  }
  for (const auto& [key, reason] : builder.skipped()) {
    NSLog("[NSUserDefaults] %s: left out %s under the key \"%s\"; the store cannot hold it", what,
          reason, key);
    if (skippedKeys) skippedKeys->push_back(key);
  }
  return result;
}

// Writes JSON text, indented (the suite form) or compact (one row).
class JsonWriter final {
 public:
  JsonWriter(bool pretty, std::size_t limit) : pretty_(pretty), limit_(limit) {}

  std::string& out() { return out_; }
  bool full() const { return out_.size() > limit_; }

  // Appends `value`; `depth` is the nesting level of the container it would open. False when
  // the value, or anything in it, cannot be stored; the caller then drops what was appended.
  bool value(const Object& value, int depth) {
    if (full()) return false;
    switch (value.kind()) {
      case Object::Kind::String:
        return string(*value.string());
      case Object::Kind::Number:
        if (value.numberType() == Object::NumberType::Bool) {
          out_ += value.boolValue() ? "true" : "false";
        } else {
          char digits[24];
          auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value.integerValue());
          out_.append(digits, end);
        }
        return true;
      case Object::Kind::Array: {
        if (depth > kMaxSettingsDepth) return false;
        const ObjectArray& items = *value.array();
        if (items.empty()) {
          out_ += "[]";
          return true;
        }
        out_ += '[';
        for (std::size_t i = 0; i < items.size(); ++i) {
          if (i > 0) out_ += ',';
          newline(depth);
          if (!this->value(items[i], depth + 1)) return false;
        }
        newline(depth - 1);
        out_ += ']';
        return true;
      }
      case Object::Kind::Dictionary:
        if (depth > kMaxSettingsDepth) return false;
        return dictionary(*value.dictionary(), depth, false);
      default:
        return false;
    }
  }

  // With `skipBadEntries` an entry that cannot be stored is left out; otherwise it fails the
  // whole dictionary, as a bad value fails whatever holds it.
  bool dictionary(const ObjectDictionary& values, int depth, bool skipBadEntries) {
    const std::size_t start = out_.size();
    bool first = true;
    for (const auto& [key, value] : values) {
      const std::size_t mark = out_.size();
      out_ += first ? "{" : ",";
      newline(depth);
      bool ok = string(key);
      if (ok) {
        out_ += pretty_ ? ": " : ":";
        ok = this->value(value, depth + 1);
      }
      if (!ok) {
        if (!skipBadEntries) return false;
        out_.resize(mark);
        continue;
      }
      first = false;
    }
    if (first) {
      out_.resize(start);
      out_ += "{}";
      return true;
    }
    newline(depth - 1);
    out_ += '}';
    return true;
  }

 private:
  void newline(int depth) {
    if (!pretty_) return;
    out_ += '\n';
    out_.append(static_cast<std::size_t>(depth) * 2, ' ');
  }

  // Appends `s` as a JSON string; false (and nothing useful appended) when it is not UTF-8.
  bool string(std::string_view s) {
    if (!IsValidUTF8(s)) return false;
    static constexpr char kHex[] = "0123456789abcdef";
    out_ += '"';
    // Copy runs of bytes that need no escape in one go; paths rarely hold any that do.
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      out_.append(s.data() + run, i - run);
      run = i + 1;
      switch (c) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        default:
          out_ += "\\u00";
          out_ += kHex[c >> 4];
          out_ += kHex[c & 0xF];
      }
    }
    out_.append(s.data() + run, s.size() - run);
    out_ += '"';
    return !full();
  }

  std::string out_;
  const bool pretty_;
  const std::size_t limit_;
};

// The size of `value` without building its text: strings count their bytes, which the text
// can only exceed. Stops early once past `limit`.
std::size_t RoughSize(const Object& value, std::size_t limit) {
  switch (value.kind()) {
    case Object::Kind::String:
      return value.string()->size();
    case Object::Kind::Array: {
      std::size_t total = 0;
      for (const Object& item : *value.array()) {
        total += 1 + RoughSize(item, limit);
        if (total > limit) break;
      }
      return total;
    }
    case Object::Kind::Dictionary: {
      std::size_t total = 0;
      for (const auto& [key, item] : *value.dictionary()) {
        total += key.size() + 3 + RoughSize(item, limit);
        if (total > limit) break;
      }
      return total;
    }
    default:
      return 1;
  }
}

}  // namespace

std::optional<ObjectDictionary> ParseSettingsFile(std::span<const std::byte> bytes,
                                                  std::string_view what,
                                                  std::vector<std::string>* skippedKeys) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::optional<Object> parsed = Parse(text, SettingsBuilder::Mode::File, 1, what, skippedKeys);
  if (!parsed) return std::nullopt;
  return *parsed->dictionary();
}

std::string SerializeSettings(const ObjectDictionary& values) {
  JsonWriter writer(true, std::numeric_limits<std::size_t>::max());
  writer.dictionary(values, 1, true);
  writer.out() += '\n';
  return std::move(writer.out());
}

std::optional<std::string> EncodeSettingsValue(const Object& value, int depth) {
  // A string far past the limit is refused before a byte of it is copied.
  if (RoughSize(value, kMaxSettingsValueBytes) > kMaxSettingsValueBytes) return std::nullopt;
  JsonWriter writer(false, kMaxSettingsValueBytes);
  if (!writer.value(value, depth) || writer.full()) return std::nullopt;
  return std::move(writer.out());
}

std::optional<Object> ParseSettingsValue(std::string_view text, int depth, std::string_view what) {
  return Parse(text, SettingsBuilder::Mode::Value, depth, what);
}

bool IsStorableSettingsValue(const Object& value) {
  if (const ObjectDictionary* entries = value.dictionary()) {
    if (kKeyValueDepth > kMaxSettingsDepth) return false;
    for (const auto& [entry, item] : *entries) {
      if (!IsValidUTF8(entry) || !EncodeSettingsValue(item, kEntryValueDepth)) return false;
    }
    return true;
  }
  return EncodeSettingsValue(value, kKeyValueDepth).has_value();
}

}  // namespace vrk
