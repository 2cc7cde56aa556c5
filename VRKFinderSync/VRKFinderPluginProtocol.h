// VRKFinderPluginProtocol: the messages that both the library controller and the legacy
// Finder bundle's proxy answer. The controller adopts it; before 10.10 it sends the same
// messages to the proxy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Foundation/Object.h"

namespace vrk {

class VRKFinderPluginProtocol {
 public:
  virtual ~VRKFinderPluginProtocol() = default;

  // Required.
  virtual void setRootFolderPath(const std::optional<std::string>& path) = 0;
  virtual void setIconType(std::int64_t type, const std::optional<std::string>& path) = 0;
  virtual void hideIcons(bool hide) = 0;
  virtual void cleanIconsCache() = 0;
  virtual void changeLanguage(const std::optional<std::string>& language) = 0;

  // Optional: the default does nothing.
  virtual void setBadgesCache(const Object& /*cache*/) {}
  virtual void addMenuItems(const Object& /*items*/) {}
  virtual void removeAllMenuItems() {}
};

}  // namespace vrk
