// How an Apple event travels on the session bus: the one place that both the sender
// (NSAppleScript) and an application that answers events (vrk-finder) take it from.
//
// An application NAME owns the bus name "org.vrk.Application.NAME" (characters a bus name cannot
// hold become '_'; "Finder" is served by vrk-finder as org.vrk.Application.Finder). An event is
// the method call HandleEvent(s class, s id) of interface org.vrk.AppleEvents on path
// /org/vrk/AppleEvents, with an empty reply. An application that does not handle the event
// answers the error kEventNotHandledError; any other error reply means its handler failed.
#pragma once

#include <string>
#include <string_view>

namespace vrk::appleevents {

inline constexpr char kPath[] = "/org/vrk/AppleEvents";
inline constexpr char kInterface[] = "org.vrk.AppleEvents";
inline constexpr char kMember[] = "HandleEvent";
inline constexpr char kSignature[] = "ss";
inline constexpr char kEventNotHandledError[] = "org.vrk.AppleEvents.Error.NotHandled";
inline constexpr char kHandlerFailedError[] = "org.vrk.AppleEvents.Error.Failed";

// The bus name of the application called `name`. Pure.
inline std::string ApplicationBusName(std::string_view name) {
  std::string bus = "org.vrk.Application.";
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    bus.push_back(ok ? c : '_');
  }
  // An element of a bus name may not begin with a digit.
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) bus.insert(20, "_");
  return bus;
}

}  // namespace vrk::appleevents
