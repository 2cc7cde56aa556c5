// XML property lists (Info.plist and the like) as Objects, and reading small files whole.
//
// Contract:
// - <dict> becomes a dictionary (keys are strings), <array> an array, <string> a string,
//   <integer> (decimal, or hexadecimal after 0x, with an optional sign) an NSInteger number,
//   <true/>/<false/> a BOOL number, <data> (base64) data, <date> its text as a string. The
//   <plist> wrapper is optional; the root may be any value.
// - A well-formed value that an Object cannot hold is left out, and only that value: every
//   <real> (Object has no floating-point kind, so 1.6, 1e19 and nan alike) and an <integer>
//   outside the signed 64-bit range. A dictionary loses that key, an array that element, and a
//   list whose root is such a value reads as nil. Each is noted in `leftOut`.
// - The encoding is XML's own: a byte-order mark, else the encoding that the XML declaration
//   names (UTF-8, UTF-16, ISO-8859-1 or US-ASCII; any other is refused), else UTF-8.
// - Bad input rejects the whole list: XML that is not well-formed (text or a second element
//   after the root, a character reference to NUL, an entity that is not declared; entities of
//   the internal DTD are expanded, external ones are never fetched and fail the list), an
//   unknown element, text inside a container, a <key> without a value, malformed integer or
//   real text, bad base64, invalid UTF-8, nesting deeper than 512 levels. Nothing is read past
//   the given bytes, and nothing throws but bad_alloc.
// - Pure functions; any thread may call them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Object.h"

namespace vrk {

// Decodes a property list, or nullopt with the reason in `error`. Each value left out adds one
// note (where it stood and what it was) to `leftOut`. Logs nothing.
std::optional<Object> ParsePropertyList(std::span<const std::byte> bytes,
                                        std::string* error = nullptr,
                                        std::vector<std::string>* leftOut = nullptr);

// Logs one line for `source` naming the values that ParsePropertyList left out; nothing when
// there are none.
void LogLeftOutValues(std::string_view source, const std::vector<std::string>& leftOut);

// Reads and decodes the file at `path`; a missing file yields nil silently, a file that cannot
// be read or decoded yields nil and one log line, and left-out values one log line.
Object PropertyListWithContentsOfFile(const std::filesystem::path& path);

// The bytes of the regular file at `path`, read whole through a close-on-exec descriptor;
// nullopt (with the reason in `error`) when it is missing, not a regular file, unreadable or
// larger than `maxBytes`.
std::optional<std::vector<std::byte>> DataWithContentsOfFile(const std::filesystem::path& path,
                                                             std::size_t maxBytes,
                                                             std::string* error = nullptr);

}  // namespace vrk
