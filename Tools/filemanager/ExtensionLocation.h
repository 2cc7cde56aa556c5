// Which FinderSync extension a file manager's module starts.
//
// The variable the front end names (VRK_NAUTILUS_EXTENSION for GNOME Files), when set, names the
// bundle (for tests and development). Otherwise the plug-in registry of the emulated root
// decides, as it does for Finder: the elected copy of a FinderSync extension, the newest
// registration first. A file manager keeps running for the whole session, so this is asked again
// at every (re)start of the extension.
//
// Contract: reads the environment and the registry file only; safe from any thread. nullopt,
// with the reason in `why`, when no extension is elected.
#pragma once

#include <optional>
#include <string>

namespace vrk::filemanager {

std::optional<std::string> ElectedExtension(const char* variable, std::string* why);

}  // namespace vrk::filemanager
