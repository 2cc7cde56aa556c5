// The legacy Finder bundle's root object as the controller sees it: every message of
// VRKFinderPluginProtocol becomes a message to the distant object, sent on the calling thread.
// A message that fails is logged by the connection layer and does nothing else.
#pragma once

#include <memory>

#include "Platform/Connection/NSConnection.h"
#include "VRKFinderSync/VRKFinderPluginProtocol.h"

namespace vrk {

class VRKFinderPluginProxy final : public VRKFinderPluginProtocol {
 public:
  explicit VRKFinderPluginProxy(std::shared_ptr<NSDistantObject> object)
      : object_(std::move(object)) {}

  void setRootFolderPath(const std::optional<std::string>& path) override;
  void setIconType(std::int64_t type, const std::optional<std::string>& path) override;
  void hideIcons(bool hide) override;
  void cleanIconsCache() override;
  void setBadgesCache(const Object& cache) override;
  void addMenuItems(const Object& items) override;
  void removeAllMenuItems() override;
  void changeLanguage(const std::optional<std::string>& language) override;

 private:
  std::shared_ptr<NSDistantObject> object_;
};

}  // namespace vrk
