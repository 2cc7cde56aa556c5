// The AppleScript compiler of the platform layer. It knows the one form this system sends,
//
//   tell application "NAME" to «event CCCCIIII»
//
// (keywords in any case, blanks between the words, an optional line end after it): an Apple
// event of four-character class CCCC and id IIII sent to the application NAME. NAME is a string
// literal in which \" and \\ stand for " and \. Anything else is a syntax error.
//
// Contract: pure and thread-safe; never reads past `source`, never throws except bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

namespace vrk {

struct AppleScriptEvent {
  std::string application;
  std::string eventClass;  // four characters
  std::string eventID;     // four characters
};

struct AppleScriptSyntaxError {
  std::string message;
  std::size_t location = 0;  // byte offset into the source where reading stopped
};

std::variant<AppleScriptEvent, AppleScriptSyntaxError> CompileAppleScript(std::string_view source);

}  // namespace vrk
