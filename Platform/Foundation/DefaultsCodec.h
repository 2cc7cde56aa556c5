// The text forms of settings values: the JSON of one value (what a row of a suite's database
// holds), the JSON of a whole suite (what `vrk-defaults read` prints and what the first version
// of the store kept in one file per suite), and the lenient reader that imports such a file.
//
// Contract: pure functions over bytes and values; any thread may call them. Parsers log their
// reason (naming `what`) and return nullopt for input they refuse; nothing throws except
// std::bad_alloc. Nesting is bounded without recursion in the parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Object.h"

namespace vrk {

// Deepest nesting of containers that a suite may hold, counting the suite's own top-level
// dictionary. Deeper input is rejected so that no recursive walk over stored values can
// exhaust the stack.
inline constexpr int kMaxSettingsDepth = kMaxObjectNesting;

// Largest JSON text of one stored value (one row: a key's value, or one entry of a
// dictionary-valued key), and largest suite file that is imported. A value above it is
// refused when it is set and when it is read, so that no process spends several times such
// a size on one setting.
inline constexpr std::size_t kMaxSettingsValueBytes = 16u << 20;
inline constexpr std::size_t kMaxSettingsFileBytes = 256u << 20;

// Nesting level of the container that a top-level key's value opens (the suite is level 1),
// and of the container that an entry of a top-level dictionary opens.
inline constexpr int kKeyValueDepth = 2;
inline constexpr int kEntryValueDepth = 3;

// Parses the bytes of a whole suite in JSON (what `vrk-defaults read` prints, and what the
// first version of the store kept in one file per suite): one JSON object. Values the store
// cannot hold (floats, null, integers outside the signed 64-bit range) are left out wherever
// they stand, and every other value is kept: such a document is not corrupt. Each top-level key
// that lost something is logged once (naming `what`, the key and what was left out) and
// appended to `skippedKeys`. Returns nullopt, with a log line naming `what` and the reason, only
// for a document that is not a settings document: not JSON (bytes after the document or a NUL
// byte included, invalid UTF-8), not an object at the top, or nested deeper than
// kMaxSettingsDepth.
std::optional<ObjectDictionary> ParseSettingsFile(std::span<const std::byte> bytes,
                                                  std::string_view what,
                                                  std::vector<std::string>* skippedKeys = nullptr);

// The indented JSON text of `values`, which ParseSettingsFile reads back as equal values. A
// BOOL number becomes true/false, other numbers integers. Values JSON cannot hold (data,
// pointers, strings that are not UTF-8, containers nested too deep) are left out.
std::string SerializeSettings(const ObjectDictionary& values);

// The compact JSON text of one value whose containers open at nesting level `depth`
// (kKeyValueDepth for a key's value), or nullopt when the value cannot be stored: nil, data,
// a pointer, text that is not UTF-8, nesting too deep, or a text longer than
// kMaxSettingsValueBytes.
std::optional<std::string> EncodeSettingsValue(const Object& value, int depth);

// Parses the JSON text of one value of any supported type whose containers open at level
// `depth`. nullopt, logged with `what`, for anything else, a float or null anywhere included.
std::optional<Object> ParseSettingsValue(std::string_view text, int depth, std::string_view what);

// True when `value` can be stored under a key at the top level: a value EncodeSettingsValue
// accepts, except that a dictionary is judged entry by entry (each entry's text must fit).
bool IsStorableSettingsValue(const Object& value);

}  // namespace vrk
