// XML property lists (Info.plist and the like) as Objects, and reading small files whole.
//
// Contract:
// - <dict> becomes a dictionary (keys are strings), <array> an array, <string> a string,
//   <integer> an NSInteger number, <true/>/<false/> a BOOL number, <data> (base64) data,
//   <date> its text as a string, <real> an NSInteger number truncated toward zero (Object has
//   no floating-point kind). The <plist> wrapper is optional; the root may be any value.
// - Bad input (not well-formed XML, an unknown element, a <key> without a value, an integer out
//   of range, bad base64, invalid UTF-8, nesting deeper than 512 levels) rejects the whole list.
//   Nothing is read past the given bytes, and nothing throws but bad_alloc.
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

// Decodes a property list, or nullopt with the reason in `error`. Logs nothing.
std::optional<Object> ParsePropertyList(std::span<const std::byte> bytes,
                                        std::string* error = nullptr);

// Reads and decodes the file at `path`; a missing file yields nil silently, a file that cannot
// be read or decoded yields nil and one log line.
Object PropertyListWithContentsOfFile(const std::filesystem::path& path);

// The bytes of the regular file at `path`, read whole through a close-on-exec descriptor;
// nullopt (with the reason in `error`) when it is missing, not a regular file, unreadable or
// larger than `maxBytes`.
std::optional<std::vector<std::byte>> DataWithContentsOfFile(const std::filesystem::path& path,
                                                             std::size_t maxBytes,
                                                             std::string* error = nullptr);

}  // namespace vrk
