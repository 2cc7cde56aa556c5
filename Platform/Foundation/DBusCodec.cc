#include "Platform/Foundation/DBusCodec.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "Platform/Foundation/NSLog.h"

namespace vrk::dbus {

namespace {

constexpr char kLeftOutLine[] =
    "NSDistributedNotificationCenter: a %s value cannot be posted; left out";
// How many left-out values the log line of a signal names.
constexpr std::size_t kNamedLeftOut = 3;

// False for a type of which no value can be held, so that a container of such values is left
// out whole rather than kept empty.
bool Holdable(std::string_view type) {
  switch (type[0]) {
    case 'a':
      if (type[1] == '{') {
        return (type[2] == 's' || type[2] == 'o' || type[2] == 'g') &&
               Holdable(type.substr(3, type.size() - 4));
      }
      return Holdable(type.substr(1));
    case 'd':
    case 'h':
    case '(':
      return false;
    default:
      return true;
  }
}

}  // namespace

std::string TooDeep() {
  return "nesting deeper than " + std::to_string(kMaxNesting) + " levels";
}

bool IsBusText(std::string_view s) {
  return IsValidUTF8(s) && s.find('\0') == std::string_view::npos;
}

std::string SdBusError(int r) {
  return std::string("malformed message (") + std::strerror(-r) + ")";
}

bool Writer::variant(const Object& value, int depth) {
  if (value.isPointer() || value.isNil()) {
    NSLog(kLeftOutLine, value.isPointer() ? "pointer" : "nil");
    return true;
  }
  if (!open('v', signatureOf(value), depth)) return false;
  if (!contents(value, depth + 1)) return false;
  return close();
}

bool Writer::dictionary(const ObjectDictionary& dict, int depth) {
  if (!open('a', "{sv}", depth)) return false;
  for (const auto& [key, value] : dict) {
    if (value.isPointer() || value.isNil()) {
      NSLog(kLeftOutLine, value.isPointer() ? "pointer" : "nil");
      continue;
    }
    if (!IsBusText(key)) return fail(-EINVAL, "a dictionary key is not valid UTF-8");
    if (!open('e', "sv", depth + 1)) return false;
    if (!check(sd_bus_message_append_basic(m_, 's', key.c_str()))) return false;
    if (!variant(value, depth + 2)) return false;
    if (!close()) return false;
  }
  return close();
}

bool Writer::open(char type, const char* contents, int depth) {
  if (depth + 1 > kMaxNesting) return fail(-ELOOP, TooDeep());
  return check(sd_bus_message_open_container(m_, type, contents));
}

bool Writer::close() {
  return check(sd_bus_message_close_container(m_));
}

bool Writer::check(int r) {
  return r >= 0 || fail(r, std::string("sd-bus refused it (") + std::strerror(-r) + ")");
}

bool Writer::fail(int r, std::string why) {
  if (error_ == 0) {
    error_ = r;
    why_ = std::move(why);
  }
  return false;
}

const char* Writer::signatureOf(const Object& value) {
  switch (value.kind()) {
    case Object::Kind::String:
      return "s";
    case Object::Kind::Number:
      switch (*value.numberType()) {
        case Object::NumberType::Int32:
        case Object::NumberType::Int64:
          return "x";
        case Object::NumberType::Bool:
          return "b";
      }
      return "x";
    case Object::Kind::Array:
      return "av";
    case Object::Kind::Dictionary:
      return "a{sv}";
    case Object::Kind::Data:
      return "ay";
    case Object::Kind::Nil:
    case Object::Kind::Pointer:
      break;
  }
  return "";
}

bool Writer::contents(const Object& value, int depth) {
  switch (value.kind()) {
    case Object::Kind::String:
      if (!IsBusText(*value.string())) return fail(-EINVAL, "a string is not valid UTF-8");
      return check(sd_bus_message_append_basic(m_, 's', value.string()->c_str()));
    case Object::Kind::Number:
      return number(value);
    case Object::Kind::Array: {
      if (!open('a', "v", depth)) return false;
      for (const Object& item : *value.array()) {
        if (!variant(item, depth + 1)) return false;
      }
      return close();
    }
    case Object::Kind::Dictionary:
      return dictionary(*value.dictionary(), depth);
    case Object::Kind::Data: {
      if (depth + 1 > kMaxNesting) return fail(-ELOOP, TooDeep());
      const ObjectData& data = *value.data();
      return check(sd_bus_message_append_array(m_, 'y', data.data(), data.size()));
    }
    case Object::Kind::Nil:
    case Object::Kind::Pointer:
      break;
  }
  return fail(-EINVAL, "unsupported value");
}

bool Writer::number(const Object& value) {
  switch (*value.numberType()) {
    case Object::NumberType::Int32:
    case Object::NumberType::Int64: {
      const std::int64_t v = value.integerValue();
      return check(sd_bus_message_append_basic(m_, 'x', &v));
    }
    case Object::NumberType::Bool: {
      const int v = value.boolValue() ? 1 : 0;
      return check(sd_bus_message_append_basic(m_, 'b', &v));
    }
  }
  return fail(-EINVAL, "unsupported number");
}

bool Reader::variant(int depth, const std::string& where, std::optional<Object>& out) {
  if (depth + 1 > kMaxNesting) return refuse(TooDeep());
  // Entered without naming its contents and then asked for them: sd-bus peeks a variant's
  // type much more slowly than it reports the signature of the container it is in.
  if (!check(sd_bus_message_enter_container(m_, 'v', nullptr))) return false;
  const char* inner = sd_bus_message_get_signature(m_, 0);
  if (inner == nullptr || *inner == '\0') return refuse("a value is missing");
  return value(inner, depth + 1, where, out) && check(sd_bus_message_exit_container(m_));
}

bool Reader::dictionary(std::string_view entry, int depth, const std::string& where,
                        std::optional<Object>& out) {
  const std::string contents(entry.substr(1, entry.size() - 2));
  const std::string valueType = contents.substr(1);
  if (!enter('a', std::string(entry).c_str(), depth)) return false;
  ObjectDictionary dict;
  int r;
  while ((r = sd_bus_message_at_end(m_, 0)) == 0) {
    if (!enter('e', contents.c_str(), depth + 1)) return false;
    std::optional<std::string> key = text(contents[0]);
    if (!key) return false;
    std::optional<Object> v;
    const std::string inner = depth == 1 ? where + " \"" + *key + "\"" : where;
    if (!value(valueType, depth + 2, inner, v) || !check(sd_bus_message_exit_container(m_))) {
      return false;
    }
    // A key sent twice keeps its last value, as setObject:forKey: would.
    if (v) dict.insert_or_assign(std::move(*key), std::move(*v));
  }
  if (!check(r) || !check(sd_bus_message_exit_container(m_))) return false;
  out = Object(std::move(dict));
  return true;
}

std::optional<std::string> Reader::text(char type) {
  const char* s = nullptr;
  int r = sd_bus_message_read_basic(m_, type, &s);
  if (r < 0) return fail(SdBusError(r));
  if (r == 0 || s == nullptr) return fail("a string is missing");
  std::string t(s);
  if (!IsValidUTF8(t)) return fail("a string is not valid UTF-8");
  return t;
}

bool Reader::enter(char type, const char* contents, int depth) {
  if (depth + 1 > kMaxNesting) return refuse(TooDeep());
  return check(sd_bus_message_enter_container(m_, type, contents));
}

bool Reader::check(int r) {
  return r >= 0 || refuse(SdBusError(r));
}

bool Reader::refuse(std::string why) {
  fail(std::move(why));
  return false;
}

std::nullopt_t Reader::fail(std::string why) {
  if (why_.empty()) why_ = std::move(why);
  return std::nullopt;
}

bool Reader::leaveOut(std::string_view type, const std::string& where, const char* what) {
  const std::string signature(type);
  if (!check(sd_bus_message_skip(m_, signature.c_str()))) return false;
  note(where + " (" + what + " '" + signature + "')");
  return true;
}

void Reader::note(std::string what) {
  if (++leftOutCount_ <= kNamedLeftOut) leftOut_.push_back(std::move(what));
}

bool Reader::value(std::string_view type, int depth, const std::string& where,
                   std::optional<Object>& out) {
  out.reset();
  switch (type[0]) {
    case 's':
    case 'o':
    case 'g': {
      std::optional<std::string> t = text(type[0]);
      if (!t) return false;
      out = Object(std::move(*t));
      return true;
    }
    case 'b': {
      int v = 0;
      if (!basic('b', v)) return false;
      out = Object::numberWithBool(v != 0);
      return true;
    }
    case 'y':
      return int32<std::uint8_t>('y', out);
    case 'n':
      return int32<std::int16_t>('n', out);
    case 'q':
      return int32<std::uint16_t>('q', out);
    case 'i':
      return int32<std::int32_t>('i', out);
    case 'u': {
      std::uint32_t v = 0;
      if (!basic('u', v)) return false;
      out = Object::numberWithInteger(v);
      return true;
    }
    case 'x': {
      std::int64_t v = 0;
      if (!basic('x', v)) return false;
      out = Object::numberWithInteger(v);
      return true;
    }
    case 't': {
      std::uint64_t v = 0;
      if (!basic('t', v)) return false;
      if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        note(where + " (an integer beyond the signed 64-bit range)");
        return true;
      }
      out = Object::numberWithInteger(static_cast<std::int64_t>(v));
      return true;
    }
    case 'v':
      // A variant inside a variant stands for the value it holds.
      return variant(depth, where, out);
    case 'a':
      return array(type.substr(1), depth, where, out);
    case 'd':
    default:
      // Floating-point numbers, structures, file descriptors: nothing an Object holds.
      return leaveOut(type, where, "type");
  }
}

bool Reader::array(std::string_view element, int depth, const std::string& where,
                   std::optional<Object>& out) {
  if (element == "y") {
    if (depth + 1 > kMaxNesting) return refuse(TooDeep());
    const void* bytes = nullptr;
    std::size_t size = 0;
    int r = sd_bus_message_read_array(m_, 'y', &bytes, &size);
    if (r < 0) return refuse(SdBusError(r));
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    out = Object(size == 0 ? ObjectData() : ObjectData(first, first + size));
    return true;
  }
  const std::string type = "a" + std::string(element);
  if (!Holdable(type)) return leaveOut(type, where, "nothing held of");
  if (element[0] == '{') return dictionary(element, depth, where, out);
  const std::string elementType(element);
  if (!enter('a', elementType.c_str(), depth)) return false;
  ObjectArray items;
  int r;
  while ((r = sd_bus_message_at_end(m_, 0)) == 0) {
    std::optional<Object> item;
    if (!value(element, depth + 1, where, item)) return false;
    if (item) items.push_back(std::move(*item));
  }
  if (!check(r) || !check(sd_bus_message_exit_container(m_))) return false;
  out = Object(std::move(items));
  return true;
}

bool Weigher::notification(int depth, std::string_view* name) {
  const char* text = nullptr;
  if (!read('s', &text)) return false;
  *name = text;
  total_ += name->size();
  // A nil object or userInfo is counted as a value too, as the decoded nil is.
  return optional("v", depth) && optional("a{sv}", depth);
}

bool Weigher::argument(std::string_view type) {
  return value(type, 0);
}

bool Weigher::optional(const char* contents, int depth) {
  if (!enter('a', contents, depth)) return false;
  const std::size_t before = total_;
  int r;
  while ((r = sd_bus_message_at_end(m_, 0)) == 0) {
    if (!value(contents, depth + 1)) return false;
  }
  if (total_ == before) total_ += kValueBytes;
  return check(r) && check(sd_bus_message_exit_container(m_));
}

bool Weigher::value(std::string_view type, int depth) {
  switch (type[0]) {
    case 's':
    case 'o':
    case 'g': {
      const char* text = nullptr;
      if (!read(type[0], &text)) return false;
      total_ += kValueBytes + std::strlen(text);
      return true;
    }
    case 'b':
    case 'y':
    case 'n':
    case 'q':
    case 'i':
    case 'u':
    case 'x':
    case 't': {
      std::uint64_t scratch = 0;
      if (!read(type[0], &scratch)) return false;
      total_ += kValueBytes;
      return true;
    }
    case 'v': {
      if (!enter('v', nullptr, depth)) return false;
      const char* inner = sd_bus_message_get_signature(m_, 0);
      if (inner == nullptr || *inner == '\0') return fail("a value is missing");
      return value(inner, depth + 1) && check(sd_bus_message_exit_container(m_));
    }
    case 'a':
      return array(type, depth);
    default:
      return check(sd_bus_message_skip(m_, std::string(type).c_str()));
  }
}

bool Weigher::array(std::string_view type, int depth) {
  const std::string signature(type);
  if (!Holdable(type)) return check(sd_bus_message_skip(m_, signature.c_str()));
  const std::string_view element = type.substr(1);
  if (const std::size_t width = FixedWidth(element)) {
    if (depth + 1 > kMaxNesting) return fail(TooDeep());
    const void* items = nullptr;
    std::size_t size = 0;
    if (!check(sd_bus_message_read_array(m_, element[0], &items, &size))) return false;
    // Bytes are one data value; other numbers one value each.
    total_ += kValueBytes + (element[0] == 'y' ? size : size / width * kValueBytes);
    return true;
  }
  const std::string contents(element);
  if (!enter('a', contents.c_str(), depth)) return false;
  total_ += kValueBytes;
  const bool entries = element[0] == '{';
  const std::string entry = entries ? contents.substr(1, contents.size() - 2) : std::string();
  const std::string valueType = entries ? entry.substr(1) : contents;
  int r;
  while ((r = sd_bus_message_at_end(m_, 0)) == 0) {
    if (!entries) {
      if (!value(valueType, depth + 1)) return false;
      continue;
    }
    const char* key = nullptr;
    if (!enter('e', entry.c_str(), depth + 1) || !read(entry[0], &key)) return false;
    total_ += std::strlen(key);
    if (!value(valueType, depth + 2) || !check(sd_bus_message_exit_container(m_))) return false;
  }
  return check(r) && check(sd_bus_message_exit_container(m_));
}

std::size_t Weigher::FixedWidth(std::string_view element) {
  if (element.size() != 1) return 0;
  switch (element[0]) {
    case 'y':
      return 1;
    case 'n':
    case 'q':
      return 2;
    case 'i':
    case 'u':
      return 4;
    case 'x':
    case 't':
      return 8;
    default:
      return 0;
  }
}

bool Weigher::enter(char type, const char* contents, int depth) {
  if (depth + 1 > kMaxNesting) return fail(TooDeep());
  const int r = sd_bus_message_enter_container(m_, type, contents);
  if (!check(r)) return false;
  return r > 0 || fail("a value is missing");
}

bool Weigher::check(int r) {
  return r >= 0 || fail(SdBusError(r));
}

bool Weigher::fail(std::string why) {
  if (why_.empty()) why_ = std::move(why);
  return false;
}

OfflineBusPtr OpenOfflineBus() {
  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  OfflineBusPtr bus(raw);
  // sd-bus builds messages only on a started bus. Started on /dev/null, it writes its greeting
  // into nothing and then waits for an answer that never comes, which is all that building
  // messages needs; nothing is ever sent or received.
  int in = -1;
  int out = -1;
  if (r >= 0) {
    in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (in < 0 || out < 0) r = -errno;
  }
  if (r >= 0) r = sd_bus_set_fd(bus.get(), in, out);
  if (r < 0) {
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
  }
  if (r >= 0) r = sd_bus_start(bus.get());
  if (r < 0) {
    NSLog("NSDistributedNotificationCenter: cannot make an offline bus: %s", std::strerror(-r));
    return nullptr;
  }
  return bus;
}

int SealForReading(sd_bus_message* m) {
  static std::atomic<std::uint64_t> cookie{0};
  int r = sd_bus_message_seal(m, ++cookie, 0);
  if (r < 0) return r;
  return sd_bus_message_rewind(m, 1);
}

}  // namespace vrk::dbus
