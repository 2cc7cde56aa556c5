// The command-line tools of the emulated system at their fixed macOS paths: "/usr/bin/pluginkit"
// is $VRK_ROOT/usr/bin/pluginkit.
//
// Contract:
// - ResolveTool(macPath) returns the path beneath the emulated root at which the tool runs.
//   A root that does not hold the tool yet gets it on first use: a symbolic link to the
//   installed copy (libexec/vrkfindersync/pluginkit, found relative to the folder of the
//   library that holds this code, so any install prefix works, and a build tree has none) or
//   else the copy built with the library in the build tree. So a fresh VRK_ROOT needs no
//   manual step, and a root keeps using whatever tool a test or an administrator put there.
// - nullopt with a log line when the tool is not one the emulated system has, when the root
//   holds something at that path that is not an executable file, or when no copy exists to
//   link to. The caller then runs nothing.
// - Safe from any thread and any number of processes at once: the link is made under a
//   temporary name and renamed into place.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace vrk::emulated {

std::optional<std::filesystem::path> ResolveTool(std::string_view macPath);

}  // namespace vrk::emulated
