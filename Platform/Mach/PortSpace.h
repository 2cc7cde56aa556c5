// The per-process port name table behind Mach.h, shared by the files of Platform/Mach only.
//
// Contract: every member of PortSpace is thread-safe (one mutex guards the table). Sockets are
// owned by ReceiveSocket objects, shared by the table and by whoever is sending from or waiting
// on them at the moment, so releasing a right while another thread uses it never closes a
// descriptor under that thread.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "Platform/Foundation/ThreadSafety.h"
#include "Platform/Foundation/UniqueFd.h"
#include "Platform/Mach/Mach.h"

namespace vrk::mach_internal {

// The names mach_task_self() and bootstrap_port answer; never handed out for rights.
inline constexpr mach_port_name_t kTaskSelfName = 0x103;
inline constexpr mach_port_name_t kBootstrapName = 0x807;

// A Unix socket address with its length (abstract addresses start with a NUL byte).
struct SocketAddress {
  sockaddr_un addr{};
  socklen_t length = 0;
};

// The socket of one receive right. It is created unbound; it gets an address either when it
// is registered under a bootstrap name or, automatically, the first time it sends (SO_PASSCRED
// makes the kernel give it an abstract address so that the receiver can reply).
class ReceiveSocket {
 public:
  // Null, with errno set, when no socket can be made.
  static std::shared_ptr<ReceiveSocket> Create();
  ~ReceiveSocket();
  ReceiveSocket(const ReceiveSocket&) = delete;
  ReceiveSocket& operator=(const ReceiveSocket&) = delete;

  int fd() const { return fd_.get(); }

  // Remembers the bootstrap file this socket is bound to, so that releasing the right removes
  // the file, but only while it is still this socket's file.
  void setRegistration(std::string path, dev_t device, ino_t inode);

 private:
  explicit ReceiveSocket(UniqueFd fd) : fd_(std::move(fd)) {}

  UniqueFd fd_;
  Mutex mutex_;
  std::string registeredPath_ GUARDED_BY(mutex_);
  dev_t device_ GUARDED_BY(mutex_) = 0;
  ino_t inode_ GUARDED_BY(mutex_) = 0;
};

// Where a send or send-once right delivers.
struct Destination {
  // A send right made from a receive right of this task: its socket's current address.
  std::weak_ptr<ReceiveSocket> local;
  // A send right found by bootstrap_look_up: an O_PATH descriptor of the socket file, so that
  // the right keeps naming that very receiver even if the name is registered anew.
  UniqueFd socketFile;
  // A send-once right for the reply address of a received datagram.
  std::optional<SocketAddress> address;

  // The address to send to now; nullopt when the destination is gone.
  std::optional<SocketAddress> resolve() const;
};

struct PortEntry {
  std::shared_ptr<ReceiveSocket> receive;  // set while the name holds the receive right
  std::uint32_t sendRefs = 0;
  bool sendOnce = false;
  // Where the name's send or send-once right delivers; null for a receive-only name.
  std::shared_ptr<const Destination> destination;
};

class PortSpace {
 public:
  static PortSpace& shared();

  mach_port_name_t addReceive(std::shared_ptr<ReceiveSocket> socket);
  mach_port_name_t addSend(std::shared_ptr<const Destination> destination);
  mach_port_name_t addSendOnce(SocketAddress address);

  // The receive right's socket of `name`, or null.
  std::shared_ptr<ReceiveSocket> receive(mach_port_name_t name);
  // A copy of the entry of `name`, or nullopt.
  std::optional<PortEntry> find(mach_port_name_t name);

  kern_return_t insertSend(mach_port_name_t name);
  kern_return_t modRefs(mach_port_name_t name, mach_port_right_t right, mach_port_delta_t delta);
  kern_return_t deallocate(mach_port_name_t name);
  // Takes the send right a message is sent through according to `disposition`: a send-once
  // right is removed from the table (it is consumed by any attempt), MOVE_SEND drops one
  // reference. Returns the destination, or the Mach error for the header.
  kern_return_t takeForSend(mach_port_name_t name, mach_msg_type_name_t disposition,
                            std::shared_ptr<const Destination>* destination);

  std::size_t sizeForTesting();

 private:
  PortSpace() = default;
  mach_port_name_t nextName() REQUIRES(mutex_);

  Mutex mutex_;
  std::unordered_map<mach_port_name_t, PortEntry> entries_ GUARDED_BY(mutex_);
  mach_port_name_t next_ GUARDED_BY(mutex_) = 0x1103;
};

// The socket that sends messages carrying no reply right: unbound and without SO_PASSCRED, so
// the receiver sees no reply address. Shared by the process; -1 when it cannot be made.
int AnonymousSendSocket();

// Removes a bootstrap file when it is still the one made for (device, inode).
void RemoveRegistration(const std::string& path, dev_t device, ino_t inode);

}  // namespace vrk::mach_internal
