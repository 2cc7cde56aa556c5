#include "Platform/Foundation/DBusCodec.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "Platform/Foundation/NSLog.h"

namespace vrk::dbus {

namespace {

constexpr char kLeftOutLine[] =
    "NSDistributedNotificationCenter: a %s value cannot be posted; left out";
constexpr char kCannotPostLine[] = "NSDistributedNotificationCenter: cannot post %s: %s";
constexpr char kDroppedLine[] = "NSDistributedNotificationCenter: dropped a Post signal: %s";

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
            return "i";
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
      case Object::NumberType::Int32: {
        const std::int32_t v = value.intValue();
        return check(sd_bus_message_append_basic(m_, 'i', &v));
      }
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

// Reads the body of a Post signal. The first failure wins and says why the signal is dropped.
class Reader final {
 public:
  explicit Reader(sd_bus_message* m) : m_(m) {}

  // Reads one variant inside `depth` open containers.
  std::optional<Object> variant(int depth) {
    if (depth + 1 > kMaxNesting) return fail(TooDeep());
    // Entered without naming its contents and then asked for them: sd-bus peeks a variant's
    // type much more slowly than it reports the signature of the container it is in.
    if (!check(sd_bus_message_enter_container(m_, 'v', nullptr))) return std::nullopt;
    const char* inner = sd_bus_message_get_signature(m_, 0);
    if (inner == nullptr) return fail("a value is missing");
    std::optional<Object> value = contents(std::string(inner), depth + 1);
    if (!value || !check(sd_bus_message_exit_container(m_))) return std::nullopt;
    return value;
  }

  // Reads a{sv} inside `depth` open containers.
  std::optional<Object> dictionary(int depth) {
    if (!enter('a', "{sv}", depth)) return std::nullopt;
    ObjectDictionary dict;
    int r;
    while ((r = sd_bus_message_at_end(m_, 0)) == 0) {
      if (!enter('e', "sv", depth + 1)) return std::nullopt;
      std::optional<std::string> key = string();
      if (!key) return std::nullopt;
      std::optional<Object> value = variant(depth + 2);
      if (!value || !check(sd_bus_message_exit_container(m_))) return std::nullopt;
      // A key sent twice keeps its last value, as setObject:forKey: would.
      dict.insert_or_assign(std::move(*key), std::move(*value));
    }
    if (!check(r) || !check(sd_bus_message_exit_container(m_))) return std::nullopt;
    return Object(std::move(dict));
  }

  std::optional<std::string> string() {
    const char* s = nullptr;
    int r = sd_bus_message_read_basic(m_, 's', &s);
    if (r < 0) return fail(SdBusError(r));
    if (r == 0 || s == nullptr) return fail("a string is missing");
    std::string text(s);
    if (!IsValidUTF8(text)) return fail("a string is not valid UTF-8");
    return text;
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

 private:
  template <typename T>
  std::optional<T> basic(char type) {
    T v{};
    int r = sd_bus_message_read_basic(m_, type, &v);
    if (r < 0) return fail(SdBusError(r));
    if (r == 0) return fail("a value is missing");
    return v;
  }

  // The inside of a variant of `signature`; `depth` counts the variant.
  std::optional<Object> contents(const std::string& signature, int depth) {
    if (signature.size() == 1) {
      switch (signature[0]) {
        case 's': {
          std::optional<std::string> s = string();
          if (!s) return std::nullopt;
          return Object(std::move(*s));
        }
        case 'b': {
          auto v = basic<int>('b');
          if (!v) return std::nullopt;
          return Object::numberWithBool(*v != 0);
        }
        case 'y':
          return int32<std::uint8_t>('y');
        case 'n':
          return int32<std::int16_t>('n');
        case 'q':
          return int32<std::uint16_t>('q');
        case 'i':
          return int32<std::int32_t>('i');
        case 'u': {
          auto v = basic<std::uint32_t>('u');
          if (!v) return std::nullopt;
          return Object::numberWithInteger(*v);
        }
        case 'x': {
          auto v = basic<std::int64_t>('x');
          if (!v) return std::nullopt;
          return Object::numberWithInteger(*v);
        }
        case 't': {
          auto v = basic<std::uint64_t>('t');
          if (!v) return std::nullopt;
          if (*v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return fail("an integer is out of range");
          }
          return Object::numberWithInteger(static_cast<std::int64_t>(*v));
        }
        default:
          break;
      }
    } else if (signature == "av") {
      return array(depth);
    } else if (signature == "a{sv}") {
      return dictionary(depth);
    } else if (signature == "ay") {
      if (depth + 1 > kMaxNesting) return fail(TooDeep());
      const void* bytes = nullptr;
      std::size_t size = 0;
      int r = sd_bus_message_read_array(m_, 'y', &bytes, &size);
      if (r < 0) return fail(SdBusError(r));
      const auto* first = static_cast<const std::uint8_t*>(bytes);
      return Object(size == 0 ? ObjectData() : ObjectData(first, first + size));
    }
    return fail("unsupported value type '" + signature + "'");
  }

  template <typename T>
  std::optional<Object> int32(char type) {
    auto v = basic<T>(type);
    if (!v) return std::nullopt;
    return Object::numberWithInt(static_cast<std::int32_t>(*v));
  }

  std::optional<Object> array(int depth) {
    if (!enter('a', "v", depth)) return std::nullopt;
    ObjectArray items;
    int r;
    while ((r = sd_bus_message_at_end(m_, 0)) == 0) {
      std::optional<Object> item = variant(depth + 1);
      if (!item) return std::nullopt;
      items.push_back(std::move(*item));
    }
    if (!check(r) || !check(sd_bus_message_exit_container(m_))) return std::nullopt;
    return Object(std::move(items));
  }

  sd_bus_message* m_;
  std::string why_;
};

// Reads one of the two optional arguments: an array of zero (nil) or one element.
template <typename ReadOne>
std::optional<Object> ReadOptional(Reader& reader, sd_bus_message* m, const char* contents,
                                   const char* what, ReadOne readOne) {
  if (!reader.enter('a', contents, 0)) return std::nullopt;
  Object value;
  int count = 0;
  int r;
  while ((r = sd_bus_message_at_end(m, 0)) == 0) {
    if (++count > 1) return reader.fail(std::string(what) + " holds more than one element");
    std::optional<Object> one = readOne();
    if (!one) return std::nullopt;
    value = std::move(*one);
  }
  if (!reader.check(r) || !reader.check(sd_bus_message_exit_container(m))) return std::nullopt;
  return value;
}

std::optional<NSNotification> Decode(Reader& reader, sd_bus_message* m) {
  if (sd_bus_message_is_signal(m, kPostInterface, kPostMember) <= 0) {
    return reader.fail("not a Post signal of " + std::string(kPostInterface));
  }
  if (!reader.check(sd_bus_message_rewind(m, 1))) return std::nullopt;
  const char* signature = sd_bus_message_get_signature(m, 1);
  if (signature == nullptr || std::strcmp(signature, kPostSignature) != 0) {
    return reader.fail("signature is '" + std::string(signature ? signature : "") + "', not '" +
                       kPostSignature + "'");
  }
  std::optional<std::string> name = reader.string();
  if (!name) return std::nullopt;
  std::optional<Object> object =
      ReadOptional(reader, m, "v", "object", [&] { return reader.variant(1); });
  if (!object) return std::nullopt;
  std::optional<Object> userInfo =
      ReadOptional(reader, m, "a{sv}", "userInfo", [&] { return reader.dictionary(1); });
  if (!userInfo) return std::nullopt;
  return NSNotification{std::move(*name), std::move(*object), std::move(*userInfo)};
}

}  // namespace

int AppendPostArguments(sd_bus_message* m, std::string_view name, const Object& object,
                        const Object& userInfo) {
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
  if (!writer.open('a', "v", 0)) return failed();
  if (!object.isNil() && !writer.variant(object, 1)) return failed();
  if (!writer.close()) return failed();

  if (!writer.open('a', "a{sv}", 0)) return failed();
  if (const ObjectDictionary* dict = userInfo.dictionary()) {
    if (!writer.dictionary(*dict, 1)) return failed();
  }
  if (!writer.close()) return failed();
  return 0;
}

std::optional<NSNotification> DecodePostSignal(sd_bus_message* m) {
  Reader reader(m);
  std::optional<NSNotification> note = Decode(reader, m);
  if (!note) NSLog(kDroppedLine, reader.why().empty() ? "unreadable" : reader.why());
  return note;
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

MessagePtr NewPostSignal(sd_bus* bus) {
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_signal(bus, &m, kPostPath, kPostInterface, kPostMember) < 0) {
    return nullptr;
  }
  return MessagePtr(m);
}

int SealForReading(sd_bus_message* m) {
  static std::atomic<std::uint64_t> cookie{0};
  int r = sd_bus_message_seal(m, ++cookie, 0);
  if (r < 0) return r;
  return sd_bus_message_rewind(m, 1);
}

}  // namespace vrk::dbus
