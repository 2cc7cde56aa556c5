#include "Platform/Mach/PortSpace.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace vrk::mach_internal {

std::shared_ptr<ReceiveSocket> ReceiveSocket::Create() {
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return nullptr;
  // Credentials on every datagram let the receiver drop what another user sent; on the sending
  // side the option also makes the kernel give an unbound socket an address to reply to.
  int on = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) return nullptr;
  return std::shared_ptr<ReceiveSocket>(new ReceiveSocket(std::move(fd)));
}

ReceiveSocket::~ReceiveSocket() {
  // The file goes first, so that nobody finds a name whose receiver is already closing.
  if (!registeredPath_.empty()) RemoveRegistration(registeredPath_, device_, inode_);
}

void ReceiveSocket::setRegistration(std::string path, dev_t device, ino_t inode) {
  MutexLock lock(mutex_);
  registeredPath_ = std::move(path);
  device_ = device;
  inode_ = inode;
}

std::optional<SocketAddress> Destination::resolve() const {
  SocketAddress out;
  if (address) return address;
  if (socketFile) {
    out.addr.sun_family = AF_UNIX;
    int n = std::snprintf(out.addr.sun_path, sizeof out.addr.sun_path, "/proc/self/fd/%d",
                          socketFile.get());
    out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
    return out;
  }
  auto socket = local.lock();
  if (!socket) return std::nullopt;
  out.length = sizeof out.addr;
  if (::getsockname(socket->fd(), reinterpret_cast<sockaddr*>(&out.addr), &out.length) != 0) {
    return std::nullopt;
  }
  if (out.length <= sizeof(sa_family_t)) {
    // A right that has never been bound or sent has no address yet; let the kernel pick an
    // abstract one so that messages to it can be delivered.
    sockaddr_un any{};
    any.sun_family = AF_UNIX;
    ::bind(socket->fd(), reinterpret_cast<sockaddr*>(&any), sizeof(sa_family_t));
    out.length = sizeof out.addr;
    if (::getsockname(socket->fd(), reinterpret_cast<sockaddr*>(&out.addr), &out.length) != 0 ||
        out.length <= sizeof(sa_family_t)) {
      return std::nullopt;
    }
  }
  return out;
}

PortSpace& PortSpace::shared() {
  // Never destroyed: threads that outlive main() may still release rights.
  static PortSpace* space = new PortSpace;
  return *space;
}

mach_port_name_t PortSpace::nextName() {
  for (;;) {
    mach_port_name_t name = next_++;
    if (name == MACH_PORT_NULL || name == MACH_PORT_DEAD || name == kTaskSelfName ||
        name == kBootstrapName || entries_.count(name) != 0) {
      continue;
    }
    return name;
  }
}

mach_port_name_t PortSpace::addReceive(std::shared_ptr<ReceiveSocket> socket) {
  MutexLock lock(mutex_);
  mach_port_name_t name = nextName();
  entries_[name].receive = std::move(socket);
  return name;
}

mach_port_name_t PortSpace::addSend(std::shared_ptr<const Destination> destination) {
  MutexLock lock(mutex_);
  mach_port_name_t name = nextName();
  PortEntry& entry = entries_[name];
  entry.sendRefs = 1;
  entry.destination = std::move(destination);
  return name;
}

mach_port_name_t PortSpace::addSendOnce(SocketAddress address) {
  auto destination = std::make_shared<Destination>();
  destination->address = address;
  MutexLock lock(mutex_);
  mach_port_name_t name = nextName();
  PortEntry& entry = entries_[name];
  entry.sendOnce = true;
  entry.destination = std::move(destination);
  return name;
}

std::shared_ptr<ReceiveSocket> PortSpace::receive(mach_port_name_t name) {
  MutexLock lock(mutex_);
  auto it = entries_.find(name);
  return it == entries_.end() ? nullptr : it->second.receive;
}

std::optional<PortEntry> PortSpace::find(mach_port_name_t name) {
  MutexLock lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

kern_return_t PortSpace::insertSend(mach_port_name_t name) {
  MutexLock lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end()) return KERN_INVALID_NAME;
  PortEntry& entry = it->second;
  if (!entry.receive) return KERN_INVALID_RIGHT;
  if (entry.sendRefs == UINT32_MAX) return KERN_UREFS_OVERFLOW;
  if (!entry.destination) {
    auto destination = std::make_shared<Destination>();
    destination->local = entry.receive;
    entry.destination = std::move(destination);
  }
  ++entry.sendRefs;
  return KERN_SUCCESS;
}

kern_return_t PortSpace::modRefs(mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta) {
  PortEntry released;  // destroyed after the lock is dropped: closing may remove a file
  MutexLock lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end()) return KERN_INVALID_NAME;
  PortEntry& entry = it->second;
  switch (right) {
    case MACH_PORT_RIGHT_RECEIVE:
      if (!entry.receive) return KERN_INVALID_RIGHT;
      if (delta == 0) return KERN_SUCCESS;
      if (delta != -1) return KERN_INVALID_VALUE;
      released.receive = std::move(entry.receive);
      break;
    case MACH_PORT_RIGHT_SEND: {
      if (entry.sendRefs == 0) return KERN_INVALID_RIGHT;
      std::int64_t refs = std::int64_t{entry.sendRefs} + delta;
      if (refs < 0) return KERN_INVALID_VALUE;
      if (refs > UINT32_MAX) return KERN_UREFS_OVERFLOW;
      entry.sendRefs = static_cast<std::uint32_t>(refs);
      break;
    }
    case MACH_PORT_RIGHT_SEND_ONCE:
      if (!entry.sendOnce) return KERN_INVALID_RIGHT;
      if (delta == 0) return KERN_SUCCESS;
      if (delta != -1) return KERN_INVALID_VALUE;
      entry.sendOnce = false;
      break;
    default:
      return KERN_INVALID_VALUE;
  }
  if (!entry.receive && entry.sendRefs == 0 && !entry.sendOnce) {
    released.destination = std::move(entry.destination);
    entries_.erase(it);
  }
  return KERN_SUCCESS;
}

kern_return_t PortSpace::deallocate(mach_port_name_t name) {
  std::shared_ptr<const Destination> released;
  MutexLock lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end()) return KERN_INVALID_NAME;
  PortEntry& entry = it->second;
  if (entry.sendOnce) {
    entry.sendOnce = false;
  } else if (entry.sendRefs > 0) {
    --entry.sendRefs;
  } else {
    return KERN_INVALID_RIGHT;
  }
  if (!entry.receive && entry.sendRefs == 0 && !entry.sendOnce) {
    released = std::move(entry.destination);
    entries_.erase(it);
  }
  return KERN_SUCCESS;
}

kern_return_t PortSpace::takeForSend(mach_port_name_t name, mach_msg_type_name_t disposition,
                                     std::shared_ptr<const Destination>* destination) {
  MutexLock lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end()) return MACH_SEND_INVALID_DEST;
  PortEntry& entry = it->second;
  switch (disposition) {
    case MACH_MSG_TYPE_COPY_SEND:
    case MACH_MSG_TYPE_MOVE_SEND:
      if (entry.sendRefs == 0 || !entry.destination) return MACH_SEND_INVALID_DEST;
      *destination = entry.destination;
      if (disposition == MACH_MSG_TYPE_MOVE_SEND) --entry.sendRefs;
      break;
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
      if (!entry.sendOnce || !entry.destination) return MACH_SEND_INVALID_DEST;
      *destination = entry.destination;
      entry.sendOnce = false;
      break;
    case MACH_MSG_TYPE_MAKE_SEND:
    case MACH_MSG_TYPE_MAKE_SEND_ONCE: {
      if (!entry.receive) return MACH_SEND_INVALID_DEST;
      auto local = std::make_shared<Destination>();
      local->local = entry.receive;
      *destination = std::move(local);
      break;
    }
    default:
      return MACH_SEND_INVALID_HEADER;
  }
  if (!entry.receive && entry.sendRefs == 0 && !entry.sendOnce) entries_.erase(it);
  return KERN_SUCCESS;
}

std::size_t PortSpace::sizeForTesting() {
  MutexLock lock(mutex_);
  return entries_.size();
}

int AnonymousSendSocket() {
  static const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return fd;
}

}  // namespace vrk::mach_internal
