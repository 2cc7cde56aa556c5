// How a message to a distant object travels on the session bus: the one place that both the
// sender (NSDistantObject) and a process that vends an object take it from.
//
// A process vends its root object under a well-known bus name of its choice (the connection's
// registered name) at path /org/vrk/DistributedObjects/RootObject, interface
// org.vrk.DistributedObjects. A message with selector "a:b:" is the method call "a_b_" (each ':'
// becomes '_'), its arguments encoded as DBusMessageArguments.h's arguments (one `av` each, empty
// for nil); the reply is empty. The call is sent to the unique name that owned the registered
// name when the proxy was made, so a message never reaches a later owner by mistake.
#pragma once

#include <string>
#include <string_view>

namespace vrk::distantobjects {

inline constexpr char kRootObjectPath[] = "/org/vrk/DistributedObjects/RootObject";
inline constexpr char kInterface[] = "org.vrk.DistributedObjects";

// The bus member for `selector`, or "" when the selector cannot be one (empty, or characters
// other than letters, digits, '_' and ':', or a leading digit). Pure.
inline std::string MemberForSelector(std::string_view selector) {
  if (selector.empty() || selector.size() > 255 || (selector[0] >= '0' && selector[0] <= '9')) {
    return {};
  }
  std::string member;
  for (char c : selector) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (c == ':') {
      member.push_back('_');
    } else if (ok) {
      member.push_back(c);
    } else {
      return {};
    }
  }
  return member;
}

// The selector a bus member stands for: every '_' read as ':'. Selectors that carry a '_' of
// their own do not survive the trip, so vended objects use none. Pure.
inline std::string SelectorForMember(std::string_view member) {
  std::string selector(member);
  for (char& c : selector) {
    if (c == '_') c = ':';
  }
  return selector;
}

}  // namespace vrk::distantobjects
