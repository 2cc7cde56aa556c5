// VRKFinderSync's inject: the client's extension installed and enabled, or the legacy bundle
// loaded into Finder on systems before 10.10.
#include "VRKFinderSync/VRKFinderSync.h"
#include "VRKFinderSync/VRKYosemiteFindSyncExtensionHelper.h"

#include "Platform/Foundation/NSLog.h"

namespace vrk {

bool VRKFinderSync::inject() {
  sharedInstance();
  if (vrk_isYosemiteOrHigher()) {
    VRKYosemiteFindSyncExtensionHelper::tryReinstall();
    VRKYosemiteFindSyncExtensionHelper::tryEnable();
    return true;
  }
  return injectLegacyFinderBundle();
}

bool VRKFinderSync::injectLegacyFinderBundle() {
  NSLog("[VRK Finder sync client] Loading the legacy Finder bundle is not supported yet");
  return false;
}

}  // namespace vrk
