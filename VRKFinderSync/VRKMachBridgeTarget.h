// What the Mach listener asks of the library's controller: one operation per command of the
// bridge. The controller adopts this interface; the listener holds it weakly.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vrk {

class VRKMachBridgeTarget : public std::enable_shared_from_this<VRKMachBridgeTarget> {
 public:
  virtual ~VRKMachBridgeTarget() = default;
  virtual void notifyPythonBeginObserve(const std::optional<std::string>& path) = 0;
  virtual void notifyPythonEndObserve(const std::optional<std::string>& path) = 0;
  virtual void notifyPythonBadgeNotExist4ItemAtPath(const std::optional<std::string>& path) = 0;
  virtual void shareLink(const std::optional<std::string>& path) = 0;
  virtual void viewOnWebsite(const std::optional<std::string>& path) = 0;
  // `msg` identifies the request being handled; hand it back to
  // replyShouldShowLockMenuItemMachMsg before this call returns.
  virtual void requestPythonItemLockPermissionAtPath(const std::optional<std::string>& path,
                                                     const void* msg) = 0;
  virtual void lockFile(const std::optional<std::string>& path) = 0;
  virtual void unlockFile(const std::optional<std::string>& path) = 0;
  virtual void viewHistoryVersions(const std::optional<std::string>& path) = 0;
};

}  // namespace vrk
