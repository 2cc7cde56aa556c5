// XPC frames: what round-trips, and the bad frames that strict decoding refuses.
#include "Platform/XPC/XPCWire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "Platform/Foundation/UniqueFd.h"

namespace vrk::xpcwire {
namespace {

std::vector<std::byte> Bytes(std::initializer_list<int> v) {
  std::vector<std::byte> out;
  for (int b : v) out.push_back(std::byte(b));
  return out;
}

std::vector<std::byte> Text(std::string_view s) {
  std::vector<std::byte> out;
  auto n = static_cast<std::uint32_t>(s.size());
  for (int i = 0; i < 4; ++i) out.push_back(std::byte((n >> (8 * i)) & 0xff));
  for (char c : s) out.push_back(std::byte(c));
  return out;
}

// A one-key dictionary whose value is the given encoded bytes.
std::vector<std::byte> OneKey(std::vector<std::byte> value) {
  auto out = Bytes({'d', 1, 0, 0, 0});
  auto key = Text("k");
  out.insert(out.end(), key.begin(), key.end());
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

TEST(XPCWire, EveryKindRoundTrips) {
  ObjectDictionary inner{{"n", Object::numberWithInteger(-5)}, {"t", Object::numberWithBool(true)}};
  ObjectDictionary d{
      {"sourcePath", Object("/tmp/a b/é")},
      {"list", Object(ObjectArray{Object("x"), Object::numberWithInteger(1LL << 40)})},
      {"data", Object(ObjectData{0, 1, 255})},
      {"inner", Object(inner)},
      {"empty", Object(ObjectDictionary{})}};
  auto bytes = EncodePayload(Object(d));
  ASSERT_TRUE(bytes);
  std::string error;
  auto back = DecodePayload(*bytes, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->description(), Object(d).description());
  EXPECT_TRUE(back->objectForKey("inner").objectForKey("t").boolValue());
}

TEST(XPCWire, EncodingRefusesWhatCannotCross) {
  EXPECT_FALSE(EncodePayload(Object("not a dictionary")));
  EXPECT_FALSE(EncodePayload(Object(ObjectDictionary{{"k", Object(std::string("a\0b", 3))}})));
  EXPECT_FALSE(EncodePayload(Object(ObjectDictionary{{"k", Object(std::string("\xff"))}})));
  EXPECT_FALSE(
      EncodePayload(Object(ObjectDictionary{{"k", Object(std::string(kMaxPayload, 'a'))}})));
  Object deep = Object(ObjectDictionary{});
  for (int i = 0; i < kMaxDepth + 2; ++i) deep = Object(ObjectArray{deep});
  EXPECT_FALSE(EncodePayload(Object(ObjectDictionary{{"k", deep}})));
}

TEST(XPCWire, StrictDecodingRefusesBadPayloads) {
  struct Case {
    const char* name;
    std::vector<std::byte> bytes;
  } cases[] = {
      {"empty", {}},
      {"array root", Bytes({'a', 0, 0, 0, 0})},
      {"unknown tag", OneKey(Bytes({'x'}))},
      {"count past the end", Bytes({'d', 0xff, 0xff, 0xff, 0xff})},
      {"string past the end", OneKey(Bytes({'s', 9, 0, 0, 0, 'a'}))},
      {"truncated integer", OneKey(Bytes({'i', 1, 2, 3}))},
      {"boolean 2", OneKey(Bytes({'b', 2}))},
      {"NUL in string", OneKey(Bytes({'s', 3, 0, 0, 0, 'a', 0, 'b'}))},
      {"overlong UTF-8", OneKey(Bytes({'s', 2, 0, 0, 0, 0xc0, 0xaf}))},
      {"surrogate", OneKey(Bytes({'s', 3, 0, 0, 0, 0xed, 0xa0, 0x80}))},
      {"cut sequence", OneKey(Bytes({'s', 1, 0, 0, 0, 0xe2}))},
      {"trailing bytes",
       [] {
         auto b = OneKey(Bytes({'b', 1}));
         b.push_back(std::byte(0));
         return b;
       }()},
      {"duplicate key",
       [] {
         auto b = Bytes({'d', 2, 0, 0, 0});
         for (int i = 0; i < 2; ++i) {
           auto k = Text("k");
           b.insert(b.end(), k.begin(), k.end());
           b.push_back(std::byte('b'));
           b.push_back(std::byte(0));
         }
         return b;
       }()},
      {"too deep",
       [] {
         std::vector<std::byte> b = Bytes({'d', 1, 0, 0, 0});
         auto k = Text("k");
         b.insert(b.end(), k.begin(), k.end());
         for (int i = 0; i < kMaxDepth + 2; ++i) {
           b.push_back(std::byte('a'));
           for (int j : {1, 0, 0, 0}) b.push_back(std::byte(j));
         }
         b.push_back(std::byte('b'));
         b.push_back(std::byte(0));
         return b;
       }()},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(DecodePayload(c.bytes, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

TEST(XPCWire, HeadersAreCheckedBeforeAnyPayloadIsRead) {
  auto header = [](std::uint32_t length, int kind, int reserved = 0) {
    return Bytes({int(length & 0xff), int((length >> 8) & 0xff), int((length >> 16) & 0xff),
                  int(length >> 24), kind, reserved, 0, 0});
  };
  EXPECT_TRUE(ParseHeader(header(10, 2), nullptr));
  EXPECT_FALSE(ParseHeader(header(0, 2), nullptr));
  EXPECT_FALSE(ParseHeader(header(kMaxPayload + 1, 2), nullptr));
  EXPECT_FALSE(ParseHeader(header(1 << 20, 2), nullptr));
  EXPECT_FALSE(ParseHeader(header(10, 0), nullptr));
  EXPECT_FALSE(ParseHeader(header(10, 4), nullptr));
  EXPECT_FALSE(ParseHeader(header(10, 1, 1), nullptr));
  EXPECT_FALSE(ParseHeader(Bytes({1, 0, 0}), nullptr));

  // Over a socket: an oversized header is refused without waiting for its payload, and a frame
  // cut short by the peer is bad, not a clean close.
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  UniqueFd a(sv[0]), b(sv[1]);
  auto big = header(1 << 20, 2);
  ASSERT_EQ(::send(a.get(), big.data(), big.size(), 0), 8);
  FrameKind kind;
  Object dict;
  std::string error;
  EXPECT_EQ(ReadFrame(b.get(), std::chrono::seconds(5), &kind, &dict, &error), ReadStatus::Bad);
  auto frame = EncodeFrame(FrameKind::MessageWantsReply,
                           Object(ObjectDictionary{{"sourcePath", Object("/a")}}));
  ASSERT_TRUE(frame);
  ASSERT_TRUE(WriteAll(a.get(), *frame, std::chrono::seconds(5)));
  ASSERT_EQ(ReadFrame(b.get(), std::chrono::seconds(5), &kind, &dict, &error), ReadStatus::Ok);
  EXPECT_EQ(kind, FrameKind::MessageWantsReply);
  EXPECT_EQ(dict.objectForKey("sourcePath").stringValue(), "/a");
  ASSERT_EQ(::send(a.get(), frame->data(), frame->size() - 1, 0), ssize_t(frame->size() - 1));
  a.reset();
  EXPECT_EQ(ReadFrame(b.get(), std::chrono::seconds(5), &kind, &dict, &error), ReadStatus::Bad);
}

}  // namespace
}  // namespace vrk::xpcwire
