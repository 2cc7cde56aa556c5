#include "Platform/Foundation/StringsFile.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/Object.h"
#include "Platform/Foundation/PropertyList.h"

namespace vrk {
namespace {

constexpr std::size_t kMaxStringsFileBytes = 16 * 1024 * 1024;

void AppendUTF8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool IsHighSurrogate(char32_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char32_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// UTF-16 (after its byte-order mark) to UTF-8; false on an odd length or a lone surrogate.
bool UTF16ToUTF8(std::span<const std::byte> bytes, bool bigEndian, std::string& out,
                 std::string& error) {
  if (bytes.size() % 2 != 0) {
    error = "UTF-16 text of odd length";
    return false;
  }
  auto unit = [&](std::size_t i) -> char32_t {
    auto a = static_cast<char32_t>(bytes[2 * i]);
    auto b = static_cast<char32_t>(bytes[2 * i + 1]);
    return bigEndian ? (a << 8 | b) : (b << 8 | a);
  };
  const std::size_t units = bytes.size() / 2;
  out.reserve(units);
  for (std::size_t i = 0; i < units; ++i) {
    char32_t u = unit(i);
    if (IsHighSurrogate(u)) {
      if (i + 1 >= units || !IsLowSurrogate(unit(i + 1))) {
        error = "unpaired UTF-16 surrogate";
        return false;
      }
      u = 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (IsLowSurrogate(u)) {
      error = "unpaired UTF-16 surrogate";
      return false;
    }
    AppendUTF8(out, u);
  }
  return true;
}

// Turns the file's bytes into UTF-8 text, dropping any byte-order mark.
bool DecodeText(std::span<const std::byte> bytes, std::string& text, std::string& error) {
  auto starts = [&](std::initializer_list<unsigned> mark) {
    if (bytes.size() < mark.size()) return false;
    std::size_t i = 0;
    for (unsigned b : mark) {
      if (static_cast<unsigned>(bytes[i++]) != b) return false;
    }
    return true;
  };
  if (starts({0xFF, 0xFE})) return UTF16ToUTF8(bytes.subspan(2), false, text, error);
  if (starts({0xFE, 0xFF})) return UTF16ToUTF8(bytes.subspan(2), true, text, error);
  if (starts({0xEF, 0xBB, 0xBF})) bytes = bytes.subspan(3);
  text.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!IsValidUTF8(text)) {
    error = "text is neither UTF-8 nor UTF-16 with a byte-order mark";
    return false;
  }
  return true;
}

// A recursive-descent reader over UTF-8 text. Every access is bounds-checked through peek().
class StringsParser {
 public:
  explicit StringsParser(std::string_view text) : text_(text) {}

  std::optional<StringsTable> parse(std::string& error) {
    StringsTable table;
    if (!skipBlanks()) return fail(error);
    bool braced = false;
    if (peek() == '{') {
      braced = true;
      ++pos_;
    }
    while (true) {
      if (!skipBlanks()) return fail(error);
      if (atEnd()) {
        if (braced) error_ = "missing }";
        break;
      }
      if (braced && peek() == '}') {
        ++pos_;
        if (!skipBlanks()) return fail(error);
        if (!atEnd()) error_ = "text after }";
        break;
      }
      if (!entry(table)) break;
    }
    if (!error_.empty()) return fail(error);
    return table;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek(std::size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }

  std::optional<StringsTable> fail(std::string& error) {
    int line = 1;
    for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) line += text_[i] == '\n';
    error = error_ + " (line " + std::to_string(line) + ")";
    return std::nullopt;
  }

  bool setError(const char* what) {
    if (error_.empty()) error_ = what;
    return false;
  }

  // Skips white space and comments; false on an unterminated comment.
  bool skipBlanks() {
    while (!atEnd()) {
      char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (c == '/' && peek(1) == '*') {
        std::size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) return setError("unterminated comment");
        pos_ = end + 2;
      } else if (c == '/' && peek(1) == '/') {
        while (!atEnd() && peek() != '\n' && peek() != '\r') ++pos_;
      } else {
        break;
      }
    }
    return true;
  }

  // key = value ;   or   key ;
  bool entry(StringsTable& table) {
    std::string key;
    if (!string(key)) return false;
    if (!skipBlanks()) return false;
    if (peek() == ';') {
      ++pos_;
      std::string value = key;
      table.insert_or_assign(std::move(key), std::move(value));
      return true;
    }
    if (peek() != '=') return setError("expected = or ; after a key");
    ++pos_;
    if (!skipBlanks()) return false;
    std::string value;
    if (!string(value)) return false;
    if (!skipBlanks()) return false;
    if (peek() != ';') return setError("expected ; after a value");
    ++pos_;
    table.insert_or_assign(std::move(key), std::move(value));
    return true;
  }

  static bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '/' || c == ':' || c == '.' || c == '-';
  }

  bool string(std::string& out) {
    if (atEnd()) return setError("unexpected end of text");
    char c = peek();
    if (c == '"' || c == '\'') return quoted(out);
    if (!IsWordChar(c)) return setError("expected a string");
    while (!atEnd() && IsWordChar(peek())) out += text_[pos_++];
    return true;
  }

  bool quoted(std::string& out) {
    const char quote = text_[pos_++];
    char32_t pendingHigh = 0;  // a high surrogate from \U waiting for its low half
    while (true) {
      if (atEnd()) return setError("unterminated string");
      char c = text_[pos_++];
      if (c == quote && pendingHigh == 0) return true;
      if (c != '\\') {
        if (pendingHigh != 0) return setError("unpaired surrogate escape");
        out += c;
        continue;
      }
      if (atEnd()) return setError("unterminated string");
      char32_t unit = 0;
      bool isUnit = false;
      char e = text_[pos_++];
      switch (e) {
        case 'n':
          unit = '\n';
          break;
        case 't':
          unit = '\t';
          break;
        case 'r':
          unit = '\r';
          break;
        case 'a':
          unit = '\a';
          break;
        case 'b':
          unit = '\b';
          break;
        case 'f':
          unit = '\f';
          break;
        case 'v':
          unit = '\v';
          break;
        case 'U':
        case 'u': {
          int digits = 0;
          while (digits < 4 && !atEnd() && HexValue(peek()) >= 0) {
            unit = unit * 16 + static_cast<char32_t>(HexValue(text_[pos_++]));
            ++digits;
          }
          if (digits == 0) return setError("\\U without hex digits");
          isUnit = true;
          break;
        }
        default:
          if (e >= '0' && e <= '7') {
            unit = static_cast<char32_t>(e - '0');
            for (int i = 0; i < 2 && peek() >= '0' && peek() <= '7'; ++i) {
              unit = unit * 8 + static_cast<char32_t>(text_[pos_++] - '0');
            }
          } else {
            // Any other escaped character (", ', \, a newline, or a multi-byte sequence's
            // first byte) stands for itself; the rest of its bytes follow unescaped.
            if (pendingHigh != 0) return setError("unpaired surrogate escape");
            out += e;
            continue;
          }
      }
      if (pendingHigh != 0) {
        if (!isUnit || !IsLowSurrogate(unit)) return setError("unpaired surrogate escape");
        AppendUTF8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
        pendingHigh = 0;
      } else if (IsHighSurrogate(unit)) {
        pendingHigh = unit;
      } else if (IsLowSurrogate(unit)) {
        return setError("unpaired surrogate escape");
      } else {
        AppendUTF8(out, unit);
      }
    }
  }

  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
};

bool LooksLikeXML(std::string_view text) {
  std::size_t i = text.find_first_not_of(" \t\r\n");
  if (i == std::string_view::npos) return false;
  text.remove_prefix(i);
  return text.starts_with("<?xml") || text.starts_with("<plist") || text.starts_with("<!DOCTYPE");
}

// An XML table is handed to the property-list reader as the bytes it is, so that one rule
// decides its encoding for both readers: XML's own (byte-order mark, else the declared
// encoding, else UTF-8).
std::optional<StringsTable> TableFromPropertyList(std::span<const std::byte> bytes,
                                                  std::string& error,
                                                  std::vector<std::string>* leftOut) {
  auto plist = ParsePropertyList(bytes, &error, leftOut);
  if (!plist) return std::nullopt;
  const ObjectDictionary* dict = plist->dictionary();
  if (!dict) {
    error = "property list is not a dictionary";
    return std::nullopt;
  }
  StringsTable table;
  for (const auto& [key, value] : *dict) {
    if (const std::string* s = value.string()) {
      table.emplace(key, *s);
    } else if (leftOut) {
      leftOut->push_back("key \"" + key + "\": not a string");
    }
  }
  return table;
}

}  // namespace

std::optional<StringsTable> ParseStrings(std::span<const std::byte> bytes, std::string* error,
                                         std::vector<std::string>* leftOut) {
  std::string text;
  std::string reason;
  std::optional<StringsTable> table;
  const bool decoded = DecodeText(bytes, text, reason);
  // A table that is not UTF-8 may still be XML in an encoding that its declaration names.
  const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (decoded ? LooksLikeXML(text) : LooksLikeXML(raw)) {
    table = TableFromPropertyList(bytes, reason, leftOut);
  } else if (decoded) {
    table = StringsParser(text).parse(reason);
  }
  if (!table && error) *error = reason;
  return table;
}

StringsTable StringsTableFromData(std::span<const std::byte> bytes, std::string_view source) {
  std::string error;
  std::vector<std::string> leftOut;
  auto table = ParseStrings(bytes, &error, &leftOut);
  if (!table) {
    NSLog("Cannot read string table %@: %@", source, error);
    return {};
  }
  LogLeftOutValues(source, leftOut);
  return std::move(*table);
}

StringsTable StringsTableWithContentsOfFile(const std::filesystem::path& path) {
  std::string error;
  auto bytes = DataWithContentsOfFile(path, kMaxStringsFileBytes, &error);
  if (!bytes) {
    NSLog("Cannot read string table %@: %@", path.string(), error);
    return {};
  }
  return StringsTableFromData(*bytes, path.string());
}

}  // namespace vrk
