// The bytes of XPC messages on a Unix stream socket: length-framed dictionaries.
//
// A frame is an 8-byte header (payload length, 32-bit little-endian; kind, one byte; three zero
// bytes) and the payload, one encoded dictionary. A value is a tag byte and its body:
//   'd' dictionary: count (u32), then count pairs of key (u32 length + UTF-8) and value
//   'a' array: count (u32), then count values
//   's' string: length (u32) + UTF-8 without NUL
//   'i' integer: 8 bytes little-endian, two's complement
//   'b' boolean: one byte, 0 or 1
//   'D' data: length (u32) + bytes
// All integers are little-endian. Objects map as Object's kinds do (numbers decode as
// NSInteger or BOOL numbers).
//
// Contract:
// - Decoding is strict: a payload longer than kMaxPayload, an unknown tag or kind, a length
//   past the end, trailing bytes, a duplicate key, invalid UTF-8 or a NUL in a string, a boolean
//   other than 0 or 1, nonzero reserved header bytes, nesting deeper than kMaxDepth, or a root
//   that is not a dictionary rejects the whole frame with the reason in `error`. Nothing is read
//   past the given bytes. Nothing throws but bad_alloc.
// - Encoding fails (nullopt) for a root that is not a dictionary, a pointer value, a string
//   that is not valid UTF-8 or holds a NUL, nesting deeper than kMaxDepth, or a payload
//   larger than kMaxPayload.
// - The I/O helpers block the calling thread until the frame is through or the time-out
//   passes; the descriptor stays the caller's. Pure and thread-safe otherwise.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Foundation/Object.h"

namespace vrk::xpcwire {

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kMaxPayload = 64 * 1024;
inline constexpr int kMaxDepth = 32;

enum class FrameKind : std::uint8_t {
  Message = 1,            // no reply expected
  MessageWantsReply = 2,  // the peer answers with exactly one Reply, in order
  Reply = 3,
};

[[nodiscard]] std::optional<std::vector<std::byte>> EncodePayload(const Object& dictionary);
[[nodiscard]] std::optional<Object> DecodePayload(std::span<const std::byte> bytes,
                                                  std::string* error);

// The header's payload length and kind, or nullopt (with the reason) for a bad header.
struct FrameHeader {
  FrameKind kind;
  std::uint32_t length;
};
[[nodiscard]] std::optional<FrameHeader> ParseHeader(std::span<const std::byte> header,
                                                     std::string* error);

// A whole frame: header and payload.
[[nodiscard]] std::optional<std::vector<std::byte>> EncodeFrame(FrameKind kind,
                                                                const Object& dictionary);

enum class ReadStatus { Ok, Closed, TimedOut, Bad };
// Reads one frame from the stream socket `fd`. Closed: the peer closed before a header began.
// Bad: a bad header or payload, or the peer closed mid-frame (the reason is in `error`). The
// payload of an oversized frame is never read.
ReadStatus ReadFrame(int fd, std::chrono::milliseconds timeout, FrameKind* kind, Object* dictionary,
                     std::string* error);
// Writes all of `bytes`; false on an error or when the time-out passes first.
[[nodiscard]] bool WriteAll(int fd, std::span<const std::byte> bytes,
                            std::chrono::milliseconds timeout);

}  // namespace vrk::xpcwire
