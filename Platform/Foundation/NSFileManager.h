// NSFileManager: the one question the system asks of it, whether a file exists.
//
// Contract: fileExistsAtPath follows symbolic links, as Foundation's does, and answers false for
// a nil or empty path and for anything it cannot stat. Thread-safe; touches nothing.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

namespace vrk {

class NSFileManager {
 public:
  static NSFileManager& defaultManager() {
    static NSFileManager manager;
    return manager;
  }
  bool fileExistsAtPath(const std::optional<std::string>& path) const {
    struct stat st;
    return path && !path->empty() && ::stat(path->c_str(), &st) == 0;
  }
};

}  // namespace vrk
