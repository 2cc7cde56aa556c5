#include "Platform/Foundation/DefaultsFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "Platform/Foundation/NSLog.h"

namespace vrk::defaults {

namespace {

FileStamp StampOf(const struct stat& st) {
  return FileStamp{
      true, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
      static_cast<std::int64_t>(st.st_size),
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

std::int64_t NowNs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void LogErrno(const char* action, const std::filesystem::path& path, int error) {
  NSLog("[NSUserDefaults] cannot %s %s: %s", action, path.string(), std::strerror(error));
}

}  // namespace

std::optional<FileStamp> StatPath(const std::filesystem::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return StampOf(st);
  if (errno == ENOENT || errno == ENOTDIR) return FileStamp{};
  return std::nullopt;
}

std::optional<FileContents> ReadFile(const std::filesystem::path& path) {
  // O_NONBLOCK: a FIFO planted at the path must not hang the reader in open().
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT || errno == ENOTDIR) return FileContents{};
    LogErrno("open", path, errno);
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    LogErrno("stat", path, errno);
    return std::nullopt;
  }
  FileContents contents{StampOf(st), S_ISREG(st.st_mode) != 0, {}};
  if (!contents.regular) return contents;
  contents.bytes.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      LogErrno("read", path, errno);
      return std::nullopt;
    }
    contents.bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return contents;
}

std::optional<FileLock> FileLock::acquire(const std::filesystem::path& lockPath,
                                          std::chrono::milliseconds timeout) {
  UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    fd = UniqueFd(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  }
  if (!fd) {
    LogErrno("open", lockPath, errno);
    return std::nullopt;
  }
  // flock has no time-out of its own, so a holder stopped or hung is waited for by polling.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
      LogErrno("lock", lockPath, errno == EWOULDBLOCK ? ETIMEDOUT : errno);
      return std::nullopt;
    }
    ::usleep(2000);
  }
  return FileLock(std::move(fd));
}

void RemoveStrayTempFiles(const std::filesystem::path& folder, std::string_view tempPrefix,
                          std::optional<std::chrono::seconds> olderThan) {
  UniqueFd dirFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) return;
  // fdopendir takes over the descriptor it is given, so it gets a duplicate of ours.
  int scanFd = ::fcntl(dirFd.get(), F_DUPFD_CLOEXEC, 0);
  if (scanFd < 0) return;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(scanFd), &::closedir);
  if (!dir) {
    ::close(scanFd);
    return;
  }
  const std::int64_t cutoff =
      olderThan ? NowNs() - std::chrono::nanoseconds(*olderThan).count() : 0;
  while (const struct dirent* entry = ::readdir(dir.get())) {
    std::string_view name(entry->d_name);
    if (!name.starts_with(tempPrefix)) continue;
    if (olderThan) {
      struct stat st;
      if (::fstatat(dirFd.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (StampOf(st).mtimeNs > cutoff) continue;
    }
    if (::unlinkat(dirFd.get(), entry->d_name, 0) == 0) {
      NSLog("[NSUserDefaults] removed the stray temporary file %s", (folder / name).string());
    }
  }
}

}  // namespace vrk::defaults
