// Object <-> D-Bus value codec: how an Object is written into a message and read back, and how
// much a value would weigh once read, measured in place. The center's signal format
// (DBusCenterSignal.h) and the arguments of calls to distant objects (DBusMessageArguments.h) are
// built from it. Kept apart from the bus I/O so that a fuzzer and tests can build and decode
// messages without a running bus.
//
// Contract:
// - Values map as: string `s`, number `x` (an Int32 number too: the signal's layout lists
//   integers as `x`), BOOL number `b`, array `av`, dictionary `a{sv}`, data `ay`, each wrapped
//   in a variant. On reading, what other programs send is taken as far as an Object can hold
//   it: `y`, `n`, `q`, `i` give an Int32 number, `u`, `x`, `t` an Int64 number, `s`, `o`, `g`
//   a string, a variant inside a variant the value it holds, an array of any element type an
//   array (`ay` data), an array of entries with `s`, `o` or `g` keys (`a{ss}`, `a{sv}`, ...) a
//   dictionary. A value that no Object holds (`d`, `h`, a structure, a `t` beyond the Int64
//   range, a dictionary with other keys, a container of only such values) costs only itself:
//   a dictionary loses that entry, an array that element, and an object argument reads as nil.
//   Pointer values cannot cross a process boundary, and D-Bus has no nil inside a
//   collection: such values are left out with a log line (a pointer object is sent as nil, a
//   pointer or nil inside an array or dictionary is skipped).
// - Nesting is counted as D-Bus counts it: every array, dictionary entry and variant is one
//   level, from the top of the signal's arguments. The bus refuses messages deeper than 64
//   levels (and disconnects their sender), so the encoder never builds one and the decoder
//   rejects one.
// - Failures: an encoder returns a negative errno-style value and logs why; the message is then
//   unusable. A decoder returns nullopt and logs one line saying why the signal was dropped.
//   Nothing throws (except std::bad_alloc).
// - The functions use only the message they are given; one message must not be used by two
//   threads at once (sd-bus objects are not thread-safe).
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Object.h"
#include "Platform/Foundation/SdBus.h"

namespace vrk::dbus {

// A bus object that is not connected to any daemon, only good for building messages and reading
// them back after SealForReading (fuzzers, tests). Null when sd-bus refuses (logged).
struct OfflineBusCloser {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using OfflineBusPtr = std::unique_ptr<sd_bus, OfflineBusCloser>;
OfflineBusPtr OpenOfflineBus();
// Seals a message built on an offline bus and rewinds it, as if it had been received.
// Returns 0 or a negative errno value.
int SealForReading(sd_bus_message* m);

// The deepest container nesting a message may have on the bus. Every array or dictionary of an
// Object takes at least two containers on the wire (the array and the variant inside it), so an
// Object that crosses the bus always stays within kMaxObjectNesting.
inline constexpr int kMaxNesting = kMaxObjectNesting;

// The pieces the signal format and the call arguments share.

// D-Bus strings are UTF-8 without NUL characters; anything else would be cut or refused.
bool IsBusText(std::string_view s);
// Why a message could not be read, for sd-bus's error `r`.
std::string SdBusError(int r);
// Why a value was refused for its nesting.
std::string TooDeep();

// Writes values into a message (the body of a Post signal, the arguments of a call). The first
// failure wins; later calls keep it.
class Writer final {
 public:
  explicit Writer(sd_bus_message* m) : m_(m) {}

  // Appends `value` as a variant inside `depth` open containers. A value that cannot cross
  // (a pointer, or a nil inside a collection) is left out with a log line.
  bool variant(const Object& value, int depth);

  // The body of a dictionary: a{sv} opened inside `depth` containers.
  bool dictionary(const ObjectDictionary& dict, int depth);

  bool open(char type, const char* contents, int depth);
  bool close();
  bool check(int r);
  bool fail(int r, std::string why);

  int error() const { return error_; }
  const std::string& why() const { return why_; }

 private:
  static const char* signatureOf(const Object& value);

  // The inside of a variant that `variant` has opened; `depth` counts that variant.
  bool contents(const Object& value, int depth);

  bool number(const Object& value);

  sd_bus_message* m_;
  int error_ = 0;
  std::string why_;
};

// Reads values from a message (the body of a Post signal, the arguments of a call). A value of a
// type that no Object holds is read past and noted, and costs only itself; the first failure of the
// message itself wins and says why the signal is dropped.
class Reader final {
 public:
  explicit Reader(sd_bus_message* m) : m_(m) {}

  // Reads one variant inside `depth` open containers; nullopt in `out` when it is left out.
  bool variant(int depth, const std::string& where, std::optional<Object>& out);

  // Reads a dictionary of element type `entry` ("{kv}") inside `depth` open containers. Keys
  // must be text; an entry whose value is left out is skipped.
  bool dictionary(std::string_view entry, int depth, const std::string& where,
                  std::optional<Object>& out);

  // A string, object path or signature: all three are text to an Object.
  std::optional<std::string> text(char type = 's');

  bool enter(char type, const char* contents, int depth);
  bool check(int r);
  bool refuse(std::string why);
  std::nullopt_t fail(std::string why);
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
  bool leaveOut(std::string_view type, const std::string& where, const char* what);

  void note(std::string what);

  // One value of the single complete type `type`, inside `depth` open containers.
  bool value(std::string_view type, int depth, const std::string& where,
             std::optional<Object>& out);

  // An array of element type `element`: bytes become data, entries with text keys a dictionary,
  // anything else an array of the elements that can be held.
  bool array(std::string_view element, int depth, const std::string& where,
             std::optional<Object>& out);

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
  bool notification(int depth, std::string_view* name);

  // One top-level argument of complete type `type`.
  bool argument(std::string_view type);

  std::size_t total() const { return total_; }
  const std::string& why() const { return why_; }

 private:
  static constexpr std::size_t kValueBytes = 16;

  bool optional(const char* contents, int depth);

  // One value of the single complete type `type`, inside `depth` open containers.
  bool value(std::string_view type, int depth);

  bool array(std::string_view type, int depth);

  // The size of one element of an array sd-bus hands over whole; 0 for any other element type.
  static std::size_t FixedWidth(std::string_view element);

  template <typename T>
  bool read(char type, T* out) {
    const int r = sd_bus_message_read_basic(m_, type, out);
    if (!check(r)) return false;
    return r > 0 || fail("a value is missing");
  }
  bool enter(char type, const char* contents, int depth);
  bool check(int r);
  bool fail(std::string why);

  sd_bus_message* m_;
  std::size_t total_ = 0;
  std::string why_;
};

// Reads one of the optional arguments: an array of zero (nil) or one element.
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

}  // namespace vrk::dbus
