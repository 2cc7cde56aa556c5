#include "Platform/Foundation/Object.h"

#include <cctype>
#include <cstdio>
#include <limits>

namespace vrk {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// A string in a container's description is quoted unless it is a plain word, as the
// property-list text form does.
bool NeedsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    if (!(std::isalnum(c) || c == '_' || c == '.' || c == '/' || c == '$' || c == ':')) return true;
  }
  return false;
}

void AppendQuoted(std::string& out, const std::string& s) {
  out += '"';
  for (char c : s) {
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
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  out += '"';
}

void Indent(std::string& out, int indent) {
  out.append(static_cast<std::size_t>(indent) * 4, ' ');
}

}  // namespace

std::int64_t StringIntegerValue(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  // Accumulate as a negative number so that INT64_MIN is representable.
  std::int64_t value = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    int digit = s[i] - '0';
    if (value < (kMin + digit) / 10) {
      return negative ? kMin : std::numeric_limits<std::int64_t>::max();
    }
    value = value * 10 - digit;
  }
  if (negative) return value;
  return value == kMin ? std::numeric_limits<std::int64_t>::max() : -value;
}

bool StringBoolValue(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  if (i >= s.size()) return false;
  char c = s[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

bool StringHasPrefix(std::string_view s, std::string_view prefix) {
  return !prefix.empty() && s.starts_with(prefix);
}

bool IsValidUTF8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

const ObjectArray* Object::array() const {
  auto p = std::get_if<std::shared_ptr<const ObjectArray>>(&value_);
  return p ? p->get() : nullptr;
}

const ObjectDictionary* Object::dictionary() const {
  auto p = std::get_if<std::shared_ptr<const ObjectDictionary>>(&value_);
  return p ? p->get() : nullptr;
}

const ObjectData* Object::data() const {
  auto p = std::get_if<std::shared_ptr<const ObjectData>>(&value_);
  return p ? p->get() : nullptr;
}

std::optional<Object::NumberType> Object::numberType() const {
  if (auto n = std::get_if<Number>(&value_)) return n->type;
  return std::nullopt;
}

std::optional<std::string> Object::stringOrNil() const {
  if (auto s = string()) return *s;
  return std::nullopt;
}

std::int64_t Object::integerValue() const {
  if (auto n = std::get_if<Number>(&value_)) return n->value;
  if (auto s = string()) return StringIntegerValue(*s);
  return 0;
}

bool Object::boolValue() const {
  if (auto n = std::get_if<Number>(&value_)) return n->value != 0;
  if (auto s = string()) return StringBoolValue(*s);
  return false;
}

std::string Object::stringValue() const {
  if (auto n = std::get_if<Number>(&value_)) return std::to_string(n->value);
  if (auto s = string()) return *s;
  return "";
}

const void* Object::pointerValue() const {
  if (auto p = std::get_if<Pointer>(&value_)) return p->address;
  return nullptr;
}

Object Object::objectForKey(std::string_view key) const {
  const ObjectDictionary* d = dictionary();
  if (!d) return {};
  auto it = d->find(key);
  return it == d->end() ? Object() : it->second;
}

std::size_t Object::count() const {
  if (auto a = array()) return a->size();
  if (auto d = dictionary()) return d->size();
  if (auto b = data()) return b->size();
  if (auto s = string()) return s->size();
  return 0;
}

std::string Object::description() const {
  std::string out;
  describeInto(out, 0);
  return out;
}

void Object::describeInto(std::string& out, int indent) const {
  switch (kind()) {
    case Kind::Nil:
      out += "(null)";
      return;
    case Kind::String:
      out += *string();
      return;
    case Kind::Number:
      out += std::to_string(std::get<Number>(value_).value);
      return;
    case Kind::Pointer: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "<%p>", pointerValue());
      out += buf;
      return;
    }
    case Kind::Data: {
      out += '<';
      const ObjectData& bytes = *data();
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        out += buf;
      }
      out += '>';
      return;
    }
    case Kind::Array: {
      const ObjectArray& items = *array();
      out += "(\n";
      for (std::size_t i = 0; i < items.size(); ++i) {
        Indent(out, indent + 1);
        const Object& item = items[i];
        if (item.isString() && NeedsQuotes(*item.string())) {
          AppendQuoted(out, *item.string());
        } else {
          item.describeInto(out, indent + 1);
        }
        out += i + 1 < items.size() ? ",\n" : "\n";
      }
      Indent(out, indent);
      out += ')';
      return;
    }
    case Kind::Dictionary: {
      out += "{\n";
      for (const auto& [key, item] : *dictionary()) {
        Indent(out, indent + 1);
        if (NeedsQuotes(key)) {
          AppendQuoted(out, key);
        } else {
          out += key;
        }
        out += " = ";
        if (item.isString() && NeedsQuotes(*item.string())) {
          AppendQuoted(out, *item.string());
        } else {
          item.describeInto(out, indent + 1);
        }
        out += ";\n";
      }
      Indent(out, indent);
      out += '}';
      return;
    }
  }
}

bool operator==(const Object& a, const Object& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Object::Kind::Nil:
      return true;
    case Object::Kind::String:
      return *a.string() == *b.string();
    case Object::Kind::Number:
      return a.integerValue() == b.integerValue();
    case Object::Kind::Pointer:
      return a.pointerValue() == b.pointerValue();
    case Object::Kind::Array:
      return *a.array() == *b.array();
    case Object::Kind::Dictionary:
      return *a.dictionary() == *b.dictionary();
    case Object::Kind::Data:
      return *a.data() == *b.data();
  }
  return false;
}

}  // namespace vrk
