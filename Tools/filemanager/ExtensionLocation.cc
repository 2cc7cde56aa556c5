#include "Tools/filemanager/ExtensionLocation.h"

#include <cstdlib>

#include "Tools/pluginkit/PluginRegistry.h"

namespace vrk::filemanager {

std::optional<std::string> ElectedExtension(const char* variable, std::string* why) {
  if (const char* value = std::getenv(variable); value && *value) return std::string(value);
  const std::vector<pluginkit::Registration> elected =
      pluginkit::ElectedCopies(pluginkit::ReadRegistry(), pluginkit::kFinderSyncExtensionPoint);
  if (elected.empty()) {
    *why = "no FinderSync extension is elected in " + pluginkit::RegistryPath().string();
    return std::nullopt;
  }
  return elected.front().path;
}

}  // namespace vrk::filemanager
