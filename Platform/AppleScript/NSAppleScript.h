// NSAppleScript: compiles the one AppleScript form this system uses (AppleScriptSource.h) and runs
// it by sending the Apple event to the application over the session bus (AppleEventWire.h).
//
// Contract:
// - initWithSource keeps a copy of the source; it never fails. Compiling happens when the script
//   is executed.
// - executeAndReturnError sends the event and waits for the application's answer, at most
//   kAppleEventTimeout. On success it returns the result (nil: the event returns nothing) and
//   leaves `errorInfo` alone. On failure it returns nullopt and, when `errorInfo` is given, sets
//   it to a dictionary with "NSAppleScriptErrorNumber" (an NSNumber), "NSAppleScriptErrorMessage"
//   and "NSAppleScriptErrorBriefMessage" (strings), plus "NSAppleScriptErrorAppName" for errors
//   of a running script. The numbers are the platform's:
//     -2741  the source is not the one form (a syntax error; nothing is sent);
//     -600   the application is not running (its bus name has no owner), or there is no bus;
//     -1708  the application does not handle the event;
//     -609   the application went away while handling the event;
//     -1712  the application did not answer in time;
//     -10000 the application's handler failed (its message is passed on).
//   Nothing is logged: the error information is the whole report, and callers decide what to
//   make of it.
// - Any thread may call; a script object may be executed by one thread at a time. The call
//   blocks the calling thread for the whole wait and uses that thread's own bus connection.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/Object.h"

namespace vrk {

inline constexpr std::chrono::seconds kAppleEventTimeout{30};

class NSAppleScript final {
 public:
  static std::shared_ptr<NSAppleScript> initWithSource(std::string source);

  std::optional<Object> executeAndReturnError(Object* errorInfo);

  const std::string& source() const { return source_; }

 private:
  explicit NSAppleScript(std::string source) : source_(std::move(source)) {}
  std::string source_;
};

}  // namespace vrk
