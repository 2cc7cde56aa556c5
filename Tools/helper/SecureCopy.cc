// The helper's file copy with the caller's credentials, by descriptor, never by path twice.
#include "Tools/helper/SecureCopy.h"

#include <fcntl.h>
#include <linux/limits.h>
#include <sys/fsuid.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <random>

#include "Platform/Foundation/UniqueFd.h"

namespace vrk::helper {
namespace {

CopyResult Refuse(std::string why) {
  return {false, "Refused: " + why + "."};
}

// Splits an absolute path into its components; nullopt when it is relative, empty, too long,
// holds "." or "..", or ends in a slash (it must name a file).
std::optional<std::vector<std::string_view>> Components(std::string_view path, std::string* why) {
  if (path.empty()) return *why = "the path is empty", std::nullopt;
  if (path.front() != '/') return *why = "the path is not absolute", std::nullopt;
  if (path.size() >= PATH_MAX) return *why = "the path is too long", std::nullopt;
  if (path.back() == '/') return *why = "the path does not name a file", std::nullopt;
  std::vector<std::string_view> parts;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part == "." || part == "..")
      return *why = "the path holds a . or .. component", std::nullopt;
    if (part.size() > NAME_MAX) return *why = "a path component is too long", std::nullopt;
    if (!part.empty()) parts.push_back(part);
    start = end + 1;
  }
  if (parts.empty()) return *why = "the path does not name a file", std::nullopt;
  return parts;
}

std::string ErrnoReason(std::string_view what, int err) {
  if (err == EACCES || err == EPERM) return std::string(what) + ": permission denied";
  if (err == ENOENT) return std::string(what) + ": no such file or folder";
  return std::string(what) + ": " + std::strerror(err);
}

// Opens the folder that holds the last component, one component at a time without following
// a symbolic link anywhere. `name` receives the last component.
UniqueFd OpenParent(std::string_view path, std::string_view role, std::string* name,
                    std::string* why) {
  auto parts = Components(path, why);
  if (!parts) return {};
  UniqueFd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (std::size_t i = 0; i + 1 < parts->size(); ++i) {
    std::string part((*parts)[i]);
    UniqueFd next(::openat(dir.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!next) {
      int err = errno;
      if (::fstatat(dir.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        *why = "a folder on the " + std::string(role) + " path is a symbolic link";
      } else {
        *why = ErrnoReason("the " + std::string(role) + " folder", err);
      }
      return {};
    }
    if (::fstat(next.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *why = "a folder on the " + std::string(role) + " path is a symbolic link";
      return {};
    }
    dir = std::move(next);
  }
  *name = std::string(parts->back());
  return dir;
}

// Copies `length` bytes at `offset` of `in` to the same offset of `out`, in the kernel where it
// can. Returns the bytes copied, fewer when the source ended early, or -1 on an error.
off_t CopyRange(int in, int out, off_t offset, off_t length, bool* kernelCopy) {
  off_t inPos = offset, outPos = offset;
  if (!*kernelCopy && ::lseek(out, offset, SEEK_SET) != offset) return -1;
  while (inPos < offset + length) {
    const auto left = static_cast<size_t>(offset + length - inPos);
    ssize_t n;
    if (*kernelCopy) {
      n = ::copy_file_range(in, &inPos, out, &outPos, left, 0);
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        *kernelCopy = false;
        if (::lseek(out, outPos, SEEK_SET) != outPos) return -1;
        continue;
      }
    } else {
      n = ::sendfile(out, in, &inPos, left);  // advances inPos itself
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;  // the source shrank; copy what there is
  }
  return inPos - offset;
}

// Copies the first `size` bytes of `in` and nothing of its holes: only the ranges SEEK_DATA
// finds are copied and the copy is sized at the end, so a sparse source stays sparse and its
// holes cost neither blocks nor time. Where the file system cannot tell, all of it is data.
bool CopyData(int in, int out, off_t size) {
  bool kernelCopy = true;
  off_t pos = 0, end = size;
  while (pos < end) {
    off_t data = ::lseek(in, pos, SEEK_DATA);
    off_t hole = end;
    if (data < 0 && errno == ENXIO) break;  // only a hole (or nothing) is left
    if (data < 0) {
      if (errno != EINVAL && errno != EOPNOTSUPP) return false;
      data = pos;
    } else {
      if (data >= end) break;
      hole = ::lseek(in, data, SEEK_HOLE);
      if (hole < 0 || hole > end) hole = end;
    }
    const off_t copied = CopyRange(in, out, data, hole - data, &kernelCopy);
    if (copied < 0) return false;
    if (copied < hole - data) end = data + copied;
    pos = data + copied;
  }
  return ::ftruncate(out, end) == 0;
}

std::string TemporaryName() {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  char buf[40];
  std::snprintf(buf, sizeof buf, ".vrkcopy-%016llx", static_cast<unsigned long long>(rng()));
  return buf;
}

// Switches this thread's file-system identity to the caller's for its lifetime. The raw system
// calls change only the calling thread; glibc's setgroups would change every thread.
class AsCaller {
 public:
  explicit AsCaller(const Caller& c) {
    if (::geteuid() != 0) {
      ok_ = c.uid == ::geteuid();
      return;
    }
    saved_ = true;
    savedGroups_.resize(static_cast<std::size_t>(std::max(0, ::getgroups(0, nullptr))));
    int n = ::getgroups(static_cast<int>(savedGroups_.size()), savedGroups_.data());
    savedGroups_.resize(static_cast<std::size_t>(std::max(0, n)));
    if (::syscall(SYS_setgroups, c.groups.size(), c.groups.data()) != 0) return;
    ::setfsgid(c.gid);
    ::setfsuid(c.uid);
    // setfsuid reports only the previous value; asking again tells whether it took.
    ok_ = static_cast<uid_t>(::setfsuid(c.uid)) == c.uid &&
          static_cast<gid_t>(::setfsgid(c.gid)) == c.gid;
  }
  ~AsCaller() {
    if (!saved_) return;
    ::setfsuid(::geteuid());
    ::setfsgid(::getegid());
    ::syscall(SYS_setgroups, savedGroups_.size(), savedGroups_.data());
  }
  AsCaller(const AsCaller&) = delete;
  AsCaller& operator=(const AsCaller&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  bool saved_ = false;
  std::vector<gid_t> savedGroups_;
};

}  // namespace

CopyResult SecureCopy(std::string_view source, std::string_view destination, uid_t callerUid) {
  std::string why, sourceName, destName;
  UniqueFd sourceDir = OpenParent(source, "source", &sourceName, &why);
  if (!sourceDir) return Refuse(why);
  struct stat st;
  if (::fstatat(sourceDir.get(), sourceName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return Refuse(ErrnoReason("the source", errno));
  }
  if (S_ISLNK(st.st_mode)) return Refuse("the source is a symbolic link");
  if (!S_ISREG(st.st_mode)) return Refuse("the source is not a regular file");
  if (st.st_nlink != 1) return Refuse("the source has other hard links");
  // O_NONBLOCK: should the entry be swapped for a FIFO now, opening it must not hang.
  UniqueFd in(::openat(sourceDir.get(), sourceName.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!in) return Refuse(ErrnoReason("the source", errno));
  struct stat opened;
  if (::fstat(in.get(), &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino ||
      !S_ISREG(opened.st_mode) || opened.st_nlink != 1) {
    return Refuse("the source changed while it was opened");
  }

  UniqueFd destDir = OpenParent(destination, "destination", &destName, &why);
  if (!destDir) return Refuse(why);
  struct stat existing;
  if (::fstatat(destDir.get(), destName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(existing.st_mode)) return Refuse("the destination is a symbolic link");
    if (!S_ISREG(existing.st_mode) || existing.st_uid != callerUid) {
      return Refuse("the destination exists and is not a regular file of the caller");
    }
  } else if (errno != ENOENT) {
    return Refuse(ErrnoReason("the destination", errno));
  }

  const std::string tmp = TemporaryName();
  UniqueFd out(::openat(destDir.get(), tmp.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
  if (!out) return Refuse(ErrnoReason("the destination folder", errno));
  bool ok = CopyData(in.get(), out.get(), opened.st_size) &&
            ::fchmod(out.get(), opened.st_mode & 0777) == 0;
  int err = errno;
  if (ok && ::renameat(destDir.get(), tmp.c_str(), destDir.get(), destName.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlinkat(destDir.get(), tmp.c_str(), 0);
    return Refuse(ErrnoReason("writing the destination", err));
  }
  return {true, "Copied " + std::string(source) + " to " + std::string(destination) + "."};
}

CopyResult CopyAsCaller(const Caller& caller, std::string_view source,
                        std::string_view destination) {
  AsCaller as(caller);
  if (!as.ok()) return Refuse("the helper cannot act as the caller");
  return SecureCopy(source, destination, caller.uid);
}

}  // namespace vrk::helper
