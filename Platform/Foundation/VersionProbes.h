// The version probes of the emulated macOS: whether a class exists and whether its instances
// answer a selector, as NSClassFromString and +instancesRespondToSelector: would tell on the
// emulated system.
//
// Contract:
// - The emulated version is VRK_MACOS_VERSION ("major.minor" or "major.minor.patch"), read on
//   every call; unset or unreadable means 10.15 (an unreadable value is logged once).
// - The answers come from a small fixed table of the classes and selectors the system probes,
//   each with the version that introduced it. A name missing from the table does not exist.
// - Any thread may call them; they never fail.
#pragma once

#include <string_view>

namespace vrk {

struct MacOSVersion {
  int major = 10;
  int minor = 15;
  int patch = 0;
  friend auto operator<=>(const MacOSVersion&, const MacOSVersion&) = default;
};

// The version of the emulated system, from VRK_MACOS_VERSION.
MacOSVersion EmulatedMacOSVersion();

// True when the class exists on the emulated system.
bool NSClassFromString(std::string_view className);

// True when the class exists and its instances respond to `selector` on the emulated system.
bool instancesRespondToSelector(std::string_view className, std::string_view selector);

}  // namespace vrk
