#include "Platform/Foundation/EmulatedRoot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <system_error>

#include "Platform/Foundation/NSLog.h"

namespace vrk::emulated {

std::filesystem::path Root() {
  if (const char* root = std::getenv("VRK_ROOT"); root && *root) return root;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
    return std::filesystem::path(data) / "vrk/root";
  }
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : "/tmp") / ".local/share/vrk/root";
}

std::filesystem::path Home() {
  return Root() / "home";
}

std::filesystem::path Resolve(std::string_view macPath) {
  while (!macPath.empty() && macPath.front() == '/') macPath.remove_prefix(1);
  return Root() / macPath;
}

bool EnsurePrivateDirectory(const std::filesystem::path& dir) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    std::error_code ec;
    std::filesystem::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      NSLog("[Platform] cannot create %s: %s", dir.string(), std::strerror(errno));
      return false;
    }
    if (::lstat(dir.c_str(), &st) != 0) return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    NSLog("[Platform] refusing %s: not a directory", dir.string());
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    NSLog("[Platform] refusing %s: owned by uid %u", dir.string(),
          static_cast<unsigned>(st.st_uid));
    return false;
  }
  if ((st.st_mode & 0777) != 0700) {
    NSLog("[Platform] refusing %s: mode %o is not 0700", dir.string(),
          static_cast<unsigned>(st.st_mode & 0777));
    return false;
  }
  return AncestorsAreSafe(dir);
}

bool AncestorsAreSafe(const std::filesystem::path& dir) {
  const std::filesystem::path root = Root().lexically_normal();
  const std::filesystem::path relative = dir.lexically_normal().lexically_relative(root);
  if (relative.empty() || *relative.begin() == "..") return true;
  std::filesystem::path folder = root;
  // Every folder strictly between the root and `dir`: whoever can write one of them can move
  // `dir` away and put another in its place.
  for (auto part = relative.begin(); part != relative.end() && std::next(part) != relative.end();
       ++part) {
    folder /= *part;
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0) continue;  // not there yet: nothing to move
    if (!S_ISDIR(st.st_mode)) {
      NSLog("[Platform] refusing %s: its folder %s is not a directory", dir.string(),
            folder.string());
      return false;
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
      NSLog("[Platform] refusing %s: its folder %s is owned by uid %u", dir.string(),
            folder.string(), static_cast<unsigned>(st.st_uid));
      return false;
    }
    if ((st.st_mode & 0022) != 0 && (st.st_mode & S_ISVTX) == 0) {
      NSLog("[Platform] refusing %s: its folder %s has mode %o, writable by others", dir.string(),
            folder.string(), static_cast<unsigned>(st.st_mode & 07777));
      return false;
    }
  }
  return true;
}

}  // namespace vrk::emulated
