// String tables (.strings files): the text format `"key" = "value";` that NSBundle reads for
// localizedStringForKey:value:table:.
//
// Contract:
// - Accepted: UTF-8 with or without a byte-order mark, UTF-16 LE or BE with a byte-order mark.
//   Comments /* ... */ and // to the end of the line. Keys and values quoted with " or ', or
//   unquoted words of letters, digits and _ $ / : . - as in the old property-list format.
//   `"key";` alone maps the key to itself. An optional { } around the entries. Escapes: \" \'
//   \\ \n \t \r \a \b \f \v, one to three octal digits, \U or \u with one to four hex digits
//   (UTF-16 units; a surrogate pair written as two escapes is joined), any other character
//   after \ stands for itself. A later duplicate key replaces the earlier one.
//   A file whose first non-blank text is "<?xml", "<!DOCTYPE" or "<plist" is read as an XML
//   property list whose top level is a dictionary (PropertyList.h), in the encoding XML gives
//   it, as every XML property list is: so a table declared as ISO-8859-1 is read, and one in
//   an encoding the reader does not know is refused. Its entries whose value is not a string
//   are left out (noted in `leftOut`); the others are kept.
// - Bad input (invalid UTF-8 or UTF-16, an unpaired surrogate, an unterminated string or
//   comment, a missing = or ;, XML that is not a property list of a dictionary) rejects the
//   whole table: the result is empty. Nothing is read past the given bytes, and nothing throws but
//   bad_alloc.
// - Pure functions; any thread may call them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vrk {

using StringsTable = std::map<std::string, std::string, std::less<>>;

// Decodes a table, or nullopt with the reason (and the line, where it has one) in `error`.
// Logs nothing, so that a fuzzer can call it at full speed.
std::optional<StringsTable> ParseStrings(std::span<const std::byte> bytes,
                                         std::string* error = nullptr,
                                         std::vector<std::string>* leftOut = nullptr);

// Decodes a table; bad input yields an empty table and one log line naming `source`.
StringsTable StringsTableFromData(std::span<const std::byte> bytes, std::string_view source);

// Reads and decodes the file at `path`; a file that cannot be read or decoded yields an empty
// table and one log line. Files above 16 MiB are refused rather than read.
StringsTable StringsTableWithContentsOfFile(const std::filesystem::path& path);

}  // namespace vrk
