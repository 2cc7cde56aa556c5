// The messages that both the library controller and the legacy Finder bundle's root object
// answer, in the three layers the bundle is declared with. The controller adopts the whole
// protocol; before 10.10 it sends the same messages to the bundle through `proxy`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Foundation/Object.h"

namespace vrk {

// The registered name under which the legacy Finder bundle vends its root object.
inline constexpr char kVRKFinderPluginConnectionName[] = "com.quenset.IPCServ.TestService";

class VRKFinderPluginIconProtocol {
 public:
  virtual ~VRKFinderPluginIconProtocol() = default;

  // Required.
  virtual void setIconType(std::int64_t type, const std::optional<std::string>& path) = 0;
  virtual void hideIcons(bool hide) = 0;
  virtual void cleanIconsCache() = 0;

  // Optional: the default does nothing. path -> badge type.
  virtual void setBadgesCache(const Object& /*cache*/) {}
};

class VRKFinderPluginContextMenuProtocol {
 public:
  virtual ~VRKFinderPluginContextMenuProtocol() = default;

  // Optional: the defaults do nothing. An array of menu item dictionaries, or nil.
  virtual void addMenuItems(const Object& /*items*/) {}
  virtual void removeAllMenuItems() {}
};

class VRKFinderPluginProtocol : public VRKFinderPluginIconProtocol,
                                public VRKFinderPluginContextMenuProtocol {
 public:
  // Required.
  virtual void setRootFolderPath(const std::optional<std::string>& path) = 0;
  virtual void changeLanguage(const std::optional<std::string>& language) = 0;
};

}  // namespace vrk
