// Tools of the emulated root, put there on first use.
#include "Platform/Foundation/EmulatedTools.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSLog.h"

#ifndef VRK_PLUGINKIT_BUILT
#define VRK_PLUGINKIT_BUILT ""
#endif
#ifndef VRK_PLUGINKIT_INSTALLED
#define VRK_PLUGINKIT_INSTALLED ""
#endif

namespace vrk::emulated {
namespace {

struct Tool {
  std::string_view macPath;
  // The installed copy first: it lies relative to the library, so only an installed library
  // finds one, and that library must not run a build tree's tool that happens to remain.
  std::array<std::string_view, 2> copies;
};

constexpr Tool kTools[] = {
    {"/usr/bin/pluginkit", {VRK_PLUGINKIT_INSTALLED, VRK_PLUGINKIT_BUILT}},
};

bool IsExecutableFile(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

// Links `target` at `link` without a moment in which `link` is half made.
bool PlaceLink(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::error_code ec;
  std::filesystem::create_directories(link.parent_path(), ec);
  std::string temporary = link.string() + ".XXXXXX";
  // mkstemp reserves a unique name; the link replaces the empty file it made.
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    NSLog("[Platform] cannot place %s: %s", link.string(), std::strerror(errno));
    return false;
  }
  ::close(fd);
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0 ||
      ::rename(temporary.c_str(), link.c_str()) != 0) {
    NSLog("[Platform] cannot place %s: %s", link.string(), std::strerror(errno));
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

// A relative copy (the installed one) lies relative to the folder of the library or program
// that holds this code, so that an installed tree works under whatever prefix it went to.
std::filesystem::path CopyPath(std::string_view copy) {
  std::filesystem::path path(copy);
  if (path.empty() || path.is_absolute()) return path;
  Dl_info self{};
  if (::dladdr(reinterpret_cast<void*>(&ResolveTool), &self) == 0 || !self.dli_fname) return {};
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::absolute(self.dli_fname, ec).parent_path();
  if (ec) return {};
  return (folder / path).lexically_normal();
}

}  // namespace

std::optional<std::filesystem::path> ResolveTool(std::string_view macPath) {
  const Tool* tool = nullptr;
  for (const Tool& t : kTools) {
    if (t.macPath == macPath) tool = &t;
  }
  if (!tool) {
    NSLog("[Platform] %s is not a tool of the emulated system", macPath);
    return std::nullopt;
  }
  std::filesystem::path inRoot = Resolve(macPath);
  if (IsExecutableFile(inRoot)) return inRoot;

  std::error_code ec;
  // A link whose target has gone (a build folder removed) counts as missing and is replaced;
  // anything else that is there belongs to someone and is left alone.
  auto status = std::filesystem::symlink_status(inRoot, ec);
  bool present = std::filesystem::exists(status);
  if (present && !(std::filesystem::is_symlink(status) && !std::filesystem::exists(inRoot, ec))) {
    NSLog("[Platform] %s is not an executable file", inRoot.string());
    return std::nullopt;
  }
  for (std::string_view copy : tool->copies) {
    std::filesystem::path path = CopyPath(copy);
    if (path.empty() || !IsExecutableFile(path)) continue;
    if (!PlaceLink(path, inRoot)) return std::nullopt;
    return inRoot;
  }
  NSLog("[Platform] no copy of %s to put into the emulated root", macPath);
  return std::nullopt;
}

}  // namespace vrk::emulated
