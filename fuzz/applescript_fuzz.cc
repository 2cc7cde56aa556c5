// Feeds arbitrary source text to the AppleScript compiler. Whatever it accepts must name an
// application and two four-character codes, and the script written back from them must compile
// to the same event.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "Platform/AppleScript/AppleScriptSource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view source(reinterpret_cast<const char*>(data), size);
  auto result = vrk::CompileAppleScript(source);
  if (const auto* error = std::get_if<vrk::AppleScriptSyntaxError>(&result)) {
    if (error->location > size || error->message.empty()) std::abort();
    return 0;
  }
  const auto& event = std::get<vrk::AppleScriptEvent>(result);
  if (event.application.empty() || event.eventClass.size() != 4 || event.eventID.size() != 4) {
    std::abort();
  }
  std::string again = "tell application \"";
  for (char c : event.application) {
    if (c == '"' || c == '\\') again.push_back('\\');
    again.push_back(c);
  }
  again +=
      "\" to \xC2\xAB"
      "event " +
      event.eventClass + event.eventID + "\xC2\xBB";
  auto second = vrk::CompileAppleScript(again);
  const auto* same = std::get_if<vrk::AppleScriptEvent>(&second);
  if (same == nullptr || same->application != event.application ||
      same->eventClass != event.eventClass || same->eventID != event.eventID) {
    std::abort();
  }
  return 0;
}
