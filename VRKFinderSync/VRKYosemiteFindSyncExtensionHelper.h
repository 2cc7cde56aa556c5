// VRKYosemiteFindSyncExtensionHelper: makes the file manager use the copy of the FinderSync
// extension inside the sync client's own application bundle, and makes sure it is enabled,
// through the plug-in registry tool "/usr/bin/pluginkit" run by "/bin/sh".
//
// Contract:
// - Class methods only, no state: every call asks the registry afresh. Each blocks the calling
//   thread until its commands have ended (each command at most kDefaultTaskLimit; one still
//   running then is killed and counts as ended by a signal). Any thread may call them; the
//   class takes no locks and touches no shared memory.
// - Paths reach the shell quoted, one argument each, whatever they contain; the logged
//   "Run command:" line is the command as it runs.
// - Failures are reported only through the results: nil output, NO. A command that cannot be
//   started at all (no shell, no registry tool in the emulated root) is logged and gives nil
//   output and termination reason 0, so that neither tryReinstall nor tryEnable reports it as
//   done. Nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vrk {

class VRKYosemiteFindSyncExtensionHelper final {
 public:
  VRKYosemiteFindSyncExtensionHelper() = delete;

  // The main bundle's path with "Contents/PlugIns/VRKFinderSyncExtension.appex" appended.
  static std::string _pluginPath();
  // The path of the copy the registry reports first, or nil.
  static std::optional<std::string> _installedPluginPath();
  static bool isInstalled();
  // Removes stale registrations and registers the client's copy. YES when the add command ran
  // to its end (whatever its exit status); NO when there was nothing to do or it did not.
  static bool tryReinstall();
  // The registry's first mark for the extension is "+" or "?".
  static bool isEnabled();
  // Elects the extension for use; YES and NO as for tryReinstall.
  static bool tryEnable();
  // Runs `command` with "/bin/sh -c" and returns its standard output decoded as UTF-8 (nil when
  // it is not UTF-8 or nothing ran). Through `exitReason`, when not null: 1 when the command
  // exited, 2 when a signal ended it, 0 when it could not be started.
  static std::optional<std::string> _runCommand(const std::optional<std::string>& command,
                                                std::int64_t* exitReason);
};

}  // namespace vrk
