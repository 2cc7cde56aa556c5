// The plug-in registry of the emulated system: which extension bundles are registered, under
// which identifier, version and extension point, and what the user elected for each identifier.
// `pluginkit` changes it; the file manager hosts read it to find the copy of each extension that
// they start.
//
// Contract:
// - The registry is one JSON file, $VRK_ROOT/var/db/pluginkit/registry.json:
//   {"plugins": [{"path", "identifier", "version", "point"}, ...] newest registration first,
//    "elections": {identifier: "use" | "ignore"}}.
//   Every change is made under an exclusive flock of registry.lock beside it and written whole
//   to a temporary file that is renamed over the registry, so concurrent writers lose nothing
//   and a reader (which takes no lock) never sees half a file.
// - A missing file is an empty registry. A file that cannot be parsed, or cannot be a registry
//   at all (a folder, a FIFO, a symlink loop, a file over kMaxRegistryBytes), reads as empty with
//   a log line; the next change keeps it aside as registry.json.corrupt (replacing an older one)
//   and writes a new one.
// - Registrations are not checked against the disk: a path whose bundle has gone stays listed
//   until it is removed, as on the real system.
// - Among the copies of one identifier the newest registration is the elected one; the others
//   are superseded. The user's election belongs to the identifier and outlives its copies.
// - Pure functions are safe from any thread; the file functions may run in any number of
//   processes and threads at once. Nothing throws but std::bad_alloc.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vrk::pluginkit {

inline constexpr std::string_view kFinderSyncExtensionPoint = "com.apple.FinderSync";

struct Registration {
  std::string path;  // absolute, as registered
  std::string identifier;
  std::string version;
  std::string point;  // the extension point
  friend bool operator==(const Registration&, const Registration&) = default;
};

enum class Election { Undecided, Use, Ignore };

struct Registry {
  std::vector<Registration> plugins;  // newest registration first
  std::map<std::string, Election> elections;
};

// The registry's bytes, and back. Parse rejects (nullopt with the reason) anything but the
// layout above, including a file larger than kMaxRegistryBytes; it never reads past `bytes`.
inline constexpr std::size_t kMaxRegistryBytes = 4 * 1024 * 1024;
std::optional<Registry> ParseRegistry(std::span<const std::byte> bytes, std::string* error);
std::string SerializeRegistry(const Registry& registry);

// Changes of the registry. A path is made absolute and loses trailing slashes first.
std::string NormalizedPath(std::string_view path);
// Puts the registration first, replacing an earlier registration of the same path.
void Register(Registry& registry, Registration registration);
// Removes every registration of `path`; false when there was none.
bool Unregister(Registry& registry, std::string_view path);
// The same, but when no registration has `path` exactly, removes those listed as `path`: a path
// registered with a line break before they were refused is listed escaped (ListedText), and
// must be removable by what the listing shows.
bool UnregisterListed(Registry& registry, std::string_view path);
// Records the election for `identifier`; false when no copy of it is registered.
bool Elect(Registry& registry, std::string_view identifier, Election election);

// A bundle's registration from its Contents/Info.plist (CFBundleIdentifier; CFBundleVersion,
// else CFBundleShortVersionString, else "0"; NSExtension's NSExtensionPointIdentifier).
// nullopt with the reason when the bundle is missing or is not an extension, or when its path,
// identifier or version holds a line feed or a carriage return, which a listing line could not
// show.
std::optional<Registration> RegistrationForBundle(std::string_view path, std::string* error);

// One line of a listing: the election mark and the copy.
struct ListedCopy {
  char mark;  // '+' elected for use, '-' ignored, '?' undecided, ' ' superseded
  const Registration* registration;
};
// The copies of `identifier` (every copy when it is empty), newest registration first.
std::vector<ListedCopy> Matches(const Registry& registry, std::string_view identifier);
// "<mark>    <identifier>(<version>)" and, verbose, "\t<path>", then a line feed; each field
// as ListedText gives it.
std::string FormatListing(const std::vector<ListedCopy>& copies, bool verbose);
// `text` as a listing shows it: unchanged, unless it holds a line feed or a carriage return
// (registered before such paths were refused); then those become "\n" and "\r" and a
// backslash "\\", so that one copy is always one line.
std::string ListedText(std::string_view text);

// The copy that a host starts for each identifier of `point`: the elected copy of every
// identifier the user has not told to ignore (an undecided one runs, as the installer expects).
std::vector<Registration> ElectedCopies(const Registry& registry, std::string_view point);

// The registry file of the current emulated root.
std::filesystem::path RegistryPath();
// The registry as last written; empty when missing or unreadable (logged).
Registry ReadRegistry();
// Reads the registry under the lock, lets `change` edit it and, when `change` returns true,
// replaces the file. False with the reason in `error` when the lock is not had within
// `lockLimit` or the file cannot be written; the registry is then unchanged.
bool UpdateRegistry(const std::function<bool(Registry&)>& change, std::string* error,
                    std::chrono::milliseconds lockLimit = std::chrono::seconds(10));

}  // namespace vrk::pluginkit
