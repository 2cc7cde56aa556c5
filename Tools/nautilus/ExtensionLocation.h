// Which FinderSync extension the GNOME Files module starts.
//
// The bundle path comes from VRK_NAUTILUS_EXTENSION when it is set, otherwise from the first
// line of the file ExtensionLocationFile() in the emulated root. A file manager keeps running
// for the whole session, so the file is read again at every (re)start of the extension.
//
// Contract: pure apart from reading the environment and that one file; thread-safe. nullopt,
// with the reason in `why`, when neither names a bundle.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vrk::nautilus {

inline constexpr const char* kExtensionEnv = "VRK_NAUTILUS_EXTENSION";

// $VRK_ROOT/etc/vrk-nautilus/extension
std::filesystem::path ExtensionLocationFile();
std::optional<std::string> ConfiguredExtension(std::string* why);

}  // namespace vrk::nautilus
