// Rights and mach_msg on Unix datagram sockets.
#include "Platform/Mach/Mach.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Mach/PortSpace.h"

namespace vrk {

using mach_internal::Destination;
using mach_internal::PortSpace;
using mach_internal::ReceiveSocket;
using mach_internal::SocketAddress;

namespace {

using Clock = std::chrono::steady_clock;

// A flood of bad datagrams costs a line per burst, not a line per datagram.
constexpr std::chrono::seconds kDropLogInterval{1};
LogThrottle& ForeignDrops() {
  static LogThrottle& throttle = *new LogThrottle(kDropLogInterval);
  return throttle;
}
LogThrottle& ShortDrops() {
  static LogThrottle& throttle = *new LogThrottle(kDropLogInterval);
  return throttle;
}

// Milliseconds left until `deadline` for poll(): -1 for no deadline, never negative.
int PollTimeout(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT32_MAX));
}

std::optional<Clock::time_point> DeadlineFor(bool bounded, mach_msg_timeout_t ms) {
  if (!bounded) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(ms);
}

// Waits until the receiver at `address` has room in its queue or the deadline passes. Only a
// connected socket reports the peer's queue through poll, so a short-lived one is made for it.
// Returns false when the deadline passed or the receiver is gone.
bool WaitForRoom(UniqueFd& probe, const SocketAddress& address,
                 const std::optional<Clock::time_point>& deadline) {
  if (!probe) {
    probe.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe) return false;
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address.addr), address.length) !=
        0) {
      probe.reset();
      return false;
    }
  }
  pollfd pfd{probe.get(), POLLOUT, 0};
  for (;;) {
    int timeout = PollTimeout(deadline);
    int n = ::poll(&pfd, 1, timeout);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    return (pfd.revents & POLLOUT) != 0;
  }
}

mach_msg_return_t SendMessage(mach_msg_header_t* msg, mach_msg_size_t sendSize, bool bounded,
                              mach_msg_timeout_t timeout) {
  if (sendSize < sizeof(mach_msg_header_t) || sendSize % 4 != 0) return MACH_SEND_MSG_TOO_SMALL;
  PortSpace& space = PortSpace::shared();

  // The reply right decides which socket sends: the receiver replies to the source address.
  std::shared_ptr<ReceiveSocket> from;
  if (msg->msgh_local_port != MACH_PORT_NULL) {
    mach_msg_type_name_t local = MACH_MSGH_BITS_LOCAL(msg->msgh_bits);
    if (local != MACH_MSG_TYPE_MAKE_SEND && local != MACH_MSG_TYPE_MAKE_SEND_ONCE) {
      return MACH_SEND_INVALID_REPLY;
    }
    from = space.receive(msg->msgh_local_port);
    if (!from) return MACH_SEND_INVALID_REPLY;
  }
  int fd = from ? from->fd() : mach_internal::AnonymousSendSocket();
  if (fd < 0) return MACH_SEND_NO_BUFFER;

  mach_msg_type_name_t remote = MACH_MSGH_BITS_REMOTE(msg->msgh_bits);
  std::shared_ptr<const Destination> destination;
  if (msg->msgh_remote_port == MACH_PORT_NULL) return MACH_SEND_INVALID_DEST;
  if (kern_return_t kr = space.takeForSend(msg->msgh_remote_port, remote, &destination)) return kr;
  std::optional<SocketAddress> address = destination->resolve();
  if (!address) return MACH_SEND_INVALID_DEST;

  mach_msg_header_t header = *msg;
  header.msgh_size = sendSize;
  iovec iov[2] = {{&header, sizeof header},
                  {reinterpret_cast<std::byte*>(msg) + sizeof header, sendSize - sizeof header}};
  msghdr mh{};
  mh.msg_name = &address->addr;
  mh.msg_namelen = address->length;
  mh.msg_iov = iov;
  mh.msg_iovlen = 2;

  const bool sendOnce = remote == MACH_MSG_TYPE_MOVE_SEND_ONCE;
  const auto deadline = DeadlineFor(bounded, timeout);
  UniqueFd probe;
  bool lastTry = false;
  for (;;) {
    ssize_t n = ::sendmsg(fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(sendSize)) return MACH_MSG_SUCCESS;
    if (n >= 0) return MACH_SEND_NO_BUFFER;  // a datagram is never sent in part
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:
        // Mach never holds a reply back for queue space, and neither may we: a client whose
        // queue is full must not stall the one answering it.
        if (sendOnce) return MACH_SEND_NO_BUFFER;
        if (lastTry || (bounded && timeout == 0)) return MACH_SEND_TIMED_OUT;
        // When the wait fails, either the time is up or the receiver is gone: one more
        // attempt tells which.
        if (!WaitForRoom(probe, *address, deadline)) lastTry = true;
        continue;
      case EMSGSIZE:
        return MACH_SEND_TOO_LARGE;
      case ENOBUFS:
      case ENOMEM:
        return MACH_SEND_NO_BUFFER;
      default:
        // ECONNREFUSED (nobody bound), ENOENT (file gone), EPERM and the like: the port is dead.
        return MACH_SEND_INVALID_DEST;
    }
  }
}

bool FromThisUser(const msghdr& mh) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&mh), c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
        c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
      ucred cred;
      std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
      return cred.uid == ::geteuid() || cred.uid == ::getuid();
    }
  }
  return false;
}

// Descriptors that a sender attached are not ours to keep.
void CloseReceivedDescriptors(const msghdr& mh) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&mh), c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      ::close(fd);
    }
  }
}

mach_msg_return_t ReceiveMessage(mach_msg_header_t* msg, mach_msg_size_t rcvSize,
                                 mach_port_name_t rcvName, bool bounded,
                                 mach_msg_timeout_t timeout) {
  std::shared_ptr<ReceiveSocket> socket = PortSpace::shared().receive(rcvName);
  if (!socket) return MACH_RCV_INVALID_NAME;
  const std::size_t capacity =
      rcvSize >= MACH_MSG_TRAILER_MINIMUM_SIZE ? rcvSize - MACH_MSG_TRAILER_MINIMUM_SIZE : 0;
  const auto deadline = DeadlineFor(bounded, timeout);
  for (;;) {
    pollfd pfd{socket->fd(), POLLIN, 0};
    int ready = ::poll(&pfd, 1, PollTimeout(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return MACH_RCV_INVALID_NAME;
    if (ready == 0) return MACH_RCV_TIMED_OUT;

    SocketAddress source;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(16 * sizeof(int))];
    iovec iov{msg, capacity};
    msghdr mh{};
    mh.msg_name = &source.addr;
    mh.msg_namelen = sizeof source.addr;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(socket->fd(), &mh, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;  // another thread took it
      return MACH_RCV_INVALID_NAME;
    }
    CloseReceivedDescriptors(mh);
    if (!FromThisUser(mh)) {
      if (std::uint64_t count = ForeignDrops().note()) {
        NSLog("[Mach] dropped a datagram of %ld bytes from another user (%lu since the last line)",
              static_cast<long>(n), static_cast<unsigned long>(count));
      }
      continue;
    }
    if (static_cast<std::size_t>(n) < sizeof(mach_msg_header_t)) {
      if (std::uint64_t count = ShortDrops().note()) {
        NSLog(
            "[Mach] dropped a datagram of %ld bytes: shorter than a message header (%lu since the "
            "last line)",
            static_cast<long>(n), static_cast<unsigned long>(count));
      }
      continue;
    }
    if (static_cast<std::size_t>(n) > capacity) return MACH_RCV_TOO_LARGE;

    source.length = mh.msg_namelen;
    mach_port_t reply = MACH_PORT_NULL;
    if (source.length > sizeof(sa_family_t)) reply = PortSpace::shared().addSendOnce(source);
    msg->msgh_bits =
        MACH_MSGH_BITS(reply ? MACH_MSG_TYPE_PORT_SEND_ONCE : 0, MACH_MSG_TYPE_PORT_SEND);
    msg->msgh_size = static_cast<mach_msg_size_t>(n);
    msg->msgh_remote_port = reply;
    msg->msgh_local_port = rcvName;
    msg->msgh_voucher_port = MACH_PORT_NULL;
    mach_msg_trailer_t trailer{MACH_MSG_TRAILER_FORMAT_0, MACH_MSG_TRAILER_MINIMUM_SIZE};
    std::memcpy(reinterpret_cast<std::byte*>(msg) + n, &trailer, sizeof trailer);
    return MACH_MSG_SUCCESS;
  }
}

}  // namespace

const mach_port_t bootstrap_port = mach_internal::kBootstrapName;

mach_port_t mach_task_self() {
  return mach_internal::kTaskSelfName;
}

kern_return_t task_get_bootstrap_port(mach_port_t task, mach_port_t* bootstrap) {
  if (task != mach_task_self()) return KERN_INVALID_TASK;
  if (!bootstrap) return KERN_INVALID_ARGUMENT;
  *bootstrap = bootstrap_port;
  return KERN_SUCCESS;
}

kern_return_t mach_port_allocate(ipc_space_t task, mach_port_right_t right,
                                 mach_port_name_t* name) {
  if (task != mach_task_self()) return KERN_INVALID_TASK;
  if (!name) return KERN_INVALID_ARGUMENT;
  if (right != MACH_PORT_RIGHT_RECEIVE) return KERN_INVALID_VALUE;
  auto socket = ReceiveSocket::Create();
  if (!socket) return KERN_RESOURCE_SHORTAGE;
  *name = PortSpace::shared().addReceive(std::move(socket));
  return KERN_SUCCESS;
}

kern_return_t mach_port_insert_right(ipc_space_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly) {
  if (task != mach_task_self()) return KERN_INVALID_TASK;
  if (polyPoly != MACH_MSG_TYPE_MAKE_SEND) return KERN_INVALID_VALUE;
  if (name != poly) return KERN_INVALID_RIGHT;
  return PortSpace::shared().insertSend(name);
}

kern_return_t mach_port_mod_refs(ipc_space_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta) {
  if (task != mach_task_self()) return KERN_INVALID_TASK;
  return PortSpace::shared().modRefs(name, right, delta);
}

kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name) {
  if (task != mach_task_self()) return KERN_INVALID_TASK;
  if (name == MACH_PORT_NULL || name == MACH_PORT_DEAD) return KERN_SUCCESS;
  return PortSpace::shared().deallocate(name);
}

mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option,
                           mach_msg_size_t send_size, mach_msg_size_t rcv_size,
                           mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t notify) {
  if (!msg) return (option & MACH_SEND_MSG) ? MACH_SEND_INVALID_DATA : MACH_RCV_INVALID_NAME;
  if (option & MACH_SEND_MSG) {
    if (notify != MACH_PORT_NULL) return MACH_SEND_INVALID_DEST;
    mach_msg_return_t mr = SendMessage(msg, send_size, (option & MACH_SEND_TIMEOUT) != 0, timeout);
    if (mr != MACH_MSG_SUCCESS) return mr;
  }
  if (option & MACH_RCV_MSG) {
    return ReceiveMessage(msg, rcv_size, rcv_name, (option & MACH_RCV_TIMEOUT) != 0, timeout);
  }
  return MACH_MSG_SUCCESS;
}

mach_msg_return_t mach_msg_send(mach_msg_header_t* msg) {
  if (!msg) return MACH_SEND_INVALID_DATA;
  return mach_msg(msg, MACH_SEND_MSG, msg->msgh_size, 0, MACH_PORT_NULL, MACH_MSG_TIMEOUT_NONE,
                  MACH_PORT_NULL);
}

void mach_msg_destroy(mach_msg_header_t* msg) {
  if (!msg || msg->msgh_remote_port == MACH_PORT_NULL) return;
  mach_msg_type_name_t remote = MACH_MSGH_BITS_REMOTE(msg->msgh_bits);
  if (remote == MACH_MSG_TYPE_PORT_SEND_ONCE || remote == MACH_MSG_TYPE_PORT_SEND) {
    mach_port_deallocate(mach_task_self(), msg->msgh_remote_port);
  }
}

}  // namespace vrk
