// Encoding, strict decoding and blocking frame I/O of XPC messages.
#include "Platform/XPC/XPCWire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vrk::xpcwire {
namespace {

using Clock = std::chrono::steady_clock;

class Writer {
 public:
  bool value(const Object& o, int depth) {
    if (depth > kMaxDepth || out_.size() > kMaxPayload) return false;
    switch (o.kind()) {
      case Object::Kind::String:
        return string('s', *o.string());
      case Object::Kind::Number:
        if (o.numberType() == Object::NumberType::Bool) {
          tag('b');
          out_.push_back(std::byte(o.boolValue() ? 1 : 0));
        } else {
          tag('i');
          u64(static_cast<std::uint64_t>(o.integerValue()));
        }
        return true;
      case Object::Kind::Array: {
        tag('a');
        u32(static_cast<std::uint32_t>(o.count()));
        for (const Object& e : *o.array()) {
          if (!value(e, depth + 1)) return false;
        }
        return true;
      }
      case Object::Kind::Dictionary:
        return dictionary(o, depth);
      case Object::Kind::Data: {
        tag('D');
        const ObjectData& d = *o.data();
        u32(static_cast<std::uint32_t>(d.size()));
        const auto* p = reinterpret_cast<const std::byte*>(d.data());
        out_.insert(out_.end(), p, p + d.size());
        return true;
      }
      default:
        return false;
    }
  }
  bool dictionary(const Object& o, int depth) {
    tag('d');
    u32(static_cast<std::uint32_t>(o.count()));
    for (const auto& [key, v] : *o.dictionary()) {
      if (!text(key) || !value(v, depth + 1)) return false;
    }
    return true;
  }
  std::vector<std::byte>& bytes() { return out_; }

 private:
  void tag(char t) { out_.push_back(std::byte(t)); }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(std::byte((v >> (8 * i)) & 0xff));
  }
  void u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out_.push_back(std::byte((v >> (8 * i)) & 0xff));
  }
  bool text(const std::string& s) {
    if (s.size() > kMaxPayload || s.find('\0') != std::string::npos || !IsValidUTF8(s)) {
      return false;
    }
    u32(static_cast<std::uint32_t>(s.size()));
    const auto* p = reinterpret_cast<const std::byte*>(s.data());
    out_.insert(out_.end(), p, p + s.size());
    return true;
  }
  bool string(char t, const std::string& s) {
    tag(t);
    return text(s);
  }
  std::vector<std::byte> out_;
};

class Reader {
 public:
  Reader(std::span<const std::byte> in, std::string* error) : in_(in), error_(error) {}

  std::optional<Object> value(int depth) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    auto t = byte();
    if (!t) return std::nullopt;
    switch (static_cast<char>(*t)) {
      case 'd':
        return dictionary(depth);
      case 'a': {
        auto n = u32();
        if (!n) return std::nullopt;
        // Every element takes at least two bytes, so a count beyond that is a lie.
        if (*n > remaining() / 2) return fail("array count past the end");
        ObjectArray a;
        a.reserve(*n);
        for (std::uint32_t i = 0; i < *n; ++i) {
          auto v = value(depth + 1);
          if (!v) return std::nullopt;
          a.push_back(std::move(*v));
        }
        return Object(std::move(a));
      }
      case 's': {
        auto s = text();
        if (!s) return std::nullopt;
        return Object(std::move(*s));
      }
      case 'i': {
        if (remaining() < 8) return fail("integer past the end");
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
          v |= std::uint64_t(std::to_integer<std::uint8_t>(in_[pos_ + i])) << (8 * i);
        pos_ += 8;
        return Object::numberWithInteger(static_cast<std::int64_t>(v));
      }
      case 'b': {
        auto b = byte();
        if (!b) return std::nullopt;
        if (*b != std::byte(0) && *b != std::byte(1)) return fail("boolean is not 0 or 1");
        return Object::numberWithBool(*b == std::byte(1));
      }
      case 'D': {
        auto n = u32();
        if (!n) return std::nullopt;
        if (*n > remaining()) return fail("data past the end");
        const auto* p = reinterpret_cast<const std::uint8_t*>(in_.data() + pos_);
        pos_ += *n;
        return Object(ObjectData(p, p + *n));
      }
      default:
        return fail("unknown tag");
    }
  }

  std::optional<Object> dictionary(int depth) {
    auto n = u32();
    if (!n) return std::nullopt;
    // A key takes at least four bytes and a value at least two.
    if (*n > remaining() / 6) return fail("dictionary count past the end");
    ObjectDictionary d;
    for (std::uint32_t i = 0; i < *n; ++i) {
      auto key = text();
      if (!key) return std::nullopt;
      auto v = value(depth + 1);
      if (!v) return std::nullopt;
      if (!d.emplace(std::move(*key), std::move(*v)).second) return fail("duplicate key");
    }
    return Object(std::move(d));
  }

  std::size_t remaining() const { return in_.size() - pos_; }
  std::optional<std::byte> byte() {
    if (remaining() < 1) return fail<std::byte>("value past the end");
    return in_[pos_++];
  }

  template <typename T = Object>
  std::optional<T> fail(const char* why) {
    if (error_ && error_->empty()) *error_ = why;
    return std::nullopt;
  }

 private:
  std::optional<std::uint32_t> u32() {
    if (remaining() < 4) return fail<std::uint32_t>("length past the end");
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
      v |= std::uint32_t(std::to_integer<std::uint8_t>(in_[pos_ + i])) << (8 * i);
    pos_ += 4;
    return v;
  }
  std::optional<std::string> text() {
    auto n = u32();
    if (!n) return std::nullopt;
    if (*n > remaining()) return fail<std::string>("string past the end");
    std::string s(reinterpret_cast<const char*>(in_.data() + pos_), *n);
    pos_ += *n;
    if (s.find('\0') != std::string::npos) return fail<std::string>("NUL inside a string");
    if (!IsValidUTF8(s)) return fail<std::string>("string is not UTF-8");
    return s;
  }

  std::span<const std::byte> in_;
  std::size_t pos_ = 0;
  std::string* error_;
};

// Waits until `fd` is ready for `events` or the deadline passes.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

enum class Got { All, Closed, Partial, TimedOut, Error };
Got ReadExactly(int fd, std::byte* out, std::size_t n, Clock::time_point deadline) {
  std::size_t got = 0;
  while (got < n) {
    if (!WaitFor(fd, POLLIN, deadline)) return Got::TimedOut;
    ssize_t r = ::recv(fd, out + got, n - got, MSG_DONTWAIT);
    if (r == 0) return got == 0 ? Got::Closed : Got::Partial;
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return got == 0 && errno == ECONNRESET ? Got::Closed : Got::Error;
    }
    got += static_cast<std::size_t>(r);
  }
  return Got::All;
}

}  // namespace

std::optional<std::vector<std::byte>> EncodePayload(const Object& dictionary) {
  if (dictionary.kind() != Object::Kind::Dictionary) return std::nullopt;
  Writer w;
  if (!w.dictionary(dictionary, 0) || w.bytes().size() > kMaxPayload) return std::nullopt;
  return std::move(w.bytes());
}

std::optional<Object> DecodePayload(std::span<const std::byte> bytes, std::string* error) {
  if (bytes.size() > kMaxPayload) {
    if (error) *error = "payload too large";
    return std::nullopt;
  }
  Reader r(bytes, error);
  auto t = r.byte();
  if (!t) return std::nullopt;
  if (*t != std::byte('d')) return r.fail("the message is not a dictionary");
  auto d = r.dictionary(0);
  if (!d) return std::nullopt;
  if (r.remaining() != 0) return r.fail("bytes after the message");
  return d;
}

std::optional<FrameHeader> ParseHeader(std::span<const std::byte> h, std::string* error) {
  auto fail = [&](const char* why) -> std::optional<FrameHeader> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (h.size() != kHeaderSize) return fail("short header");
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i)
    length |= std::uint32_t(std::to_integer<std::uint8_t>(h[i])) << (8 * i);
  auto kind = std::to_integer<std::uint8_t>(h[4]);
  if (kind < 1 || kind > 3) return fail("unknown frame kind");
  if (h[5] != std::byte(0) || h[6] != std::byte(0) || h[7] != std::byte(0)) {
    return fail("reserved header bytes are not zero");
  }
  if (length > kMaxPayload) return fail("frame too large");
  if (length == 0) return fail("empty frame");
  return FrameHeader{static_cast<FrameKind>(kind), length};
}

std::optional<std::vector<std::byte>> EncodeFrame(FrameKind kind, const Object& dictionary) {
  auto payload = EncodePayload(dictionary);
  if (!payload) return std::nullopt;
  std::vector<std::byte> frame(kHeaderSize);
  auto length = static_cast<std::uint32_t>(payload->size());
  for (int i = 0; i < 4; ++i) frame[i] = std::byte((length >> (8 * i)) & 0xff);
  frame[4] = std::byte(static_cast<std::uint8_t>(kind));
  frame.insert(frame.end(), payload->begin(), payload->end());
  return frame;
}

ReadStatus ReadFrame(int fd, std::chrono::milliseconds timeout, FrameKind* kind, Object* dictionary,
                     std::string* error) {
  auto deadline = Clock::now() + timeout;
  std::byte header[kHeaderSize];
  switch (ReadExactly(fd, header, kHeaderSize, deadline)) {
    case Got::All:
      break;
    case Got::Closed:
      return ReadStatus::Closed;
    case Got::TimedOut:
      return ReadStatus::TimedOut;
    default:
      if (error) *error = "connection closed inside a header";
      return ReadStatus::Bad;
  }
  auto h = ParseHeader(header, error);
  if (!h) return ReadStatus::Bad;
  std::vector<std::byte> payload(h->length);
  switch (ReadExactly(fd, payload.data(), payload.size(), deadline)) {
    case Got::All:
      break;
    case Got::TimedOut:
      if (error) *error = "frame not complete in time";
      return ReadStatus::TimedOut;
    default:
      if (error) *error = "connection closed inside a frame";
      return ReadStatus::Bad;
  }
  auto d = DecodePayload(payload, error);
  if (!d) return ReadStatus::Bad;
  *kind = h->kind;
  *dictionary = std::move(*d);
  return ReadStatus::Ok;
}

bool WriteAll(int fd, std::span<const std::byte> bytes, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (!WaitFor(fd, POLLOUT, deadline)) return false;
    ssize_t w = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    sent += static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace vrk::xpcwire
