// XPC listeners and their peers: the job's side of a Mach service. One thread accepts callers and
// watches the peers that wait between requests; a worker takes a peer only while it has a
// request to read, so idle or slow callers never hold the workers.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/ThreadSafety.h"
#include "Platform/Foundation/UniqueFd.h"
#include "Platform/XPC/Launchd.h"
#include "Platform/XPC/XPCInternal.h"
#include "Platform/XPC/XPCWire.h"

namespace vrk {

using xpcinternal::Deliver;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMaxGroups = 256;
// How often the listener's thread looks at the idle peers, the idle exit and a cancel.
constexpr int kTurnMilliseconds = 200;

xpc_object_t MakeFault(const std::string& why) {
  auto e = xpcinternal::MakeError("Connection invalid");
  e->dictionary.insert_or_assign(XPC_ERROR_KEY_FAULT, Object(why));
  return e;
}

}  // namespace

// One caller of a listener. Its descriptor and credentials are fixed; the rest is guarded.
class PeerCore {
 public:
  PeerCore(UniqueFd fd, std::chrono::milliseconds writeTimeout)
      : fd_(std::move(fd)), writeTimeout_(writeTimeout) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
      uid_ = cred.uid;
      gid_ = cred.gid;
      pid_ = cred.pid;
    }
  }

  int fd() const { return fd_.get(); }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }
  pid_t pid() const { return pid_; }

  std::optional<std::vector<gid_t>> groups() const {
    std::vector<gid_t> groups(kMaxGroups);
    socklen_t glen = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_PEERGROUPS, groups.data(), &glen) != 0) {
      return std::nullopt;
    }
    groups.resize(glen / sizeof(gid_t));
    return groups;
  }

  void setHandler(xpc_handler_t handler) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (!finished_) handler_ = std::move(handler);
  }
  void resume() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    resumed_ = true;
  }
  void cancel() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    cancelled_ = true;
  }
  bool resumed() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return resumed_ && !cancelled_;
  }
  // Whether the peer is to be kept after a request: not cancelled and no write failed.
  bool keep() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return !cancelled_ && !broken_;
  }

  // Writes a message or a reply at once on the calling thread; a failure ends the peer after
  // the request.
  void send(const xpc_object_t& message) EXCLUDES(mutex_) {
    auto kind = message->isReply ? xpcwire::FrameKind::Reply : xpcwire::FrameKind::Message;
    auto frame = xpcwire::EncodeFrame(kind, Object(message->dictionary));
    if (!frame || !xpcwire::WriteAll(fd_.get(), *frame, writeTimeout_)) {
      MutexLock lock(mutex_);
      broken_ = true;
    }
  }

  void cancelWithReply(const xpc_object_t& reply) EXCLUDES(mutex_) {
    if (auto frame = xpcwire::EncodeFrame(xpcwire::FrameKind::Reply, Object(reply->dictionary))) {
      [[maybe_unused]] auto sent =
          ::send(fd_.get(), frame->data(), frame->size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    cancel();
  }

  void deliver(xpc_object_t message) EXCLUDES(mutex_) {
    xpc_handler_t handler;
    {
      MutexLock lock(mutex_);
      handler = handler_;
    }
    if (handler) handler(std::move(message));
  }

  // The peer's last event; its handler is released after it.
  void finish(const xpc_object_t& error) EXCLUDES(mutex_) {
    xpc_handler_t handler;
    {
      MutexLock lock(mutex_);
      if (finished_) return;
      finished_ = true;
      handler = std::move(handler_);
      handler_ = nullptr;
    }
    if (handler) handler(error);
  }

 private:
  const UniqueFd fd_;
  const std::chrono::milliseconds writeTimeout_;
  uid_t uid_ = static_cast<uid_t>(-1);
  gid_t gid_ = static_cast<gid_t>(-1);
  pid_t pid_ = 0;
  Mutex mutex_;
  xpc_handler_t handler_ GUARDED_BY(mutex_);
  bool resumed_ GUARDED_BY(mutex_) = false;
  bool cancelled_ GUARDED_BY(mutex_) = false;
  bool broken_ GUARDED_BY(mutex_) = false;
  bool finished_ GUARDED_BY(mutex_) = false;
};

class ListenerCore : public std::enable_shared_from_this<ListenerCore> {
 public:
  ListenerCore(std::string name, dispatch_queue_t target)
      : name_(std::move(name)),
        target_(std::move(target)),
        wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  void setEventHandler(xpc_handler_t handler) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    eventHandler_ = std::move(handler);
  }
  void setPeerHandler(xpc_peer_handler_t handler) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    peerHandler_ = std::move(handler);
  }
  void setOptions(const xpc_listener_options& options) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (!resumed_) options_ = options;
  }

  void resume() EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      if (resumed_) return;
      resumed_ = true;
    }
    std::string why;
    auto checkedIn = launchd::CheckIn(name_, &why);
    if (!checkedIn) {
      xpc_handler_t handler;
      {
        MutexLock lock(mutex_);
        handler = eventHandler_;
      }
      Deliver(target_, handler, xpcinternal::MakeError(why.c_str()));
      return;
    }
    listener_ = std::move(checkedIn->listener);
    instanceLock_ = std::move(checkedIn->instanceLock);
    std::thread([self = shared_from_this()] { self->run(); }).detach();
  }

  void cancel() EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      cancelled_ = true;
    }
    wake();
  }

 private:
  struct Idle {
    xpc_connection_t peer;
    Clock::time_point since;
  };

  void wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto w = ::write(wake_.get(), &one, sizeof one);
  }

  bool cancelled() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return cancelled_;
  }

  void run() EXCLUDES(mutex_) {
    xpc_listener_options options;
    {
      MutexLock lock(mutex_);
      options = options_;
    }
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < options.workers; ++i) {
      workers.emplace_back([this, options] { work(options); });
    }
    serve(options);
    {
      MutexLock lock(mutex_);
      closing_ = true;
    }
    ready_.notify_all();
    for (auto& t : workers) t.join();
    {
      MutexLock lock(mutex_);
      for (auto& p : returned_) idle_.push_back({std::move(p), Clock::now()});
      returned_.clear();
    }
    for (Idle& i : idle_) i.peer->peer->finish(XPC_ERROR_CONNECTION_INVALID);
    idle_.clear();
    listener_.reset();
    instanceLock_.reset();
    xpc_handler_t handler;
    {
      MutexLock lock(mutex_);
      handler = std::move(eventHandler_);
      eventHandler_ = nullptr;
      peerHandler_ = nullptr;
    }
    Deliver(target_, handler, XPC_ERROR_CONNECTION_INVALID);
  }

  void serve(const xpc_listener_options& options) {
    auto lastActive = Clock::now();
    bool listening = true;
    while (!cancelled()) {
      takeBackReturned();
      std::vector<pollfd> fds{{listening ? listener_.get() : -1, POLLIN, 0},
                              {wake_.get(), POLLIN, 0}};
      for (const Idle& i : idle_) fds.push_back({i.peer->peer->fd(), POLLIN, 0});
      int n = ::poll(fds.data(), fds.size(), kTurnMilliseconds);
      if (n < 0 && errno != EINTR) {
        NSLog("%s: poll failed: %s", name_, std::strerror(errno));
        return;
      }
      if (fds[1].revents & POLLIN) {
        std::uint64_t count;
        [[maybe_unused]] auto r = ::read(wake_.get(), &count, sizeof count);
      }
      // Peers with a request go to the workers; those idle too long, or cancelled, are ended.
      const auto now = Clock::now();
      std::vector<Idle> still;
      for (std::size_t i = 0; i < idle_.size(); ++i) {
        Idle& idle = idle_[i];
        if (!idle.peer->peer->keep()) {
          idle.peer->peer->finish(XPC_ERROR_CONNECTION_INVALID);
        } else if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) {
          dispatch(std::move(idle.peer));
        } else if (now - idle.since < options.idlePeerTimeout) {
          still.push_back(std::move(idle));
        } else {
          idle.peer->peer->finish(XPC_ERROR_CONNECTION_INVALID);
        }
      }
      idle_ = std::move(still);
      if (listening && (fds[0].revents & POLLIN)) acceptSome(options);
      if (busy()) {
        lastActive = Clock::now();
        continue;
      }
      if (!listening) return;
      if (options.idleExit && Clock::now() - lastActive >= *options.idleExit) {
        // Leave the name first, so that a new caller starts a new instance, then serve those
        // that connected before it was gone.
        ::unlink(launchd::MachServiceSocketPath(name_).c_str());
        while (acceptSome(options)) {
        }
        listening = false;
      }
    }
  }

  bool busy() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return !idle_.empty() || !queue_.empty() || active_ > 0 || !returned_.empty();
  }

  // Takes in the callers that wait, at most acceptBatch of them; true when more may wait.
  bool acceptSome(const xpc_listener_options& options) {
    for (std::size_t i = 0; i < options.acceptBatch; ++i) {
      UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!fd) return false;
      admit(std::move(fd), options);
    }
    return true;
  }

  // The new-peer handler decides at once what becomes of the caller.
  void admit(UniqueFd fd, const xpc_listener_options& options) EXCLUDES(mutex_) {
    auto peer = std::make_shared<xpc_connection>();
    peer->peer = std::make_shared<PeerCore>(std::move(fd), options.requestTimeout);
    xpc_peer_handler_t handler;
    {
      MutexLock lock(mutex_);
      handler = peerHandler_;
    }
    if (handler) handler(peer);
    if (!peer->peer->resumed()) {
      peer->peer->finish(XPC_ERROR_CONNECTION_INVALID);
      return;
    }
    idle_.push_back({std::move(peer), Clock::now()});
  }

  void dispatch(xpc_connection_t peer) EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      queue_.push_back(std::move(peer));
    }
    ready_.notify_one();
  }

  void takeBackReturned() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    for (auto& p : returned_) idle_.push_back({std::move(p), Clock::now()});
    returned_.clear();
  }

  void work(const xpc_listener_options& options) EXCLUDES(mutex_) {
    for (;;) {
      xpc_connection_t peer;
      {
        UniqueLock lock(mutex_);
        ready_.wait(lock.forWait(), [&]() REQUIRES(mutex_) { return closing_ || !queue_.empty(); });
        if (queue_.empty()) return;
        peer = std::move(queue_.front());
        queue_.pop_front();
        ++active_;
      }
      const bool keep = handleOne(*peer->peer, options);
      if (!keep) peer.reset();
      {
        MutexLock lock(mutex_);
        --active_;
        if (keep) returned_.push_back(std::move(peer));
      }
      wake();
    }
  }

  // Reads one request and hands it to the peer's handler; false when the peer has ended.
  bool handleOne(PeerCore& peer, const xpc_listener_options& options) {
    xpcwire::FrameKind kind;
    Object message;
    std::string why;
    auto status = xpcwire::ReadFrame(peer.fd(), options.requestTimeout, &kind, &message, &why);
    if (status == xpcwire::ReadStatus::Closed) {
      peer.finish(XPC_ERROR_CONNECTION_INVALID);
      return false;
    }
    if (status == xpcwire::ReadStatus::Ok && kind == xpcwire::FrameKind::Reply) {
      status = xpcwire::ReadStatus::Bad;
      why = "a reply frame from a client";
    }
    if (status != xpcwire::ReadStatus::Ok) {
      peer.finish(MakeFault(
          status == xpcwire::ReadStatus::TimedOut ? "the request did not arrive in time" : why));
      return false;
    }
    auto object = xpc_dictionary_create_from_object(message);
    object->wantsReply = kind == xpcwire::FrameKind::MessageWantsReply;
    peer.deliver(std::move(object));
    if (peer.keep()) return true;
    peer.finish(XPC_ERROR_CONNECTION_INVALID);
    return false;
  }

  const std::string name_;
  const dispatch_queue_t target_;
  // Set by resume before the listener's thread starts; that thread's own afterwards.
  UniqueFd listener_;
  UniqueFd instanceLock_;
  // Workers wake the listener's thread when they hand a peer back, cancel when it is to stop.
  const UniqueFd wake_;
  std::vector<Idle> idle_;  // the listener's thread only
  Mutex mutex_;
  std::condition_variable ready_;
  xpc_handler_t eventHandler_ GUARDED_BY(mutex_);
  xpc_peer_handler_t peerHandler_ GUARDED_BY(mutex_);
  xpc_listener_options options_ GUARDED_BY(mutex_);
  bool resumed_ GUARDED_BY(mutex_) = false;
  bool cancelled_ GUARDED_BY(mutex_) = false;
  bool closing_ GUARDED_BY(mutex_) = false;
  std::deque<xpc_connection_t> queue_ GUARDED_BY(mutex_);
  std::vector<xpc_connection_t> returned_ GUARDED_BY(mutex_);
  std::size_t active_ GUARDED_BY(mutex_) = 0;
};

namespace xpcinternal {

xpc_connection_t CreateListener(const char* name, dispatch_queue_t targetq) {
  auto c = std::make_shared<xpc_connection>();
  c->listener = std::make_shared<ListenerCore>(name, std::move(targetq));
  return c;
}
void SetListenerEventHandler(const xpc_connection_t& listener, xpc_handler_t handler) {
  listener->listener->setEventHandler(std::move(handler));
}
void ResumeListener(const xpc_connection_t& listener) {
  listener->listener->resume();
}
void CancelListener(const xpc_connection_t& listener) {
  listener->listener->cancel();
}
void SetPeerEventHandler(const xpc_connection_t& peer, xpc_handler_t handler) {
  peer->peer->setHandler(std::move(handler));
}
void ResumePeer(const xpc_connection_t& peer) {
  peer->peer->resume();
}
void SendToPeer(const xpc_connection_t& peer, const xpc_object_t& message) {
  peer->peer->send(message);
}
void CancelPeer(const xpc_connection_t& peer) {
  peer->peer->cancel();
}

}  // namespace xpcinternal

void xpc_listener_set_options(const xpc_connection_t& listener,
                              const xpc_listener_options& options) {
  if (listener && listener->listener) listener->listener->setOptions(options);
}

void xpc_listener_set_new_peer_handler(const xpc_connection_t& listener,
                                       xpc_peer_handler_t handler) {
  if (listener && listener->listener) listener->listener->setPeerHandler(std::move(handler));
}

uid_t xpc_connection_get_euid(const xpc_connection_t& peer) {
  return peer && peer->peer ? peer->peer->uid() : static_cast<uid_t>(-1);
}
gid_t xpc_connection_get_egid(const xpc_connection_t& peer) {
  return peer && peer->peer ? peer->peer->gid() : static_cast<gid_t>(-1);
}
pid_t xpc_connection_get_pid(const xpc_connection_t& peer) {
  return peer && peer->peer ? peer->peer->pid() : 0;
}
std::optional<std::vector<gid_t>> xpc_connection_copy_groups(const xpc_connection_t& peer) {
  if (!peer || !peer->peer) return std::nullopt;
  return peer->peer->groups();
}

void xpc_connection_cancel_with_reply(const xpc_connection_t& peer, const xpc_object_t& reply) {
  if (!peer || !peer->peer || !reply || reply->type != XPC_TYPE_DICTIONARY) return;
  peer->peer->cancelWithReply(reply);
}

}  // namespace vrk
