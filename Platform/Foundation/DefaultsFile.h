// File primitives of the settings store: reading a file with its identity (the first
// version's JSON suites, which are imported), the advisory lock under which a process repairs
// or migrates a suite, and the removal of temporary files that the first version left.
//
// Contract: every function logs its own failures (with the file's path and the system's
// error text) and reports them by returning nullopt or false; nothing throws. Descriptors are
// opened close-on-exec and owned by the returned objects. Any thread may call them.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Platform/Foundation/UniqueFd.h"

namespace vrk::defaults {

// Identity of one version of a file as stat reports it. ReplaceFile gives every new version a
// modification time after the one it replaces, so an inode number reused by the file system
// cannot make a new version look like an old one.
struct FileStamp {
  bool exists = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtimeNs = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// The stamp of `path` (exists == false when there is no such file), or nullopt when stat
// fails for another reason.
std::optional<FileStamp> StatPath(const std::filesystem::path& path);

struct FileContents {
  FileStamp stamp;
  bool regular = false;  // false for a folder, FIFO or device: its bytes are not read
  std::string bytes;
};

// Reads the version of `path` that is there now: its stamp matches its bytes. A missing file
// gives a stamp with exists == false; nullopt on an I/O error.
std::optional<FileContents> ReadFile(const std::filesystem::path& path);

// An exclusive flock on a lock file, released when the object goes away (or its process
// dies, so a killed writer never leaves the lock taken).
class FileLock final {
 public:
  // Waits at most `timeout` for the lock. The lock file is created when missing; in a folder
  // that cannot be written an existing lock file is opened read-only. nullopt, logged, when
  // neither works or the time-out passes.
  static std::optional<FileLock> acquire(const std::filesystem::path& lockPath,
                                         std::chrono::milliseconds timeout);

 private:
  explicit FileLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// Removes the files in `folder` whose names start with `tempPrefix`: all of them, or with
// `olderThan` only those not modified for that long.
void RemoveStrayTempFiles(const std::filesystem::path& folder, std::string_view tempPrefix,
                          std::optional<std::chrono::seconds> olderThan);

}  // namespace vrk::defaults
