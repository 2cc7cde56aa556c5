#include "VRKFinderSync/VRKMenuItemInfo.h"

#include "Contract/VRKContract.h"

namespace vrk {

std::shared_ptr<VRKMenuItemInfo> VRKMenuItemInfo::menuItemInfoWithTitle(
    std::optional<std::string> title, std::int64_t command) {
  auto info = std::make_shared<VRKMenuItemInfo>();
  info->setTitle(std::move(title));
  info->setCommand(command);
  return info;
}

std::shared_ptr<VRKMenuItemInfo> VRKMenuItemInfo::menuItemInfoWithDictionary(
    const Object& dictionary) {
  auto info = std::make_shared<VRKMenuItemInfo>();
  info->setTitle(dictionary.objectForKey(kVRKMenuItemTitleKey).stringOrNil());
  info->setCommand(dictionary.objectForKey(kVRKMenuItemCommandKey).integerValue());
  return info;
}

Object VRKMenuItemInfo::toDictionary() const {
  ObjectDictionary dictionary{
      {std::string(kVRKMenuItemCommandKey), Object::numberWithInteger(command_)}};
  if (title_) dictionary.emplace(kVRKMenuItemTitleKey, Object(*title_));
  return Object(std::move(dictionary));
}

}  // namespace vrk
