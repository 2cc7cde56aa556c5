// The emulated macOS root. VRK_ROOT names the folder that stands for "/" of the emulated
// system; without it, ${XDG_DATA_HOME:-$HOME/.local/share}/vrk/root. The environment is read
// on every call, so a test process that sets VRK_ROOT before use gets its own root.
//
// Contract: pure path computations, thread-safe, never fail; nothing is created on disk
// except by EnsurePrivateDirectory.
#pragma once

#include <filesystem>
#include <string_view>

namespace vrk::emulated {

std::filesystem::path Root();
// The user's home inside the root: Root()/home.
std::filesystem::path Home();
// An absolute macOS path ("/Library/LaunchDaemons/x.plist") beneath the root.
std::filesystem::path Resolve(std::string_view macPath);

// Creates `dir` (and its parents) if missing, then checks that it is a real directory (not a
// symlink), owned by the calling user, and has mode 0700 (a directory that it had to create
// gets that mode), and that its ancestors pass AncestorsAreSafe. Returns false, with a log line
// naming the reason, when a check fails.
bool EnsurePrivateDirectory(const std::filesystem::path& dir);

// True when no one but the calling user (or root) can rename or replace `dir`: each folder
// between the emulated root and `dir` is a real directory, not a symlink, owned by the user or
// root, and not writable by others unless sticky. A path outside the root checks nothing.
// Logs the first folder that fails.
bool AncestorsAreSafe(const std::filesystem::path& dir);

}  // namespace vrk::emulated
