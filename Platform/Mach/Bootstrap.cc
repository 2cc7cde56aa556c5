// The bootstrap server: names are sockets in $VRK_ROOT/var/run/bootstrap/.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Mach/Mach.h"
#include "Platform/Mach/PortSpace.h"

namespace vrk {

using mach_internal::Destination;
using mach_internal::PortSpace;
using mach_internal::SocketAddress;

namespace {

constexpr std::size_t kMaxServiceName = 127;  // name_t holds 128 bytes with its NUL

bool ValidServiceName(const char* name) {
  if (!name) return false;
  std::string_view n(name);
  return !n.empty() && n.size() <= kMaxServiceName && n != "." && n != ".." &&
         n.find('/') == std::string_view::npos;
}

// The bootstrap folder, checked and opened without following a symlink, and locked so that
// two processes replacing a stale name at once cannot remove each other's fresh socket.
class BootstrapDirectory {
 public:
  // Creates the folder when missing. Logs and leaves the object empty when it is refused.
  static BootstrapDirectory Open(bool create) {
    BootstrapDirectory dir;
    dir.path_ = emulated::Root() / "var/run/bootstrap";
    if (create && !emulated::EnsurePrivateDirectory(dir.path_)) return dir;
    if (!create && !emulated::AncestorsAreSafe(dir.path_)) return dir;
    UniqueFd fd(::open(dir.path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return dir;
    // Checked again on the open folder: the path may have been swapped after the first check.
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0777) != 0700) {
      NSLog("[Mach] refusing the bootstrap folder %s", dir.path_.string());
      return dir;
    }
    while (::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    dir.fd_ = std::move(fd);
    return dir;
  }

  explicit operator bool() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  const std::filesystem::path& path() const { return path_; }

  // The address a socket named `name` in this folder is bound at. The plain path when it
  // fits; otherwise the folder's descriptor stands in for the long part of it.
  SocketAddress addressOf(const std::string& name) const {
    SocketAddress out;
    out.addr.sun_family = AF_UNIX;
    std::string full = (path_ / name).string();
    if (full.size() < sizeof out.addr.sun_path) {
      std::memcpy(out.addr.sun_path, full.c_str(), full.size() + 1);
    } else {
      std::snprintf(out.addr.sun_path, sizeof out.addr.sun_path, "/proc/self/fd/%d/%s", fd(),
                    name.c_str());
    }
    out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                        std::strlen(out.addr.sun_path) + 1);
    return out;
  }

 private:
  std::filesystem::path path_;
  UniqueFd fd_;  // closing it drops the lock
};

// True when a receiver is bound at the address: only then does a datagram connect succeed.
bool IsLive(const SocketAddress& address) {
  UniqueFd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe) return false;
  return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address.addr), address.length) ==
         0;
}

SocketAddress AddressOfDescriptor(int fd) {
  SocketAddress out;
  out.addr.sun_family = AF_UNIX;
  int n = std::snprintf(out.addr.sun_path, sizeof out.addr.sun_path, "/proc/self/fd/%d", fd);
  out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
  return out;
}

// Opens the socket file of `name` without following a symlink. Returns the Mach error that
// the caller passes on when the file is missing, not a socket, or not the user's.
kern_return_t OpenServiceFile(const BootstrapDirectory& dir, const char* name, UniqueFd* out) {
  UniqueFd file(::openat(dir.fd(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!file) return BOOTSTRAP_UNKNOWN_SERVICE;
  struct stat st;
  if (::fstat(file.get(), &st) != 0) return BOOTSTRAP_UNKNOWN_SERVICE;
  if (S_ISLNK(st.st_mode)) {
    NSLog("[Mach] refusing bootstrap name %s: its path is a symbolic link", name);
    return BOOTSTRAP_NOT_PRIVILEGED;
  }
  if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) {
    NSLog("[Mach] refusing bootstrap name %s: not a socket of this user", name);
    return BOOTSTRAP_NOT_PRIVILEGED;
  }
  *out = std::move(file);
  return BOOTSTRAP_SUCCESS;
}

}  // namespace

kern_return_t bootstrap_look_up(mach_port_t bp, const char* service_name, mach_port_t* service) {
  if (bp != bootstrap_port || !service) return KERN_INVALID_ARGUMENT;
  if (!ValidServiceName(service_name)) return BOOTSTRAP_UNKNOWN_SERVICE;
  BootstrapDirectory dir = BootstrapDirectory::Open(/*create=*/false);
  if (!dir) return BOOTSTRAP_UNKNOWN_SERVICE;
  UniqueFd file;
  if (kern_return_t kr = OpenServiceFile(dir, service_name, &file)) return kr;
  if (!IsLive(AddressOfDescriptor(file.get()))) return BOOTSTRAP_UNKNOWN_SERVICE;
  auto destination = std::make_shared<Destination>();
  destination->socketFile = std::move(file);
  *service = PortSpace::shared().addSend(std::move(destination));
  return BOOTSTRAP_SUCCESS;
}

kern_return_t bootstrap_register(mach_port_t bp, const char* service_name, mach_port_t receive) {
  if (bp != bootstrap_port) return KERN_INVALID_ARGUMENT;
  if (!ValidServiceName(service_name)) return BOOTSTRAP_NOT_PRIVILEGED;
  auto socket = PortSpace::shared().receive(receive);
  if (!socket) return KERN_INVALID_RIGHT;
  BootstrapDirectory dir = BootstrapDirectory::Open(/*create=*/true);
  if (!dir) return BOOTSTRAP_NOT_PRIVILEGED;

  struct stat st;
  if (::fstatat(dir.fd(), service_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    UniqueFd file;
    if (kern_return_t kr = OpenServiceFile(dir, service_name, &file)) return kr;
    if (IsLive(AddressOfDescriptor(file.get()))) {
      NSLog("[Mach] bootstrap name %s is held by a live receiver", service_name);
      return BOOTSTRAP_SERVICE_ACTIVE;
    }
    // Left by a receiver that died without releasing its right.
    if (::unlinkat(dir.fd(), service_name, 0) != 0 && errno != ENOENT) {
      NSLog("[Mach] cannot remove the stale socket of %s: %s", service_name, std::strerror(errno));
      return BOOTSTRAP_NOT_PRIVILEGED;
    }
  }

  SocketAddress address = dir.addressOf(service_name);
  if (::bind(socket->fd(), reinterpret_cast<const sockaddr*>(&address.addr), address.length) != 0) {
    // EINVAL: the right already has an address (it sent before it was registered).
    if (errno == EINVAL) return KERN_INVALID_RIGHT;
    NSLog("[Mach] cannot bind bootstrap name %s: %s", service_name, std::strerror(errno));
    return BOOTSTRAP_NOT_PRIVILEGED;
  }
  if (::fstatat(dir.fd(), service_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    socket->setRegistration((dir.path() / service_name).string(), st.st_dev, st.st_ino);
  }
  return BOOTSTRAP_SUCCESS;
}

namespace mach_internal {

void RemoveRegistration(const std::string& path, dev_t device, ino_t inode) {
  std::filesystem::path file(path);
  UniqueFd dirFd(
      ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dirFd) return;
  while (::flock(dirFd.get(), LOCK_EX) != 0 && errno == EINTR) {
  }
  std::string name = file.filename().string();
  struct stat st;
  // Only our own file: after a restart the name may already belong to a newer receiver.
  if (::fstatat(dirFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == device &&
      st.st_ino == inode) {
    ::unlinkat(dirFd.get(), name.c_str(), 0);
  }
}

}  // namespace mach_internal

}  // namespace vrk
