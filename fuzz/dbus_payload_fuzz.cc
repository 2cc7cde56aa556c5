// The decoder of distributed notification signals. sd-bus offers no way to parse raw bytes into
// a message without a connection, so the fuzz input is a recipe instead: it picks the argument
// layout and then, byte by byte, the tree of values inside it. Most recipes build the expected
// `savaa{sv}` (or, for a Posts signal, an array of them) with arbitrary contents (every value type,
// wrong types, several elements, deep nesting, text that is not UTF-8); some build other layouts.
// Whatever sd-bus accepts is sealed and handed to the decoder, which must return without reading
// past the message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "Platform/Foundation/DBusCenterSignal.h"
#include "Platform/Foundation/NSDistributedNotificationCenter.h"
#include "Platform/Foundation/NSLog.h"

namespace {

class Recipe {
 public:
  Recipe(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t next16() {
    const std::uint16_t high = next();
    return static_cast<std::uint16_t>(high << 8 | next());
  }
  std::uint64_t next64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | next();
    return v;
  }
  // Mostly printable ASCII; with the top bit of the length byte set, raw bytes.
  std::string text() {
    const std::uint8_t header = next();
    std::string s;
    for (int i = 0; i < (header & 0x3F); ++i) {
      const std::uint8_t c = next();
      s.push_back(static_cast<char>((header & 0x80) ? c : 0x20 + c % 0x5F));
    }
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Containers open around a value: deep enough to pass the 64-level limit, shallow enough for
// sd-bus's own limit on building messages.
constexpr int kDeepest = 100;

void AppendVariant(sd_bus_message* m, Recipe& r, int depth);

void AppendDictionary(sd_bus_message* m, Recipe& r, int depth) {
  sd_bus_message_open_container(m, 'a', "{sv}");
  const int count = r.next() % 4;
  for (int i = 0; i < count; ++i) {
    sd_bus_message_open_container(m, 'e', "sv");
    const std::string key = r.text();
    sd_bus_message_append_basic(m, 's', key.c_str());
    AppendVariant(m, r, depth + 2);
    sd_bus_message_close_container(m);
  }
  sd_bus_message_close_container(m);
}

void AppendVariant(sd_bus_message* m, Recipe& r, int depth) {
  const std::uint8_t pick = depth >= kDeepest ? r.next() % 10 : r.next() % 22;
  switch (pick) {
    case 0: {
      const std::string s = r.text();
      sd_bus_message_append(m, "v", "s", s.c_str());
      break;
    }
    case 1:
      sd_bus_message_append(m, "v", "b", static_cast<int>(r.next() & 1));
      break;
    case 2:
      sd_bus_message_append(m, "v", "y", r.next());
      break;
    case 3:
      sd_bus_message_append(m, "v", "n", static_cast<std::int16_t>(r.next16()));
      break;
    case 4:
      sd_bus_message_append(m, "v", "q", r.next16());
      break;
    case 5:
      sd_bus_message_append(m, "v", "i", static_cast<std::int32_t>(r.next64()));
      break;
    case 6:
      sd_bus_message_append(m, "v", "u", static_cast<std::uint32_t>(r.next64()));
      break;
    case 7:
      sd_bus_message_append(m, "v", "x", static_cast<std::int64_t>(r.next64()));
      break;
    case 8:
      sd_bus_message_append(m, "v", "t", r.next64());
      break;
    case 9: {
      const std::string s = r.text();
      sd_bus_message_open_container(m, 'v', "ay");
      sd_bus_message_append_array(m, 'y', s.data(), s.size());
      sd_bus_message_close_container(m);
      break;
    }
    case 10:
    case 11: {
      sd_bus_message_open_container(m, 'v', "av");
      sd_bus_message_open_container(m, 'a', "v");
      const int count = r.next() % 4;
      for (int i = 0; i < count; ++i) AppendVariant(m, r, depth + 2);
      sd_bus_message_close_container(m);
      sd_bus_message_close_container(m);
      break;
    }
    case 12:
      sd_bus_message_open_container(m, 'v', "a{sv}");
      AppendDictionary(m, r, depth + 1);
      sd_bus_message_close_container(m);
      break;
    case 13:
      sd_bus_message_append(m, "v", "d", static_cast<double>(r.next()));
      break;
    case 14:
      sd_bus_message_append(m, "v", "as", 2, "a", "b");
      break;
    case 15:
      sd_bus_message_open_container(m, 'v', "v");
      AppendVariant(m, r, depth + 1);
      sd_bus_message_close_container(m);
      break;
    // What other programs send: maps of strings, structures, paths, lists of what no Object
    // holds, maps with integer keys, lists of lists.
    case 16: {
      const std::string k = r.text();
      const std::string v = r.text();
      sd_bus_message_append(m, "v", "a{ss}", 2, k.c_str(), v.c_str(), "HOME", "/home/me");
      break;
    }
    case 17: {
      const std::string s = r.text();
      sd_bus_message_append(m, "v", "(is)", static_cast<std::int32_t>(r.next()), s.c_str());
      break;
    }
    case 18:
      sd_bus_message_append(m, "v", "o", r.next() & 1 ? "/org/vrk/a" : "/");
      break;
    case 19:
      sd_bus_message_append(m, "v", "ad", 2, 1.5, static_cast<double>(r.next()));
      break;
    case 20:
      sd_bus_message_append(m, "v", "a{it}", 1, static_cast<std::int32_t>(r.next()), r.next64());
      break;
    default: {
      const std::string s = r.text();
      sd_bus_message_append(m, "v", "aas", 2, 1, s.c_str(), 0);
      break;
    }
  }
}

void AppendArguments(sd_bus_message* m, Recipe& r) {
  const std::uint8_t layout = r.next();
  const std::string name = r.text();
  sd_bus_message_append_basic(m, 's', name.c_str());
  if (layout % 8 == 7) return;  // the name alone

  sd_bus_message_open_container(m, 'a', "v");
  for (int i = 0, n = r.next() % 3; i < n; ++i) AppendVariant(m, r, 1);
  sd_bus_message_close_container(m);

  sd_bus_message_open_container(m, 'a', "a{sv}");
  for (int i = 0, n = r.next() % 3; i < n; ++i) AppendDictionary(m, r, 1);
  sd_bus_message_close_container(m);

  if (layout % 8 == 6) sd_bus_message_append(m, "s", "trailing");
}

// A Posts signal: an array of elements, each built as the arguments of a Post inside a
// structure (sd-bus refuses those whose layout does not fit the structure).
void AppendGathered(sd_bus_message* m, Recipe& r) {
  sd_bus_message_open_container(m, 'a', "(savaa{sv})");
  for (int i = 0, n = r.next() % 5; i < n; ++i) {
    sd_bus_message_open_container(m, 'r', "savaa{sv}");
    AppendArguments(m, r);
    sd_bus_message_close_container(m);
  }
  sd_bus_message_close_container(m);
}

}  // namespace

// A first byte with the top bit set makes a Posts signal of the rest; any other input is one
// Post's recipe, as it always was.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A refused signal logs a line; written out, they would cost more than the decoding.
  static vrk::LogSilence silence;
  static vrk::dbus::OfflineBusPtr bus = vrk::dbus::OpenOfflineBus();
  if (!bus) return 0;
  const bool gathered = size > 0 && (data[0] & 0x80) != 0;
  vrk::dbus::MessagePtr m =
      gathered ? vrk::dbus::NewPostsSignal(bus.get()) : vrk::dbus::NewPostSignal(bus.get());
  if (!m) return 0;
  Recipe recipe(gathered ? data + 1 : data, gathered ? size - 1 : size);
  if (gathered) {
    AppendGathered(m.get(), recipe);
  } else {
    AppendArguments(m.get(), recipe);
  }
  // A recipe that sd-bus refused part of leaves an unusable message; it cannot be received.
  if (vrk::dbus::SealForReading(m.get()) < 0) return 0;
  std::optional<std::vector<vrk::NSNotification>> plain = vrk::dbus::DecodeCenterSignal(m.get());
  // Weighing before decoding changes nothing for a receiver without a cap...
  std::vector<vrk::dbus::RefusedNotification> refused;
  std::optional<std::vector<vrk::NSNotification>> weighed =
      vrk::dbus::DecodeCenterSignal(m.get(), std::numeric_limits<std::size_t>::max(), &refused);
  if (plain.has_value() != weighed.has_value() || !refused.empty()) std::abort();
  if (plain) {
    if (plain->size() != weighed->size()) std::abort();
    for (std::size_t i = 0; i < plain->size(); ++i) {
      const vrk::NSNotification& a = (*plain)[i];
      const vrk::NSNotification& b = (*weighed)[i];
      if (a.name != b.name || a.object != b.object || a.userInfo != b.userInfo) std::abort();
    }
  }
  // ...and with one, what is delivered fits under it and what is refused weighs more.
  constexpr std::size_t kCap = 96;
  refused.clear();
  if (auto capped = vrk::dbus::DecodeCenterSignal(m.get(), kCap, &refused)) {
    for (const vrk::NSNotification& note : *capped) {
      if (vrk::DistributedPayloadSize(note) > kCap) std::abort();
    }
  }
  for (const vrk::dbus::RefusedNotification& one : refused) {
    if (one.size <= kCap) std::abort();
  }
  return 0;
}
