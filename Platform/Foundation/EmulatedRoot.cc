#include "Platform/Foundation/EmulatedRoot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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
  return true;
}

}  // namespace vrk::emulated
