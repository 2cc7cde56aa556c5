// The settings file format: one JSON object whose values are strings, integers, booleans,
// arrays and objects. Parsing goes through nlohmann-json's SAX interface so that values are
// built straight into Objects, values the store cannot hold (floats, null) are left out as they
// are met, and nesting is bounded without recursion.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSUserDefaults.h"

namespace vrk {

namespace {

class SettingsBuilder final {
 public:
  using json = nlohmann::json;

  // The parsed dictionary, or nullopt with the reason in error().
  std::optional<ObjectDictionary> take() {
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
    if (error_.empty()) error_ = "syntax error at byte " + std::to_string(position);
    return false;
  }

 private:
  struct Frame {
    bool isObject;
    ObjectDictionary dictionary;
    ObjectArray array;
    std::string key;
  };

  static constexpr char kOutOfRange[] = "an integer outside the signed 64-bit range";

  bool fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return false;
  }

  // Leaves out one value that the store cannot hold, so that it costs that value only: a key
  // of the top level loses its entry, an array or dictionary further down the one element.
  bool skip(const char* what) {
    if (frames_.empty()) return fail("the top level is not an object");
    const bool known = std::any_of(skipped_.begin(), skipped_.end(),
                                   [&](const auto& entry) { return entry.first == topKey_; });
    if (!known) skipped_.emplace_back(topKey_, what);
    return true;
  }

  bool open(bool isObject) {
    if (frames_.empty() && !isObject) return fail("the top level is not an object");
    if (frames_.size() >= static_cast<std::size_t>(kMaxSettingsDepth)) {
      return fail("nesting is deeper than " + std::to_string(kMaxSettingsDepth));
    }
    frames_.push_back(Frame{isObject, {}, {}, {}});
    return true;
  }

  bool close() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frames_.empty()) {
      result_ = std::move(frame.dictionary);
      done_ = true;
      return true;
    }
    return add(frame.isObject ? Object(std::move(frame.dictionary))
                              : Object(std::move(frame.array)));
  }

  bool add(Object value) {
    if (frames_.empty()) return fail("the top level is not an object");
    Frame& top = frames_.back();
    if (top.isObject) {
      // A repeated key keeps its last value, as most JSON readers do.
      top.dictionary.insert_or_assign(std::move(top.key), std::move(value));
    } else {
      top.array.push_back(std::move(value));
    }
    return true;
  }

  std::vector<Frame> frames_;
  std::string topKey_;
  std::vector<std::pair<std::string, std::string>> skipped_;
  ObjectDictionary result_;
  bool done_ = false;
  std::string error_;
};

// `depth` is the nesting level of the container that `value` would open. Mirrors what
// AppendValue accepts, without building the text.
bool Storable(const Object& value, int depth) {
  switch (value.kind()) {
    case Object::Kind::String:
      return IsValidUTF8(*value.string());
    case Object::Kind::Number:
      return true;
    case Object::Kind::Array:
      if (depth > kMaxSettingsDepth) return false;
      for (const Object& item : *value.array()) {
        if (!Storable(item, depth + 1)) return false;
      }
      return true;
    case Object::Kind::Dictionary:
      if (depth > kMaxSettingsDepth) return false;
      for (const auto& [key, item] : *value.dictionary()) {
        if (!IsValidUTF8(key) || !Storable(item, depth + 1)) return false;
      }
      return true;
    default:
      return false;
  }
}

// Appends `s` as a JSON string; false (and nothing useful appended) when it is not UTF-8.
bool AppendString(std::string& out, std::string_view s) {
  if (!IsValidUTF8(s)) return false;
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  // Copy runs of bytes that need no escape in one go; paths rarely hold any that do.
  std::size_t run = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
  return true;
}

void AppendIndent(std::string& out, int depth) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

bool AppendDictionary(std::string& out, const ObjectDictionary& values, int depth,
                      bool skipBadEntries);

// Appends `value`; `depth` is the nesting level of the container it would open. Returns false
// when the value, or anything in it, cannot be stored; the caller then drops what was appended.
bool AppendValue(std::string& out, const Object& value, int depth) {
  switch (value.kind()) {
    case Object::Kind::String:
      return AppendString(out, *value.string());
    case Object::Kind::Number:
      if (value.numberType() == Object::NumberType::Bool) {
        out += value.boolValue() ? "true" : "false";
      } else {
        char digits[24];
        auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value.integerValue());
        out.append(digits, end);
      }
      return true;
    case Object::Kind::Array: {
      if (depth > kMaxSettingsDepth) return false;
      const ObjectArray& items = *value.array();
      if (items.empty()) {
        out += "[]";
        return true;
      }
      out += "[\n";
      for (std::size_t i = 0; i < items.size(); ++i) {
        AppendIndent(out, depth);
        if (!AppendValue(out, items[i], depth + 1)) return false;
        out += i + 1 < items.size() ? ",\n" : "\n";
      }
      AppendIndent(out, depth - 1);
      out += ']';
      return true;
    }
    case Object::Kind::Dictionary:
      if (depth > kMaxSettingsDepth) return false;
      return AppendDictionary(out, *value.dictionary(), depth, false);
    default:
      return false;
  }
}

// With `skipBadEntries` an entry that cannot be stored is left out; otherwise it fails the
// whole dictionary, as a bad value fails whatever holds it.
bool AppendDictionary(std::string& out, const ObjectDictionary& values, int depth,
                      bool skipBadEntries) {
  const std::size_t start = out.size();
  bool first = true;
  for (const auto& [key, value] : values) {
    const std::size_t mark = out.size();
    out += first ? "{\n" : ",\n";
    AppendIndent(out, depth);
    bool ok = AppendString(out, key);
    if (ok) {
      out += ": ";
      ok = AppendValue(out, value, depth + 1);
    }
    if (!ok) {
      if (!skipBadEntries) return false;
      out.resize(mark);
      continue;
    }
    first = false;
  }
  if (first) {
    out.resize(start);
    out += "{}";
    return true;
  }
  out += '\n';
  AppendIndent(out, depth - 1);
  out += '}';
  return true;
}

}  // namespace

std::optional<ObjectDictionary> ParseSettingsFile(std::span<const std::byte> bytes,
                                                  std::string_view what,
                                                  std::vector<std::string>* skippedKeys) {
  if (bytes.empty()) {
    NSLog("[NSUserDefaults] cannot read %s: the file is empty", what);
    return std::nullopt;
  }
  const char* begin = reinterpret_cast<const char*>(bytes.data());
  // The JSON lexer takes a NUL byte for the end of its input, which would accept whatever
  // document precedes one and ignore the rest. JSON text never holds a raw NUL.
  if (const void* nul = std::memchr(begin, 0, bytes.size())) {
    NSLog("[NSUserDefaults] cannot read %s: a NUL byte at byte %d", what,
          static_cast<int>(static_cast<const char*>(nul) - begin));
    return std::nullopt;
  }
  SettingsBuilder builder;
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(begin, begin + bytes.size(), &builder);
  } catch (const nlohmann::json::exception& e) {
    NSLog("[NSUserDefaults] cannot read %s: %s", what, e.what());
    return std::nullopt;
  }
  std::optional<ObjectDictionary> result = builder.take();
  if (!parsed || !result) {
    NSLog("[NSUserDefaults] cannot read %s: %s", what,
          builder.error().empty() ? std::string("not a JSON object") : builder.error());
    return std::nullopt;
  }
  for (const auto& [key, reason] : builder.skipped()) {
    NSLog("[NSUserDefaults] %s: left out %s under the key \"%s\"; the store cannot hold it", what,
          reason, key);
    if (skippedKeys) skippedKeys->push_back(key);
  }
  return result;
}

std::string SerializeSettings(const ObjectDictionary& values) {
  std::string out;
  AppendDictionary(out, values, 1, true);
  out += '\n';
  return out;
}

bool IsStorableSettingsValue(const Object& value) {
  return Storable(value, 2);
}

}  // namespace vrk
