// VRKFinderSync's services beside badges and menus: installing the privileged helper, copying
// a file through it over XPC, and adding a folder to the file manager's sidebar.
#include <string>

#include "Platform/CoreServices/LSSharedFileList.h"
#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSFileManager.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/ServiceManagement/SMJobBless.h"
#include "Platform/XPC/xpc.h"
#include "VRKFinderSync/VRKFinderSync.h"

namespace vrk {
namespace {

constexpr const char* kHelperLabel = "com.mirelta.sync.VRKLaunchDaemon";
constexpr const char* kHelperPlistPath =
    "/Library/LaunchDaemons/com.mirelta.sync.VRKLaunchDaemon.plist";
constexpr const char* kHelperToolPath =
    "/Library/PrivilegedHelperTools/com.mirelta.sync.VRKLaunchDaemon";

void LogConnectionEvent(const xpc_object_t& event) {
  if (xpc_get_type(event) != XPC_TYPE_ERROR) {
    NSLog("Unexpected XPC connection event.");
  } else if (event == XPC_ERROR_CONNECTION_INTERRUPTED) {
    NSLog("XPC connection interupted.");
  } else if (event == XPC_ERROR_CONNECTION_INVALID) {
    NSLog("XPC connection invalid, releasing.");
  } else {
    NSLog("Unexpected XPC connection error.");
  }
}

}  // namespace

bool VRKFinderSync::tryInstallLaunchDaemon() {
  auto& files = NSFileManager::defaultManager();
  if (files.fileExistsAtPath(emulated::Resolve(kHelperPlistPath).string()) &&
      files.fileExistsAtPath(emulated::Resolve(kHelperToolPath).string())) {
    return true;
  }
  // Creating a reference asks for no right, so it is not expected to fail; if the security
  // service cannot be reached it does, and the installation is given up instead of crashing.
  OSStatus status = AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &authRef_);
  if (status != errAuthorizationSuccess) {
    NSLog("[VRK Finder sync client] AuthorizationCreate failed: %d", status);
    return false;
  }
  NSErrorRef error;
  bool result = blessHelperWithLabel(std::string(kHelperLabel), &error);
  if (result) {
    NSLog("[VRK Finder sync client] Job is available!");
  } else {
    NSLog("[VRK Finder sync client] Something went wrong! %@ / %d",
          error ? error->domain : std::string("(null)"),
          static_cast<std::int32_t>(error ? error->code : 0));
  }
  return result;
}

bool VRKFinderSync::blessHelperWithLabel(const std::optional<std::string>& label,
                                         NSErrorRef* error) {
  AuthorizationItem item{kSMRightBlessPrivilegedHelper, 0, nullptr, 0};
  AuthorizationRights rights{1, &item};
  const AuthorizationFlags flags = kAuthorizationFlagInteractionAllowed |
                                   kAuthorizationFlagExtendRights | kAuthorizationFlagPreAuthorize;
  NSErrorRef failure;
  bool result = false;
  OSStatus status = AuthorizationCopyRights(authRef_, &rights, nullptr, flags, nullptr);
  if (status != errAuthorizationSuccess) {
    failure = MakeError(NSOSStatusErrorDomain, status);
  } else {
    result = SMJobBless(kSMDomainSystemLaunchd, label.value_or(""), authRef_, &failure);
  }
  // A failure always comes with an error; one without would be a fault of the platform.
  if (!result && !failure) failure = MakeError(kSMErrorDomainLaunchd, kSMErrorInternalFailure);
  if (error && !result) *error = failure;
  return result;
}

void VRKFinderSync::copyItemAtPath(const std::optional<std::string>& source,
                                   const std::optional<std::string>& destination) {
  // The request needs both strings; a nil one is not sent at all.
  if (!source || !destination) {
    NSLog("Copy request not sent: source = %@, destination = %@", source, destination);
    return;
  }
  xpc_connection_t connection = xpc_connection_create_mach_service(
      kHelperLabel, nullptr, XPC_CONNECTION_MACH_SERVICE_PRIVILEGED);
  if (!connection) {
    NSLog("Failed to create XPC connection.");
    return;
  }
  xpc_connection_set_event_handler(connection, LogConnectionEvent);
  xpc_connection_resume(connection);

  xpc_object_t message = xpc_dictionary_create(nullptr, nullptr, 0);
  xpc_dictionary_set_string(message, "sourcePath", source->c_str());
  xpc_dictionary_set_string(message, "destPath", destination->c_str());
  xpc_connection_send_message_with_reply(
      connection, message, dispatch_get_main_queue(), [](xpc_object_t reply) {
        const char* text = xpc_dictionary_get_string(reply, "reply");
        NSLog("%@", FormatLogMessage("Received response: %s.", {LogArg(text)}));
      });
  xpc_release(message);
  xpc_release(connection);
}

void VRKFinderSync::addFolderToFinderSidebar(const std::optional<std::string>& path) {
  if (vrk_isEICapitanOrHigher() || !path) return;
  LSSharedFileListRef favorites =
      LSSharedFileListCreate(nullptr, kLSSharedFileListFavoriteItems, nullptr);
  if (!favorites) return;
  std::uint32_t seed = 0;
  for (const LSSharedFileListItemRef& item : LSSharedFileListCopySnapshot(favorites, &seed)) {
    std::optional<NSURL> url;
    if (LSSharedFileListItemResolve(item, kLSSharedFileListNoUserInteraction, &url, nullptr) !=
            noErr ||
        !url) {
      continue;
    }
    if (CFURLCopyFileSystemPath(*url, kCFURLPOSIXPathStyle) == *path) return;
  }
  std::string text = FormatLogMessage("%@%@", {LogArg("file://"), LogArg(*path)});
  auto url =
      NSURL::URLWithString(stringByAddingPercentEscapesUsingEncoding(text, NSUTF8StringEncoding));
  if (!url) return;
  LSSharedFileListItemRef item = LSSharedFileListInsertItemURL(
      favorites, kLSSharedFileListItemBeforeFirst, std::nullopt, nullptr, *url, nullptr, nullptr);
  (void)item;
}

}  // namespace vrk
