// The parser of the single AppleScript form the system sends.
#include "Platform/AppleScript/AppleScriptSource.h"

#include <optional>

#include "Platform/Foundation/Object.h"

namespace vrk {

namespace {

constexpr std::string_view kOpenChevron = "\xC2\xAB";   // «
constexpr std::string_view kCloseChevron = "\xC2\xBB";  // »

class Parser final {
 public:
  explicit Parser(std::string_view source) : s_(source) {}

  std::variant<AppleScriptEvent, AppleScriptSyntaxError> parse() {
    AppleScriptEvent event;
    blanks();
    if (!keyword("tell") || !gap() || !keyword("application") || !gap()) return error_;
    std::optional<std::string> name = stringLiteral();
    if (!name) return error_;
    event.application = std::move(*name);
    if (!gap() || !keyword("to") || !gap()) return error_;
    if (!literal(kOpenChevron, "Expected \xC2\xAB but found something else.")) return error_;
    if (!keyword("event") || !gap()) return error_;
    std::optional<std::string> code = fourCharCode();
    if (!code) return error_;
    event.eventClass = std::move(*code);
    code = fourCharCode();
    if (!code) return error_;
    event.eventID = std::move(*code);
    if (!literal(kCloseChevron, "Expected \xC2\xBB but found something else.")) return error_;
    blanks();
    if (pos_ < s_.size() && (s_[pos_] == '\n' || s_[pos_] == '\r')) {
      ++pos_;
      if (s_[pos_ - 1] == '\r' && pos_ < s_.size() && s_[pos_] == '\n') ++pos_;
    }
    blanks();
    if (pos_ != s_.size()) {
      fail("Expected end of line but found more script.");
      return error_;
    }
    return event;
  }

 private:
  void blanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
  }
  // At least one blank.
  bool gap() {
    const std::size_t start = pos_;
    blanks();
    return pos_ > start || fail("Expected a blank between words.");
  }
  bool keyword(std::string_view word) {
    if (s_.size() - pos_ < word.size()) return fail("Expected \"" + std::string(word) + "\".");
    for (std::size_t i = 0; i < word.size(); ++i) {
      char c = s_[pos_ + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != word[i]) return fail("Expected \"" + std::string(word) + "\".");
    }
    const std::size_t end = pos_ + word.size();
    // A keyword ends at a word boundary ("toX" is not "to").
    if (end < s_.size()) {
      const char next = s_[end];
      if ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
          (next >= '0' && next <= '9') || next == '_') {
        return fail("Expected \"" + std::string(word) + "\".");
      }
    }
    pos_ = end;
    return true;
  }
  bool literal(std::string_view text, const char* message) {
    if (s_.substr(pos_, text.size()) != text) return fail(message);
    pos_ += text.size();
    return true;
  }
  std::optional<std::string> stringLiteral() {
    if (pos_ >= s_.size() || s_[pos_] != '"') {
      fail("Expected a string for the application name.");
      return std::nullopt;
    }
    ++pos_;
    std::string value;
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') {
        if (value.empty()) break;
        if (!IsValidUTF8(value)) break;
        return value;
      }
      if (c == '\n' || c == '\r' || c == '\0') break;
      if (c == '\\') {
        if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\\')) break;
        value.push_back(s_[pos_++]);
        continue;
      }
      value.push_back(c);
    }
    fail("Expected a complete, non-empty application name.");
    return std::nullopt;
  }
  // Four printable ASCII characters (blanks included, as in 'ab c'); never a chevron.
  std::optional<std::string> fourCharCode() {
    if (s_.size() - pos_ < 4) {
      fail("Expected a four-character code.");
      return std::nullopt;
    }
    for (std::size_t i = 0; i < 4; ++i) {
      const char c = s_[pos_ + i];
      if (c < 0x20 || c > 0x7E) {
        fail("Expected a four-character code.");
        return std::nullopt;
      }
    }
    std::string code(s_.substr(pos_, 4));
    pos_ += 4;
    return code;
  }
  bool fail(std::string message) {
    if (error_.message.empty()) {
      error_.message = std::move(message);
      error_.location = pos_;
    }
    return false;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  AppleScriptSyntaxError error_;
};

}  // namespace

std::variant<AppleScriptEvent, AppleScriptSyntaxError> CompileAppleScript(std::string_view source) {
  return Parser(source).parse();
}

}  // namespace vrk
