#include "Platform/Foundation/DBusCenterSignal.h"

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "Platform/Foundation/NSLog.h"

namespace vrk::dbus {

namespace {

constexpr char kCannotPostLine[] = "NSDistributedNotificationCenter: cannot post %s: %s";
constexpr char kDroppedLine[] = "NSDistributedNotificationCenter: dropped a %s signal: %s";
constexpr char kLeftOutOfPostLine[] =
    "NSDistributedNotificationCenter: Post %s: left out %d value(s) that cannot be held: %s";

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

MessagePtr NewCenterSignal(sd_bus* bus, const char* member) {
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_signal(bus, &m, kPostPath, kPostInterface, member) < 0) return nullptr;
  return MessagePtr(m);
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

MessagePtr NewPostSignal(sd_bus* bus) {
  return NewCenterSignal(bus, kPostMember);
}

MessagePtr NewPostsSignal(sd_bus* bus) {
  return NewCenterSignal(bus, kPostsMember);
}

}  // namespace vrk::dbus
