// Messages of VRKFinderPluginProtocol sent to the legacy Finder bundle's root object.
#include "VRKFinderSync/VRKFinderPluginProxy.h"

#include <array>

namespace vrk {

void VRKFinderPluginProxy::setRootFolderPath(const std::optional<std::string>& path) {
  // A failed message is logged by the connection; the bundle's state is best effort.
  (void)object_->sendMessage("setRootFolderPath:", std::array{Object(path)});
}

void VRKFinderPluginProxy::setIconType(std::int64_t type, const std::optional<std::string>& path) {
  (void)object_->sendMessage("setIconType:toPath:",
                             std::array{Object::numberWithInteger(type), Object(path)});
}

void VRKFinderPluginProxy::hideIcons(bool hide) {
  (void)object_->sendMessage("hideIcons:", std::array{Object::numberWithBool(hide)});
}

void VRKFinderPluginProxy::cleanIconsCache() {
  (void)object_->sendMessage("cleanIconsCache", {});
}

void VRKFinderPluginProxy::setBadgesCache(const Object& cache) {
  (void)object_->sendMessage("setBadgesCache:", std::array{cache});
}

void VRKFinderPluginProxy::addMenuItems(const Object& items) {
  (void)object_->sendMessage("addMenuItems:", std::array{items});
}

void VRKFinderPluginProxy::removeAllMenuItems() {
  (void)object_->sendMessage("removeAllMenuItems", {});
}

void VRKFinderPluginProxy::changeLanguage(const std::optional<std::string>& language) {
  (void)object_->sendMessage("changeLanguage:", std::array{Object(language)});
}

}  // namespace vrk
