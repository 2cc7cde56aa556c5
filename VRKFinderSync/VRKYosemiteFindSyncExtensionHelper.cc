// The extension installer: the plug-in registry queried and changed through pluginkit.
#include "VRKFinderSync/VRKYosemiteFindSyncExtensionHelper.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <vector>

#include "Platform/Foundation/EmulatedTools.h"
#include "Platform/Foundation/NSBundle.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSTask.h"
#include "Platform/Foundation/Object.h"

namespace vrk {
namespace {

constexpr std::string_view kPluginKitPath = "/usr/bin/pluginkit";
constexpr std::string_view kExtensionBundleIdentifier = "com.mirelta.sync.extension";
constexpr std::string_view kPluginPathComponent = "Contents/PlugIns/VRKFinderSyncExtension.appex";
constexpr std::string_view kShellPath = "/bin/sh";
constexpr std::string_view kShellOption = "-c";
constexpr std::string_view kElectionUse = "use";

constexpr std::string_view kQueryInstalledFormat = "%@ -m -v -i %@";
constexpr std::string_view kRemoveFormat = "%@ -r %@";
constexpr std::string_view kAddFormat = "%@ -a %@";
constexpr std::string_view kQueryEnabledFormat = "%@ -m -i %@";
constexpr std::string_view kEnableFormat = "%@ -e %@ -i %@";

// A registry that keeps reporting stale copies cannot hold the installer for ever.
constexpr int kMaxRemovals = 64;

// The word as the shell reads it back: left as it is when it holds only characters the shell
// takes literally, otherwise in single quotes (a quote inside becomes '\'').
std::string ShellQuoted(std::string_view word) {
  auto plain = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("@%+=:,./_-").find(c) != std::string_view::npos;
  };
  if (!word.empty() && std::all_of(word.begin(), word.end(), plain)) return std::string(word);
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// stringWithFormat: with the registry tool in the first "%@"; nil when the emulated system
// has no such tool (the platform says why).
template <typename... Args>
std::optional<std::string> ToolCommand(std::string_view format, const Args&... args) {
  std::optional<std::filesystem::path> tool = emulated::ResolveTool(kPluginKitPath);
  if (!tool) return std::nullopt;
  return FormatLogMessage(format, {LogArg(ShellQuoted(tool->string())), LogArg(args)...});
}

std::optional<std::string> RunToolCommand(const std::optional<std::string>& command,
                                          std::int64_t* exitReason) {
  if (!command) {
    if (exitReason) *exitReason = 0;
    return std::nullopt;
  }
  return VRKYosemiteFindSyncExtensionHelper::_runCommand(command, exitReason);
}

}  // namespace

std::optional<std::string> VRKYosemiteFindSyncExtensionHelper::_runCommand(
    const std::optional<std::string>& command, std::int64_t* exitReason) {
  NSTask task;
  task.setLaunchPath(std::string(kShellPath));
  task.setArguments({std::string(kShellOption), FormatLogMessage("%@", {LogArg(command)})});
  NSLog("[VRK Finder sync client] Run command:%@", command);
  std::shared_ptr<NSPipe> pipe = NSPipe::pipe();
  if (!pipe) {
    if (exitReason) *exitReason = 0;
    return std::nullopt;
  }
  task.setStandardOutput(pipe);
  bool launched = task.launch();
  task.waitUntilExit();
  std::vector<std::byte> data = pipe->readDataToEndOfFile();
  if (exitReason) *exitReason = task.terminationReason();
  if (!launched) return std::nullopt;
  std::string output(reinterpret_cast<const char*>(data.data()), data.size());
  if (!IsValidUTF8(output)) return std::nullopt;
  return output;
}

std::string VRKYosemiteFindSyncExtensionHelper::_pluginPath() {
  return (std::filesystem::path(NSBundle::mainBundle()->bundlePath()) / kPluginPathComponent)
      .string();
}

std::optional<std::string> VRKYosemiteFindSyncExtensionHelper::_installedPluginPath() {
  std::int64_t exitReason = 1;
  std::optional<std::string> output =
      RunToolCommand(ToolCommand(kQueryInstalledFormat, kExtensionBundleIdentifier), &exitReason);
  if (!output) return std::nullopt;
  std::size_t slash = output->find('/');
  if (slash == std::string::npos) return std::nullopt;
  // The line feed that ends the path: a line before it (a header, say) does not cut it short.
  std::size_t lineFeed = output->find('\n', slash);
  if (lineFeed == std::string::npos) return std::nullopt;
  return output->substr(slash, lineFeed - slash);
}

bool VRKYosemiteFindSyncExtensionHelper::isInstalled() {
  std::optional<std::string> installed = _installedPluginPath();
  return installed && *installed == _pluginPath();
}

bool VRKYosemiteFindSyncExtensionHelper::tryReinstall() {
  if (isInstalled()) {
    NSLog("[VRK Finder sync client] No need to reinstall extension");
    return false;
  }
  std::optional<std::string> current = _installedPluginPath();
  const std::string own = _pluginPath();
  int removals = 0;
  while (current && *current != own) {
    if (removals == kMaxRemovals) {
      NSLog("[VRK Finder sync client] Stopped removing stale extensions after %d removals",
            removals);
      break;
    }
    RunToolCommand(ToolCommand(kRemoveFormat, ShellQuoted(*current)), nullptr);
    ++removals;
    std::optional<std::string> next = _installedPluginPath();
    if (next == current) {
      NSLog("[VRK Finder sync client] Removing stale extension %@ took no effect", current);
      break;
    }
    current = std::move(next);
  }
  std::int64_t exitReason = 1;
  RunToolCommand(ToolCommand(kAddFormat, ShellQuoted(own)), &exitReason);
  return exitReason == NSTaskTerminationReasonExit;
}

bool VRKYosemiteFindSyncExtensionHelper::isEnabled() {
  std::int64_t exitReason = 1;
  std::optional<std::string> output =
      RunToolCommand(ToolCommand(kQueryEnabledFormat, kExtensionBundleIdentifier), &exitReason);
  if (exitReason != NSTaskTerminationReasonExit || !output || output->empty()) return false;
  return output->front() == '+' || output->front() == '?';
}

bool VRKYosemiteFindSyncExtensionHelper::tryEnable() {
  if (isEnabled()) {
    NSLog("[VRK Finder sync client] Extension is already enabled.");
    return false;
  }
  std::int64_t exitReason = 1;
  RunToolCommand(ToolCommand(kEnableFormat, kElectionUse, kExtensionBundleIdentifier), &exitReason);
  return exitReason == NSTaskTerminationReasonExit;
}

}  // namespace vrk
