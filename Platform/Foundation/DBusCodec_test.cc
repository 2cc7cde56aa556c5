// The value codec and the formats built on it, on messages built without a bus daemon.
#include "Platform/Foundation/DBusCodec.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/DBusCenterSignal.h"
#include "Platform/Foundation/NSLog.h"
#include "tests/support/ObjectSamples.h"

namespace vrk {
namespace {

constexpr char kDropped[] = "NSDistributedNotificationCenter: dropped a Post signal: ";

class DBusCodecTest : public ::testing::Test {
 protected:
  dbus::MessagePtr NewSignal() { return dbus::NewPostSignal(bus_.get()); }

  std::optional<NSNotification> RoundTrip(std::string_view name, const Object& object,
                                          const Object& userInfo) {
    dbus::MessagePtr m = NewSignal();
    if (dbus::AppendPostArguments(m.get(), name, object, userInfo) < 0) return std::nullopt;
    EXPECT_GE(dbus::SealForReading(m.get()), 0);
    return dbus::DecodePostSignal(m.get());
  }

  // Decodes a message whose body `build` writes directly with sd-bus.
  std::optional<NSNotification> Decode(const std::function<void(sd_bus_message*)>& build) {
    dbus::MessagePtr m = NewSignal();
    build(m.get());
    EXPECT_GE(dbus::SealForReading(m.get()), 0);
    return dbus::DecodePostSignal(m.get());
  }

  dbus::OfflineBusPtr bus_ = dbus::OpenOfflineBus();
  LogCapture log_;
};

TEST_F(DBusCodecTest, RoundTripKeepsValuesAndTheirTypes) {
  const Object userInfo = SampleUserInfo();
  for (const Object& object :
       {Object("obj"), Object::numberWithBool(false), Object::numberWithInteger(1LL << 40),
        Object::numberWithInt(3), userInfo, Object(ObjectArray{}), Object(ObjectData{7})}) {
    auto note = RoundTrip("name", object, userInfo);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->name, "name");
    EXPECT_EQ(note->object, object);
    EXPECT_EQ(Shape(note->object), Shape(object, true));
    EXPECT_EQ(note->userInfo, userInfo);
    EXPECT_EQ(Shape(note->userInfo), Shape(userInfo, true));
  }

  // nil and empty differ, for the userInfo as for the object.
  auto nils = RoundTrip("", Object(), Object());
  ASSERT_TRUE(nils);
  EXPECT_TRUE(nils->object.isNil());
  EXPECT_TRUE(nils->userInfo.isNil());
  auto empty = RoundTrip("n", Object(""), Object(ObjectDictionary{}));
  ASSERT_TRUE(empty);
  EXPECT_EQ(Shape(empty->object), "s");
  EXPECT_EQ(Shape(empty->userInfo), "{}");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(DBusCodecTest, ReadsEveryIntegerWidthAndRejectsWhatHasNoObject) {
  auto objectOf = [&](const char* type, auto value) {
    auto note = Decode([&](sd_bus_message* m) {
      sd_bus_message_append(m, "s", "n");
      sd_bus_message_append(m, "av", 1, type, value);
      sd_bus_message_append(m, "aa{sv}", 0);
    });
    return note ? note->object : Object("dropped");
  };
  EXPECT_EQ(Shape(objectOf("y", std::uint8_t{200})), "i");
  EXPECT_EQ(objectOf("y", std::uint8_t{200}).integerValue(), 200);
  EXPECT_EQ(objectOf("n", std::int16_t{-300}).integerValue(), -300);
  EXPECT_EQ(objectOf("q", std::uint16_t{60000}).integerValue(), 60000);
  EXPECT_EQ(objectOf("u", std::uint32_t{4000000000u}).integerValue(), 4000000000LL);
  EXPECT_EQ(Shape(objectOf("u", std::uint32_t{1})), "x");
  EXPECT_EQ(objectOf("t", std::uint64_t{1} << 62).integerValue(), 1LL << 62);
  EXPECT_EQ(objectOf("b", 5).boolValue(), true);
  EXPECT_EQ(Shape(objectOf("b", 0)), "b");
  EXPECT_TRUE(log_.lines().empty());

  // Text of every kind is a string; beyond NSInteger and a double, the object reads as nil.
  EXPECT_EQ(objectOf("o", "/a/path"), Object("/a/path"));
  EXPECT_EQ(objectOf("g", "a{sv}"), Object("a{sv}"));
  EXPECT_TRUE(log_.lines().empty());
  EXPECT_EQ(objectOf("t", ~std::uint64_t{0}), Object());
  EXPECT_EQ(objectOf("d", 1.5), Object());
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{
                "NSDistributedNotificationCenter: Post n: left out 1 value(s) that cannot be "
                "held: object (an integer beyond the signed 64-bit range)",
                "NSDistributedNotificationCenter: Post n: left out 1 value(s) that cannot be "
                "held: object (type 'd')",
            }));
}

// What gdbus, dbus-python and Gio send for lists and maps is converted; a value no Object
// holds costs that value only, and one line names it.
TEST_F(DBusCodecTest, ForeignValuesCostOnlyThemselves) {
  auto note = Decode([](sd_bus_message* m) {
    sd_bus_message_append(m, "sav", "n", 0);
    sd_bus_message_append(m, "aa{sv}", 1, 12,                       //
                          "scale", "d", 1.5,                        //
                          "point", "(ii)", 1, 2,                    //
                          "mixed", "av", 2, "d", 2.5, "s", "ok",    //
                          "tags", "as", 2, "a", "b",                //
                          "env", "a{ss}", 1, "HOME", "/home/me",    //
                          "nested", "v", "v", "s", "x",             //
                          "path", "o", "/org/x",                    //
                          "counts", "ai", 2, 1, 2,                  //
                          "doubles", "ad", 1, 0.5,                  //
                          "intKeys", "a{is}", 1, 7, "seven",        //
                          "big", "at", 2, UINT64_MAX, UINT64_C(5),  //
                          "deep", "a{sa{sv}}", 1, "k", 2, "x", "d", 1.0, "y", "b", 1);
  });
  ASSERT_TRUE(note);
  const Object expected = ObjectDictionary{
      {"mixed", ObjectArray{Object("ok")}},
      {"tags", ObjectArray{Object("a"), Object("b")}},
      {"env", ObjectDictionary{{"HOME", Object("/home/me")}}},
      {"nested", Object("x")},
      {"path", Object("/org/x")},
      {"counts", ObjectArray{Object::numberWithInt(1), Object::numberWithInt(2)}},
      {"big", ObjectArray{Object::numberWithInteger(5)}},
      {"deep", ObjectDictionary{{"k", ObjectDictionary{{"y", Object::numberWithBool(true)}}}}},
  };
  EXPECT_EQ(note->userInfo, expected);
  EXPECT_EQ(Shape(note->userInfo), Shape(expected));
  EXPECT_EQ(log_.lines(),
            std::vector<std::string>{
                "NSDistributedNotificationCenter: Post n: left out 7 value(s) that cannot be held: "
                "userInfo \"scale\" (type 'd'); userInfo \"point\" (type '(ii)'); userInfo "
                "\"mixed\" (type 'd'); ..."});
}

TEST_F(DBusCodecTest, DropsSignalsOfTheWrongShape) {
  struct Case {
    const char* what;
    std::function<void(sd_bus_message*)> build;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"name only", [](sd_bus_message* m) { sd_bus_message_append(m, "s", "n"); },
       "signature is 's', not 'savaa{sv}'"},
      {"no arguments", [](sd_bus_message*) {}, "signature is '', not 'savaa{sv}'"},
      {"trailing argument",
       [](sd_bus_message* m) { sd_bus_message_append(m, "savaa{sv}s", "n", 0, 0, "x"); },
       "signature is 'savaa{sv}s', not 'savaa{sv}'"},
      {"bare dictionary as userInfo",
       [](sd_bus_message* m) { sd_bus_message_append(m, "sava{sv}", "n", 0, 1, "k", "s", "v"); },
       "signature is 'sava{sv}', not 'savaa{sv}'"},
      {"two objects",
       [](sd_bus_message* m) {
         sd_bus_message_append(m, "sav", "n", 2, "s", "a", "s", "b");
         sd_bus_message_append(m, "aa{sv}", 0);
       },
       "object holds more than one element"},
      {"two userInfos",
       [](sd_bus_message* m) {
         sd_bus_message_append(m, "sav", "n", 0);
         sd_bus_message_append(m, "aa{sv}", 2, 1, "k", "s", "v", 0);
       },
       "userInfo holds more than one element"},
  };
  for (const Case& c : cases) {
    log_.clear();
    EXPECT_FALSE(Decode(c.build)) << c.what;
    EXPECT_EQ(log_.lines(), std::vector<std::string>{kDropped + c.why}) << c.what;
  }

  // A signal of another member is not ours to decode.
  sd_bus_message* other = nullptr;
  ASSERT_GE(
      sd_bus_message_new_signal(bus_.get(), &other, dbus::kPostPath, dbus::kPostInterface, "Other"),
      0);
  dbus::MessagePtr owner(other);
  sd_bus_message_append(other, "savaa{sv}", "n", 0, 0);
  ASSERT_GE(dbus::SealForReading(other), 0);
  EXPECT_FALSE(dbus::DecodePostSignal(other));
}

TEST_F(DBusCodecTest, NestingIsLimitedTo64LevelsBothWays) {
  // The object argument sits in an array and a variant; each nested array adds two levels, so
  // 31 arrays reach exactly 64.
  auto deepest = RoundTrip("n", Nested(31), Object());
  ASSERT_TRUE(deepest);
  EXPECT_EQ(deepest->object, Nested(31));

  EXPECT_FALSE(RoundTrip("n", Nested(32), Object()));
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"NSDistributedNotificationCenter: cannot post "
                                                   "n: nesting deeper than 64 levels"});

  // A peer that skips the daemon could send deeper values; they are refused, not recursed into.
  log_.clear();
  auto note = Decode([](sd_bus_message* m) {
    sd_bus_message_append(m, "s", "n");
    sd_bus_message_open_container(m, 'a', "v");
    for (int i = 0; i < 40; ++i) {
      sd_bus_message_open_container(m, 'v', "av");
      sd_bus_message_open_container(m, 'a', "v");
    }
    for (int i = 0; i < 80; ++i) sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
    sd_bus_message_append(m, "aa{sv}", 0);
  });
  EXPECT_FALSE(note);
  EXPECT_EQ(log_.lines(),
            std::vector<std::string>{std::string(kDropped) + "nesting deeper than 64 levels"});
}

// Several notifications in one Posts signal.
class PostsCodecTest : public DBusCodecTest {
 protected:
  std::optional<std::vector<NSNotification>> RoundTrip(const std::vector<NSNotification>& notes,
                                                       std::size_t* failedAt = nullptr) {
    dbus::MessagePtr m = dbus::NewPostsSignal(bus_.get());
    std::size_t failed = 0;
    if (dbus::AppendPostsArguments(m.get(), notes, &failed) < 0) {
      if (failedAt) *failedAt = failed;
      return std::nullopt;
    }
    EXPECT_GE(dbus::SealForReading(m.get()), 0);
    return dbus::DecodePostsSignal(m.get());
  }
  std::optional<std::vector<NSNotification>> Decode(
      const std::function<void(sd_bus_message*)>& build) {
    dbus::MessagePtr m = dbus::NewPostsSignal(bus_.get());
    build(m.get());
    EXPECT_GE(dbus::SealForReading(m.get()), 0);
    return dbus::DecodePostsSignal(m.get());
  }
};

TEST_F(PostsCodecTest, KeepsEveryNotificationItsValuesAndTheOrder) {
  const std::vector<NSNotification> sent = {
      {"a", Object("x"), SampleUserInfo()},
      {"b", Object(), Object()},
      {"a", Object::numberWithInteger(7), Object(ObjectDictionary{})},
      {"c", Nested(30), Object()},  // the deepest an element can carry
  };
  auto got = RoundTrip(sent);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ((*got)[i].name, sent[i].name) << i;
    EXPECT_EQ((*got)[i].object, sent[i].object) << i;
    EXPECT_EQ(Shape((*got)[i].userInfo), Shape(sent[i].userInfo, true)) << i;
  }
  EXPECT_TRUE(log_.lines().empty());

  // An element cannot be one level as deep as a lone Post: the encoder says which one failed.
  std::size_t failedAt = 99;
  EXPECT_FALSE(RoundTrip({{"ok", Object(), Object()}, {"deep", Nested(31), Object()}}, &failedAt));
  EXPECT_EQ(failedAt, 1u);
  failedAt = 99;
  EXPECT_FALSE(RoundTrip({{"\xFF", Object(), Object()}}, &failedAt));
  EXPECT_EQ(failedAt, 0u);
}

TEST_F(PostsCodecTest, DropsTheWholeSignalWhenAnyPartIsWrong) {
  const std::string dropped = "NSDistributedNotificationCenter: dropped a Posts signal: ";
  struct Case {
    const char* what;
    std::function<void(sd_bus_message*)> build;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"a lone Post's layout",
       [](sd_bus_message* m) { sd_bus_message_append(m, "savaa{sv}", "n", 0, 0); },
       "signature is 'savaa{sv}', not 'a(savaa{sv})'"},
      {"an element with two objects",
       [](sd_bus_message* m) {
         sd_bus_message_open_container(m, 'a', "(savaa{sv})");
         sd_bus_message_append(m, "(savaa{sv})", "good", 0, 0);
         sd_bus_message_open_container(m, 'r', "savaa{sv}");
         sd_bus_message_append(m, "sav", "bad", 2, "s", "a", "s", "b");
         sd_bus_message_append(m, "aa{sv}", 0);
         sd_bus_message_close_container(m);
         sd_bus_message_close_container(m);
       },
       "object holds more than one element"},
      {"too many elements",
       [](sd_bus_message* m) {
         sd_bus_message_open_container(m, 'a', "(savaa{sv})");
         for (std::size_t i = 0; i <= dbus::kMaxPostsPerSignal; ++i) {
           sd_bus_message_append(m, "(savaa{sv})", "n", 0, 0);
         }
         sd_bus_message_close_container(m);
       },
       "more than 1024 notifications"},
  };
  for (const Case& c : cases) {
    log_.clear();
    EXPECT_FALSE(Decode(c.build)) << c.what;
    EXPECT_EQ(log_.lines(), std::vector<std::string>{dropped + c.why}) << c.what;
  }
  // A Post is not a Posts signal, and the other way round.
  dbus::MessagePtr post = dbus::NewPostSignal(bus_.get());
  ASSERT_GE(dbus::AppendPostArguments(post.get(), "n", Object(), Object()), 0);
  ASSERT_GE(dbus::SealForReading(post.get()), 0);
  EXPECT_FALSE(dbus::DecodePostsSignal(post.get()));
  dbus::MessagePtr posts = dbus::NewPostsSignal(bus_.get());
  std::size_t failedAt = 0;
  const std::vector<NSNotification> two = {{"n", Object(), Object()}, {"m", Object(), Object()}};
  ASSERT_GE(dbus::AppendPostsArguments(posts.get(), two, &failedAt), 0);
  ASSERT_GE(dbus::SealForReading(posts.get()), 0);
  EXPECT_FALSE(dbus::DecodePostSignal(posts.get()));
}

TEST_F(DBusCodecTest, EncoderLeavesOutPointersAndRefusesBadText) {
  int anchor = 0;
  const Object pointer = Object::valueWithPointer(&anchor);
  auto note = RoundTrip(
      "n", pointer,
      ObjectDictionary{{"mach", pointer},
                       {"list", ObjectArray{Object("a"), pointer, Object(), Object("b")}}});
  ASSERT_TRUE(note);
  EXPECT_TRUE(note->object.isNil());
  EXPECT_EQ(note->userInfo, Object(ObjectDictionary{{"list", ObjectArray{"a", "b"}}}));
  const std::string leftOut =
      "NSDistributedNotificationCenter: a pointer value cannot be posted; left out";
  EXPECT_EQ(log_.count(leftOut), 3u);
  EXPECT_EQ(log_.count("NSDistributedNotificationCenter: a nil value cannot be posted; left out"),
            1u);

  log_.clear();
  EXPECT_FALSE(RoundTrip("n", Object("bad \xC0\xAF"), Object()));
  EXPECT_FALSE(RoundTrip("n", Object(), ObjectDictionary{{"\xFF", Object("v")}}));
  EXPECT_FALSE(RoundTrip(std::string_view("a\0b", 3), Object(), Object()));
  EXPECT_FALSE(RoundTrip("n", Object(), Object("not a dictionary")));
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{
                "NSDistributedNotificationCenter: cannot post n: a string is not valid UTF-8",
                "NSDistributedNotificationCenter: cannot post n: a dictionary key is not valid "
                "UTF-8",
                "NSDistributedNotificationCenter: cannot post (invalid name): the name is not "
                "valid UTF-8",
                "NSDistributedNotificationCenter: cannot post n: userInfo is not a dictionary",
            }));
}

}  // namespace
}  // namespace vrk
