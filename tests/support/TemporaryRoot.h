// For tests: a private emulated root. While a TemporaryRoot lives, VRK_ROOT names a fresh
// folder under /tmp (short, so socket paths inside it fit); destroying it unsets VRK_ROOT and
// removes the folder. Tests of one process run one at a time, so the environment is theirs.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace vrk {

class TemporaryRoot {
 public:
  TemporaryRoot() {
    char tmpl[] = "/tmp/vrk.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = tmpl;
    ::setenv("VRK_ROOT", tmpl, 1);
  }
  ~TemporaryRoot() {
    ::unsetenv("VRK_ROOT");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TemporaryRoot(const TemporaryRoot&) = delete;
  TemporaryRoot& operator=(const TemporaryRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string string() const { return path_.string(); }
  friend std::filesystem::path operator/(const TemporaryRoot& root,
                                         const std::filesystem::path& relative) {
    return root.path_ / relative;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace vrk
