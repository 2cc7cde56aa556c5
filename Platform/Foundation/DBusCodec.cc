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
constexpr char kCannotPostLine[] = "NSDistributedNotificationCenter: cannot post %s: %s";
constexpr char kDroppedLine[] = "NSDistributedNotificationCenter: dropped a %s signal: %s";
constexpr char kLeftOutOfPostLine[] =
    "NSDistributedNotificationCenter: Post %s: left out %d value(s) that cannot be held: %s";

// How many left-out values the log line of a signal names.
constexpr std::size_t kNamedLeftOut = 3;

std::string TooDeep() {
  return "nesting deeper than " + std::to_string(kMaxNesting) + " levels";
}

// D-Bus strings are UTF-8 without NUL characters; anything else would be cut or refused.
bool IsBusText(std::string_view s) {
  return IsValidUTF8(s) && s.find('\0') == std::string_view::npos;
}

std::string SdBusError(int r) {
  return std::string("malformed message (") + std::strerror(-r) + ")";
}

// Builds the body of a Post signal. The first failure wins; later calls keep it.
class Writer final {
 public:
  explicit Writer(sd_bus_message* m) : m_(m) {}

  // Appends `value` as a variant inside `depth` open containers. A value that cannot cross
  // (a pointer, or a nil inside a collection) is left out with a log line.
  bool variant(const Object& value, int depth) {
    if (value.isPointer() || value.isNil()) {
      NSLog(kLeftOutLine, value.isPointer() ? "pointer" : "nil");
      return true;
    }
    if (!open('v', signatureOf(value), depth)) return false;
    if (!contents(value, depth + 1)) return false;
    return close();
  }

  // The body of a dictionary: a{sv} opened inside `depth` containers.
  bool dictionary(const ObjectDictionary& dict, int depth) {
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

  bool open(char type, const char* contents, int depth) {
    if (depth + 1 > kMaxNesting) return fail(-ELOOP, TooDeep());
    return check(sd_bus_message_open_container(m_, type, contents));
  }
  bool close() { return check(sd_bus_message_close_container(m_)); }
  bool check(int r) {
    return r >= 0 || fail(r, std::string("sd-bus refused it (") + std::strerror(-r) + ")");
  }
  bool fail(int r, std::string why) {
    if (error_ == 0) {
      error_ = r;
      why_ = std::move(why);
    }
    return false;
  }

  int error() const { return error_; }
  const std::string& why() const { return why_; }

 private:
  static const char* signatureOf(const Object& value) {
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

  // The inside of a variant that `variant` has opened; `depth` counts that variant.
  bool contents(const Object& value, int depth) {
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

  bool number(const Object& value) {
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

  sd_bus_message* m_;
  int error_ = 0;
  std::string why_;
};

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

// Reads the body of a Post signal. A value of a type that no Object holds is read past and
// noted, and costs only itself; the first failure of the message itself wins and says why the
// signal is dropped.
class Reader final {
 public:
  explicit Reader(sd_bus_message* m) : m_(m) {}

  // Reads one variant inside `depth` open containers; nullopt in `out` when it is left out.
  bool variant(int depth, const std::string& where, std::optional<Object>& out) {
    if (depth + 1 > kMaxNesting) return refuse(TooDeep());
    // Entered without naming its contents and then asked for them: sd-bus peeks a variant's
    // type much more slowly than it reports the signature of the container it is in.
    if (!check(sd_bus_message_enter_container(m_, 'v', nullptr))) return false;
    const char* inner = sd_bus_message_get_signature(m_, 0);
    if (inner == nullptr || *inner == '\0') return refuse("a value is missing");
    return value(inner, depth + 1, where, out) && check(sd_bus_message_exit_container(m_));
  }

  // Reads a dictionary of element type `entry` ("{kv}") inside `depth` open containers. Keys
  // must be text; an entry whose value is left out is skipped.
  bool dictionary(std::string_view entry, int depth, const std::string& where,
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

  // A string, object path or signature: all three are text to an Object.
  std::optional<std::string> text(char type = 's') {
    const char* s = nullptr;
    int r = sd_bus_message_read_basic(m_, type, &s);
    if (r < 0) return fail(SdBusError(r));
    if (r == 0 || s == nullptr) return fail("a string is missing");
    std::string t(s);
    if (!IsValidUTF8(t)) return fail("a string is not valid UTF-8");
    return t;
  }

  bool enter(char type, const char* contents, int depth) {
    if (depth + 1 > kMaxNesting) return refuse(TooDeep());
    return check(sd_bus_message_enter_container(m_, type, contents));
  }
  bool check(int r) { return r >= 0 || refuse(SdBusError(r)); }
  bool refuse(std::string why) {
    fail(std::move(why));
    return false;
  }
  std::nullopt_t fail(std::string why) {
    if (why_.empty()) why_ = std::move(why);
    return std::nullopt;
  }
  const std::string& why() const { return why_; }
  // The first few values left out, and how many there were in all.
  const std::vector<std::string>& leftOut() const { return leftOut_; }
  std::size_t leftOutCount() const { return leftOutCount_; }

 private:
  template <typename T>
  bool basic(char type, T& v) {
    int r = sd_bus_message_read_basic(m_, type, &v);
    if (r < 0) return refuse(SdBusError(r));
    return r > 0 || refuse("a value is missing");
  }
  template <typename T>
  bool int32(char type, std::optional<Object>& out) {
    T v{};
    if (!basic(type, v)) return false;
    out = Object::numberWithInt(static_cast<std::int32_t>(v));
    return true;
  }

  // Reads past a value that no Object holds, noting where it stood.
  bool leaveOut(std::string_view type, const std::string& where, const char* what) {
    const std::string signature(type);
    if (!check(sd_bus_message_skip(m_, signature.c_str()))) return false;
    note(where + " (" + what + " '" + signature + "')");
    return true;
  }

  void note(std::string what) {
    if (++leftOutCount_ <= kNamedLeftOut) leftOut_.push_back(std::move(what));
  }

  // One value of the single complete type `type`, inside `depth` open containers.
  bool value(std::string_view type, int depth, const std::string& where,
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

  // An array of element type `element`: bytes become data, entries with text keys a dictionary,
  // anything else an array of the elements that can be held.
  bool array(std::string_view element, int depth, const std::string& where,
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

  sd_bus_message* m_;
  std::string why_;
  std::vector<std::string> leftOut_;
  std::size_t leftOutCount_ = 0;
};

// Measures what the values of one notification would weigh once decoded, as the center counts a
// payload (DistributedPayloadSize): 16 bytes a value, plus its text or bytes and its dictionary
// keys. It only reads: strings are looked at where the message holds them and arrays of numbers
// are counted from their length, so a notification far over the cap costs no memory beyond the
// message itself. Values that decoding would leave out count nothing; an object array of more
// than one element (which decoding refuses) counts every element.
class Weigher final {
 public:
  explicit Weigher(sd_bus_message* m) : m_(m) {}

  // The three arguments of one notification, `depth` containers down, the name in `name` (it
  // points into the message). False when the message cannot be read to the notification's end,
  // with the reason in why(); total() then holds what was counted up to there.
  bool notification(int depth, std::string_view* name) {
    const char* text = nullptr;
    if (!read('s', &text)) return false;
    *name = text;
    total_ += name->size();
    // A nil object or userInfo is counted as a value too, as the decoded nil is.
    return optional("v", depth) && optional("a{sv}", depth);
  }

  // One top-level argument of complete type `type`.
  bool argument(std::string_view type) { return value(type, 0); }

  std::size_t total() const { return total_; }
  const std::string& why() const { return why_; }

 private:
  static constexpr std::size_t kValueBytes = 16;

  bool optional(const char* contents, int depth) {
    if (!enter('a', contents, depth)) return false;
    const std::size_t before = total_;
    int r;
    while ((r = sd_bus_message_at_end(m_, 0)) == 0) {
      if (!value(contents, depth + 1)) return false;
    }
    if (total_ == before) total_ += kValueBytes;
    return check(r) && check(sd_bus_message_exit_container(m_));
  }

  // One value of the single complete type `type`, inside `depth` open containers.
  bool value(std::string_view type, int depth) {
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

  bool array(std::string_view type, int depth) {
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

  // The size of one element of an array sd-bus hands over whole; 0 for any other element type.
  static std::size_t FixedWidth(std::string_view element) {
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

  template <typename T>
  bool read(char type, T* out) {
    const int r = sd_bus_message_read_basic(m_, type, out);
    if (!check(r)) return false;
    return r > 0 || fail("a value is missing");
  }
  bool enter(char type, const char* contents, int depth) {
    if (depth + 1 > kMaxNesting) return fail(TooDeep());
    const int r = sd_bus_message_enter_container(m_, type, contents);
    if (!check(r)) return false;
    return r > 0 || fail("a value is missing");
  }
  bool check(int r) { return r >= 0 || fail(SdBusError(r)); }
  bool fail(std::string why) {
    if (why_.empty()) why_ = std::move(why);
    return false;
  }

  sd_bus_message* m_;
  std::size_t total_ = 0;
  std::string why_;
};

// A refused notification's name as a log line shows it: a name far over the cap is cut, so that
// the refusal does not cost what the notification would have.
std::string RefusedName(std::string_view name) {
  constexpr std::size_t kShownBytes = 256;
  if (name.size() <= kShownBytes) return std::string(name);
  std::size_t cut = kShownBytes;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return std::string(name.substr(0, cut)) + "...";
}

enum class Weighed {
  kFits,        // the read position is back at the start of the notification's container
  kRefused,     // noted in the refused list; the read position is past the notification
  kUnreadable,  // the message cannot be read to the notification's end; noted when over the cap
};

// Weighs the notification at the read position, `depth` containers down (0 for a Post, whose
// container is the message itself; the element's structure for a Posts signal).
Weighed Weigh(sd_bus_message* m, int depth, std::size_t maxPayload,
              std::vector<RefusedNotification>& refused, std::string* why) {
  Weigher weigher(m);
  std::string_view name;
  const bool read = weigher.notification(depth, &name);
  if (weigher.total() > maxPayload) refused.push_back({RefusedName(name), weigher.total()});
  if (!read) {
    *why = weigher.why();
    return Weighed::kUnreadable;
  }
  if (weigher.total() > maxPayload) return Weighed::kRefused;
  sd_bus_message_rewind(m, depth == 0 ? 1 : 0);
  return Weighed::kFits;
}

// Reads one of the two optional arguments: an array of zero (nil) or one element.
template <typename ReadOne>
std::optional<Object> ReadOptional(Reader& reader, sd_bus_message* m, const char* contents,
                                   const char* what, int depth, ReadOne readOne) {
  if (!reader.enter('a', contents, depth)) return std::nullopt;
  Object value;
  int count = 0;
  int r;
  while ((r = sd_bus_message_at_end(m, 0)) == 0) {
    if (++count > 1) return reader.fail(std::string(what) + " holds more than one element");
    std::optional<Object> one;
    if (!readOne(one)) return std::nullopt;
    if (one) value = std::move(*one);
  }
  if (!reader.check(r) || !reader.check(sd_bus_message_exit_container(m))) return std::nullopt;
  return value;
}

// Reads the three arguments of one notification, `depth` containers down: the top of a Post
// signal, or one element of a Posts signal.
std::optional<NSNotification> DecodeNotification(Reader& reader, sd_bus_message* m, int depth) {
  std::optional<std::string> name = reader.text();
  if (!name) return std::nullopt;
  std::optional<Object> object = ReadOptional(reader, m, "v", "object", depth, [&](auto& out) {
    return reader.variant(depth + 1, "object", out);
  });
  if (!object) return std::nullopt;
  std::optional<Object> userInfo = ReadOptional(
      reader, m, "a{sv}", "userInfo", depth,
      [&](auto& out) { return reader.dictionary("{sv}", depth + 1, "userInfo", out); });
  if (!userInfo) return std::nullopt;
  return NSNotification{std::move(*name), std::move(*object), std::move(*userInfo)};
}

// Checks that `m` is the center's signal `member` with `signature`, rewound to its start.
bool IsCenterSignal(Reader& reader, sd_bus_message* m, const char* member, const char* signature) {
  if (sd_bus_message_is_signal(m, kPostInterface, member) <= 0) {
    return reader.refuse("not a " + std::string(member) + " signal of " + kPostInterface);
  }
  if (!reader.check(sd_bus_message_rewind(m, 1))) return false;
  const char* actual = sd_bus_message_get_signature(m, 1);
  if (actual == nullptr || std::strcmp(actual, signature) != 0) {
    return reader.refuse("signature is '" + std::string(actual ? actual : "") + "', not '" +
                         signature + "'");
  }
  return true;
}

std::optional<NSNotification> Decode(Reader& reader, sd_bus_message* m) {
  if (!IsCenterSignal(reader, m, kPostMember, kPostSignature)) return std::nullopt;
  return DecodeNotification(reader, m, 0);
}

// Decodes a Posts signal. With `refused`, each element is weighed first, and one over
// `maxPayload` is noted there and not decoded.
std::optional<std::vector<NSNotification>> DecodeAll(
    Reader& reader, sd_bus_message* m, std::size_t maxPayload = 0,
    std::vector<RefusedNotification>* refused = nullptr) {
  if (!IsCenterSignal(reader, m, kPostsMember, kPostsSignature)) return std::nullopt;
  if (!reader.enter('a', "(savaa{sv})", 0)) return std::nullopt;
  std::vector<NSNotification> notes;
  std::size_t count = 0;
  int r;
  while ((r = sd_bus_message_at_end(m, 0)) == 0) {
    if (count++ == kMaxPostsPerSignal) {
      return reader.fail("more than " + std::to_string(kMaxPostsPerSignal) + " notifications");
    }
    if (!reader.enter('r', "savaa{sv}", 1)) return std::nullopt;
    if (refused) {
      std::string why;
      const Weighed weighed = Weigh(m, kPostsElementDepth, maxPayload, *refused, &why);
      if (weighed == Weighed::kUnreadable) return reader.fail(why);
      if (weighed == Weighed::kRefused) {
        if (!reader.check(sd_bus_message_exit_container(m))) return std::nullopt;
        continue;
      }
    }
    std::optional<NSNotification> note = DecodeNotification(reader, m, kPostsElementDepth);
    if (!note || !reader.check(sd_bus_message_exit_container(m))) return std::nullopt;
    notes.push_back(std::move(*note));
  }
  if (!reader.check(r) || !reader.check(sd_bus_message_exit_container(m))) return std::nullopt;
  return notes;
}

// Logs the values a decoded signal left out: one line per signal, naming the first few.
void LogLeftOut(const Reader& reader, const std::string& name) {
  if (reader.leftOutCount() == 0) return;
  std::string named;
  for (const std::string& one : reader.leftOut()) named += (named.empty() ? "" : "; ") + one;
  if (reader.leftOutCount() > reader.leftOut().size()) named += "; ...";
  NSLog(kLeftOutOfPostLine, name, static_cast<int>(reader.leftOutCount()), named);
}

// Appends the three arguments of one notification, `depth` containers down. Returns 0 or a
// negative errno value (logged).
int AppendNotification(sd_bus_message* m, std::string_view name, const Object& object,
                       const Object& userInfo, int depth) {
  Writer writer(m);
  const std::string nameText(name);
  auto failed = [&] {
    NSLog(kCannotPostLine, IsBusText(nameText) ? nameText : "(invalid name)", writer.why());
    return writer.error();
  };
  if (!userInfo.isNil() && !userInfo.isDictionary()) {
    writer.fail(-EINVAL, "userInfo is not a dictionary");
    return failed();
  }
  if (!IsBusText(nameText)) {
    writer.fail(-EINVAL, "the name is not valid UTF-8");
    return failed();
  }
  if (!writer.check(sd_bus_message_append_basic(m, 's', nameText.c_str()))) return failed();

  // The object array stays empty for nil, and for a value that cannot cross.
  if (!writer.open('a', "v", depth)) return failed();
  if (!object.isNil() && !writer.variant(object, depth + 1)) return failed();
  if (!writer.close()) return failed();

  if (!writer.open('a', "a{sv}", depth)) return failed();
  if (const ObjectDictionary* dict = userInfo.dictionary()) {
    if (!writer.dictionary(*dict, depth + 1)) return failed();
  }
  if (!writer.close()) return failed();
  return 0;
}

}  // namespace

int AppendPostArguments(sd_bus_message* m, std::string_view name, const Object& object,
                        const Object& userInfo) {
  return AppendNotification(m, name, object, userInfo, 0);
}

int AppendPostsArguments(sd_bus_message* m, std::span<const NSNotification> posts,
                         std::size_t* failedAt) {
  int r = sd_bus_message_open_container(m, 'a', "(savaa{sv})");
  for (std::size_t i = 0; r >= 0 && i < posts.size(); ++i) {
    const NSNotification& post = posts[i];
    r = sd_bus_message_open_container(m, 'r', "savaa{sv}");
    if (r >= 0) {
      r = AppendNotification(m, post.name, post.object, post.userInfo, kPostsElementDepth);
      if (r < 0) {
        *failedAt = i;
        return r;  // logged
      }
      r = sd_bus_message_close_container(m);
    }
    if (r < 0) {
      *failedAt = i;
      NSLog(kCannotPostLine, IsBusText(post.name) ? post.name : "(invalid name)", SdBusError(r));
      return r;
    }
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r < 0) *failedAt = 0;
  return r;
}

std::optional<NSNotification> DecodePostSignal(sd_bus_message* m) {
  Reader reader(m);
  std::optional<NSNotification> note = Decode(reader, m);
  if (!note) {
    NSLog(kDroppedLine, "Post", reader.why().empty() ? "unreadable" : reader.why());
    return note;
  }
  LogLeftOut(reader, note->name);
  return note;
}

std::optional<std::vector<NSNotification>> DecodePostsSignal(sd_bus_message* m) {
  Reader reader(m);
  std::optional<std::vector<NSNotification>> notes = DecodeAll(reader, m);
  if (!notes) {
    NSLog(kDroppedLine, "Posts", reader.why().empty() ? "unreadable" : reader.why());
    return notes;
  }
  LogLeftOut(reader, notes->empty() ? std::string("(empty)") : notes->front().name);
  return notes;
}

std::optional<std::vector<NSNotification>> DecodeCenterSignal(sd_bus_message* m) {
  if (sd_bus_message_is_signal(m, kPostInterface, kPostsMember) > 0) return DecodePostsSignal(m);
  std::optional<NSNotification> note = DecodePostSignal(m);
  if (!note) return std::nullopt;
  std::vector<NSNotification> notes;
  notes.push_back(std::move(*note));
  return notes;
}

std::optional<std::vector<NSNotification>> DecodeCenterSignal(
    sd_bus_message* m, std::size_t maxPayload, std::vector<RefusedNotification>* refused) {
  if (sd_bus_message_is_signal(m, kPostInterface, kPostsMember) > 0) {
    Reader reader(m);
    std::optional<std::vector<NSNotification>> notes = DecodeAll(reader, m, maxPayload, refused);
    if (!notes) {
      NSLog(kDroppedLine, "Posts", reader.why().empty() ? "unreadable" : reader.why());
      return notes;
    }
    LogLeftOut(reader, notes->empty() ? std::string("(empty)") : notes->front().name);
    return notes;
  }
  // A Post of another shape goes straight to the decoder, which says what is wrong with it.
  const char* signature = sd_bus_message_get_signature(m, 1);
  if (sd_bus_message_is_signal(m, kPostInterface, kPostMember) > 0 && signature != nullptr &&
      std::strcmp(signature, kPostSignature) == 0 && sd_bus_message_rewind(m, 1) >= 0) {
    std::string why;
    const std::size_t before = refused->size();
    if (Weigh(m, 0, maxPayload, *refused, &why) != Weighed::kFits && refused->size() > before) {
      return std::vector<NSNotification>{};
    }
  }
  return DecodeCenterSignal(m);
}

int AppendMessageArguments(sd_bus_message* m, std::span<const Object> arguments, std::string* why) {
  Writer writer(m);
  if (arguments.size() > kMaxMessageArguments) writer.fail(-E2BIG, "too many arguments");
  for (const Object& argument : arguments) {
    if (writer.error() != 0) break;
    if (!writer.open('a', "v", 0)) break;
    if (!argument.isNil() && !writer.variant(argument, 1)) break;
    writer.close();
  }
  if (writer.error() != 0 && why != nullptr) *why = writer.why();
  return writer.error();
}

std::optional<std::size_t> WeighMessageArguments(sd_bus_message* m) {
  if (sd_bus_message_rewind(m, 1) < 0) return std::nullopt;
  const char* signature = sd_bus_message_get_signature(m, 1);
  const std::string_view sig(signature ? signature : "");
  if (sig.size() % 2 != 0 || sig.size() / 2 > kMaxMessageArguments) return std::nullopt;
  Weigher weigher(m);
  bool read = true;
  for (std::size_t i = 0; read && i < sig.size(); i += 2) {
    read = sig.substr(i, 2) == "av" && weigher.argument("av");
  }
  sd_bus_message_rewind(m, 1);
  if (!read) return std::nullopt;
  return weigher.total();
}

std::optional<std::vector<Object>> ReadMessageArguments(sd_bus_message* m, std::string* why) {
  Reader reader(m);
  auto failed = [&]() -> std::optional<std::vector<Object>> {
    if (why != nullptr) *why = reader.why().empty() ? "unreadable" : reader.why();
    return std::nullopt;
  };
  if (!reader.check(sd_bus_message_rewind(m, 1))) return failed();
  const char* signature = sd_bus_message_get_signature(m, 1);
  std::string_view sig(signature ? signature : "");
  if (sig.size() % 2 != 0 || sig.size() / 2 > kMaxMessageArguments) {
    reader.fail("signature is '" + std::string(sig) + "'");
    return failed();
  }
  for (std::size_t i = 0; i < sig.size(); i += 2) {
    if (sig.substr(i, 2) != "av") {
      reader.fail("signature is '" + std::string(sig) + "'");
      return failed();
    }
  }
  std::vector<Object> arguments;
  for (std::size_t i = 0; i < sig.size() / 2; ++i) {
    std::optional<Object> argument = ReadOptional(reader, m, "v", "an argument", 0, [&](auto& out) {
      return reader.variant(1, "an argument", out);
    });
    if (!argument) return failed();
    arguments.push_back(std::move(*argument));
  }
  return arguments;
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

namespace {
MessagePtr NewCenterSignal(sd_bus* bus, const char* member) {
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_signal(bus, &m, kPostPath, kPostInterface, member) < 0) return nullptr;
  return MessagePtr(m);
}
}  // namespace

MessagePtr NewPostSignal(sd_bus* bus) {
  return NewCenterSignal(bus, kPostMember);
}

MessagePtr NewPostsSignal(sd_bus* bus) {
  return NewCenterSignal(bus, kPostsMember);
}

int SealForReading(sd_bus_message* m) {
  static std::atomic<std::uint64_t> cookie{0};
  int r = sd_bus_message_seal(m, ++cookie, 0);
  if (r < 0) return r;
  return sd_bus_message_rewind(m, 1);
}

}  // namespace vrk::dbus
