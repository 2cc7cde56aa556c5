#include "Tools/nautilus/ExtensionLocation.h"

#include <cstdlib>

#include "Tools/pluginkit/PluginRegistry.h"

namespace vrk::nautilus {

std::optional<std::string> ElectedExtension(std::string* why) {
  if (const char* value = std::getenv(kExtensionEnv); value && *value) return std::string(value);
  const std::vector<pluginkit::Registration> elected =
      pluginkit::ElectedCopies(pluginkit::ReadRegistry(), pluginkit::kFinderSyncExtensionPoint);
  if (elected.empty()) {
    *why = "no FinderSync extension is elected in " + pluginkit::RegistryPath().string();
    return std::nullopt;
  }
  return elected.front().path;
}

}  // namespace vrk::nautilus
