// VRKFinderSync's inject: the client's extension installed and enabled, or the legacy bundle
// loaded into Finder on systems before 10.10.
#include "VRKFinderSync/VRKFinderSync.h"
#include "VRKFinderSync/VRKYosemiteFindSyncExtensionHelper.h"

#include "Platform/AppleScript/NSAppleScript.h"

namespace vrk {

namespace {

// Sends Finder the Apple event of class NVTY and id load, which loads the legacy bundle.
constexpr char kFinderBundleLoaderScript[] =
    "tell application \"Finder\" to \xC2\xAB"
    "event NVTYload\xC2\xBB";

}  // namespace

bool VRKFinderSync::inject() {
  std::shared_ptr<VRKFinderSync> instance = sharedInstance();
  if (vrk_isYosemiteOrHigher()) {
    VRKYosemiteFindSyncExtensionHelper::tryReinstall();
    VRKYosemiteFindSyncExtensionHelper::tryEnable();
    return true;
  }
  return instance->injectLegacyFinderBundle();
}

bool VRKFinderSync::injectLegacyFinderBundle() {
  VRKRecursiveMutexLock lock(stateMutex_);
  Object errorInfo;
  NSAppleScript::initWithSource(kFinderBundleLoaderScript)->executeAndReturnError(&errorInfo);
  return errorInfo.isNil();
}

}  // namespace vrk
