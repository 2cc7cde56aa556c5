#include "Platform/Foundation/VersionProbes.h"

#include <charconv>
#include <cstdlib>
#include <mutex>
#include <string>

#include "Platform/Foundation/NSLog.h"

namespace vrk {
namespace {

struct ClassEntry {
  std::string_view name;
  MacOSVersion since;
};

struct SelectorEntry {
  std::string_view className;
  std::string_view selector;
  MacOSVersion since;
};

// The classes and instance methods the system probes (and their neighbours that a probe could
// be confused with), each with the release that introduced it.
constexpr ClassEntry kClasses[] = {
    {"NSObject", {10, 0}},
    {"NSString", {10, 0}},
    {"NSBundle", {10, 0}},
    {"NSUserDefaults", {10, 0}},
    {"NSNotificationCenter", {10, 0}},
    {"NSDistributedNotificationCenter", {10, 0}},
    {"NSMachPort", {10, 0}},
    {"NSConnection", {10, 0}},
    {"NSMenu", {10, 0}},
    {"NSMenuItem", {10, 0}},
    {"NSImage", {10, 0}},
    {"NSAppleScript", {10, 2}},
    {"NSCollectionView", {10, 5}},
    {"NSXPCConnection", {10, 8}},
    {"NSGestureRecognizer", {10, 10}},
    {"FIFinderSync", {10, 10}},
    {"FIFinderSyncController", {10, 10}},
};

constexpr SelectorEntry kSelectors[] = {
    {"NSObject", "init", {10, 0}},
    {"NSObject", "description", {10, 0}},
    {"NSBundle", "localizedStringForKey:value:table:", {10, 0}},
    {"NSBundle", "pathForResource:ofType:", {10, 0}},
    {"NSCollectionView", "backgroundColors", {10, 5}},
    {"NSCollectionView", "content", {10, 5}},
    {"NSCollectionView", "backgroundView", {10, 11}},
    {"NSCollectionView", "collectionViewLayout", {10, 11}},
    {"NSGestureRecognizer", "state", {10, 10}},
};

// "10.15", "11", "10.9.5"; nullopt for anything else.
std::optional<MacOSVersion> ParseVersion(std::string_view text) {
  int parts[3] = {0, 0, 0};
  int count = 0;
  while (count < 3) {
    int v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || v < 0) return std::nullopt;
    parts[count++] = v;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (text.empty()) return MacOSVersion{parts[0], parts[1], parts[2]};
    if (text.front() != '.') return std::nullopt;
    text.remove_prefix(1);
  }
  return std::nullopt;
}

std::optional<MacOSVersion> ClassSince(std::string_view className) {
  for (const auto& entry : kClasses) {
    if (entry.name == className) return entry.since;
  }
  return std::nullopt;
}

}  // namespace

MacOSVersion EmulatedMacOSVersion() {
  const char* env = std::getenv("VRK_MACOS_VERSION");
  if (!env || !*env) return MacOSVersion{};
  if (auto version = ParseVersion(env)) return *version;
  static std::once_flag logged;
  std::string text(env);
  std::call_once(logged,
                 [&] { NSLog("VRK_MACOS_VERSION = %@ is not a version; emulating 10.15", text); });
  return MacOSVersion{};
}

bool NSClassFromString(std::string_view className) {
  auto since = ClassSince(className);
  return since && EmulatedMacOSVersion() >= *since;
}

bool instancesRespondToSelector(std::string_view className, std::string_view selector) {
  if (!NSClassFromString(className)) return false;
  const MacOSVersion version = EmulatedMacOSVersion();
  for (const auto& entry : kSelectors) {
    // Every class inherits NSObject's methods.
    bool ownOrInherited = entry.className == className || entry.className == "NSObject";
    if (ownOrInherited && entry.selector == selector) return version >= entry.since;
  }
  return false;
}

}  // namespace vrk
