// XPC objects and client connections: one thread per busy connection writes the messages and
// reads the replies; handlers run on the queues they were given. Listeners and their peers are
// in XPCListener.cc.
#include "Platform/XPC/xpc.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/UniqueFd.h"
#include "Platform/XPC/Launchd.h"
#include "Platform/XPC/XPCInternal.h"
#include "Platform/XPC/XPCWire.h"

namespace vrk {

using xpcinternal::Deliver;
using xpcinternal::MakeError;

namespace xpcinternal {

xpc_object_t MakeError(const char* description) {
  auto e = std::make_shared<xpc_object>();
  e->type = XPC_TYPE_ERROR;
  e->dictionary.emplace(XPC_ERROR_KEY_DESCRIPTION, Object(description));
  return e;
}

void Deliver(const dispatch_queue_t& queue, const xpc_handler_t& handler, xpc_object_t object) {
  if (!handler) return;
  if (queue) {
    queue->async([handler, object = std::move(object)] { handler(object); });
  } else {
    handler(object);
  }
}

}  // namespace xpcinternal

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kConnectTimeout = std::chrono::seconds(15);
constexpr auto kIoTimeout = std::chrono::seconds(10);

struct MainQueue final : dispatch_queue {
  void async(std::function<void()> block) override { dispatch::async_main(std::move(block)); }
};

struct Outgoing {
  xpc_object_t message;
  bool wantsReply = false;
  dispatch_queue_t replyq;
  xpc_handler_t handler;
};

struct Pending {
  dispatch_queue_t replyq;
  xpc_handler_t handler;
  Clock::time_point deadline;
};

}  // namespace

const xpc_object_t XPC_ERROR_CONNECTION_INTERRUPTED = MakeError("Connection interrupted");
const xpc_object_t XPC_ERROR_CONNECTION_INVALID = MakeError("Connection invalid");

// The state that the connection's thread shares with the handle's owners.
class ConnectionCore : public std::enable_shared_from_this<ConnectionCore> {
 public:
  ConnectionCore(std::string name, dispatch_queue_t target)
      : name_(std::move(name)), target_(std::move(target)), wake_(::eventfd(0, EFD_CLOEXEC)) {}

  void setEventHandler(xpc_handler_t handler) {
    std::lock_guard lock(mutex_);
    eventHandler_ = std::move(handler);
  }
  void resume() {
    std::lock_guard lock(mutex_);
    resumed_ = true;
    startLocked();
  }
  void send(Outgoing out) {
    if (!out.replyq) out.replyq = target_;
    std::unique_lock lock(mutex_);
    if (invalid_) {
      lock.unlock();
      Deliver(out.replyq, out.handler, XPC_ERROR_CONNECTION_INVALID);
      return;
    }
    outgoing_.push_back(std::move(out));
    startLocked();
  }
  void cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    startLocked();
  }

 private:
  // Starts the thread when there is work and none runs; otherwise wakes the running one.
  void startLocked() {
    if (!resumed_) return;
    if (running_) {
      std::uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(wake_.get(), &one, sizeof one);
      return;
    }
    if (outgoing_.empty() && !cancelled_) return;
    running_ = true;
    std::thread([self = shared_from_this()] { self->run(); }).detach();
  }

  void run();
  void interrupted(std::deque<Pending>& pending);
  void invalidate(std::deque<Pending>& pending, std::unique_lock<std::mutex>& lock);
  bool readOne(std::deque<Pending>& pending);

  const std::string name_;
  const dispatch_queue_t target_;
  UniqueFd wake_;
  UniqueFd socket_;  // the connection's thread only

  std::mutex mutex_;
  xpc_handler_t eventHandler_;
  std::deque<Outgoing> outgoing_;
  bool resumed_ = false, running_ = false, cancelled_ = false, invalid_ = false;
};

void ConnectionCore::interrupted(std::deque<Pending>& pending) {
  socket_.reset();
  xpc_handler_t handler;
  {
    std::lock_guard lock(mutex_);
    handler = eventHandler_;
  }
  for (auto& p : pending) Deliver(p.replyq, p.handler, XPC_ERROR_CONNECTION_INTERRUPTED);
  pending.clear();
  Deliver(target_, handler, XPC_ERROR_CONNECTION_INTERRUPTED);
}

void ConnectionCore::invalidate(std::deque<Pending>& pending, std::unique_lock<std::mutex>& lock) {
  invalid_ = true;
  running_ = false;
  auto outgoing = std::move(outgoing_);
  xpc_handler_t handler = eventHandler_;
  lock.unlock();
  socket_.reset();
  for (auto& p : pending) Deliver(p.replyq, p.handler, XPC_ERROR_CONNECTION_INVALID);
  for (auto& o : outgoing) Deliver(o.replyq, o.handler, XPC_ERROR_CONNECTION_INVALID);
  Deliver(target_, handler, XPC_ERROR_CONNECTION_INVALID);
}

// Reads one frame; false when the connection broke (already reported).
bool ConnectionCore::readOne(std::deque<Pending>& pending) {
  xpcwire::FrameKind kind;
  Object dict;
  std::string why;
  auto status = xpcwire::ReadFrame(socket_.get(), kIoTimeout, &kind, &dict, &why);
  if (status != xpcwire::ReadStatus::Ok) {
    if (status != xpcwire::ReadStatus::Closed) NSLog("[XPC] %s: bad frame: %s", name_, why);
    interrupted(pending);
    return false;
  }
  auto object = xpc_dictionary_create_from_object(dict);
  if (kind == xpcwire::FrameKind::Reply) {
    if (pending.empty()) {
      NSLog("[XPC] %s: a reply that nothing waits for", name_);
      interrupted(pending);
      return false;
    }
    Pending p = std::move(pending.front());
    pending.pop_front();
    Deliver(p.replyq, p.handler, std::move(object));
  } else {
    xpc_handler_t handler;
    {
      std::lock_guard lock(mutex_);
      handler = eventHandler_;
    }
    Deliver(target_, handler, std::move(object));
  }
  return true;
}

void ConnectionCore::run() {
  std::deque<Pending> pending;
  for (;;) {
    Outgoing next;
    {
      std::unique_lock lock(mutex_);
      if (cancelled_) return invalidate(pending, lock);
      if (!outgoing_.empty()) {
        next = std::move(outgoing_.front());
        outgoing_.pop_front();
      } else if (pending.empty()) {
        running_ = false;
        return;
      }
    }
    if (next.message) {
      if (!socket_) {
        std::string why;
        socket_ = launchd::ConnectMachService(name_, kConnectTimeout, &why);
        if (!socket_) {
          NSLog("[XPC] %s: %s", name_, why);
          std::unique_lock lock(mutex_);
          outgoing_.push_front(std::move(next));
          return invalidate(pending, lock);
        }
      }
      auto kind =
          next.wantsReply ? xpcwire::FrameKind::MessageWantsReply : xpcwire::FrameKind::Message;
      auto frame = xpcwire::EncodeFrame(kind, next.message->dictionary);
      if (!frame) {
        NSLog("[XPC] %s: the message cannot be sent (too large or not encodable)", name_);
        Deliver(next.replyq, next.handler, XPC_ERROR_CONNECTION_INTERRUPTED);
        continue;
      }
      if (!xpcwire::WriteAll(socket_.get(), *frame, kIoTimeout)) {
        // A service may answer and close before our request went out (the privileged helper
        // does so for a caller it never serves): what it sent is still delivered, in order, and
        // only what stays unanswered is interrupted.
        if (next.wantsReply) {
          pending.push_back({next.replyq, next.handler, Clock::now()});
        } else {
          Deliver(next.replyq, next.handler, XPC_ERROR_CONNECTION_INTERRUPTED);
        }
        while (socket_ && !pending.empty()) {
          pollfd p{socket_.get(), POLLIN, 0};
          if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) break;
          readOne(pending);
        }
        if (socket_) interrupted(pending);
        continue;
      }
      if (next.wantsReply) {
        pending.push_back({next.replyq, next.handler, Clock::now() + kReplyTimeout});
      }
      continue;
    }
    // Wait for a reply, a message of the service, or new work from another thread.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(pending.front().deadline -
                                                                      Clock::now());
    if (left.count() <= 0) {
      NSLog("[XPC] %s: no reply in time", name_);
      interrupted(pending);
      continue;
    }
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (n <= 0) continue;
    if (fds[1].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] auto r = ::read(wake_.get(), &count, sizeof count);
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) readOne(pending);
  }
}

dispatch_queue_t dispatch_get_main_queue() {
  static const dispatch_queue_t main = std::make_shared<MainQueue>();
  return main;
}

xpc_type_t xpc_get_type(const xpc_object_t& object) {
  return object ? object->type : XPC_TYPE_ERROR;
}

xpc_object_t xpc_dictionary_create(const char* const* keys, const xpc_object_t* values,
                                   std::size_t count) {
  auto d = std::make_shared<xpc_object>();
  d->type = XPC_TYPE_DICTIONARY;
  for (std::size_t i = 0; keys && values && i < count; ++i) {
    if (keys[i] && values[i] && values[i]->type == XPC_TYPE_DICTIONARY) {
      d->dictionary[keys[i]] = Object(values[i]->dictionary);
    }
  }
  return d;
}

void xpc_dictionary_set_string(const xpc_object_t& dictionary, const char* key, const char* value) {
  if (!dictionary || dictionary->type != XPC_TYPE_DICTIONARY || key == nullptr) return;
  if (value == nullptr) {
    dictionary->dictionary.erase(std::string(key));
  } else {
    dictionary->dictionary.insert_or_assign(std::string(key), Object(value));
  }
}

const char* xpc_dictionary_get_string(const xpc_object_t& dictionary, const char* key) {
  if (!dictionary || key == nullptr) return nullptr;
  auto it = dictionary->dictionary.find(std::string_view(key));
  if (it == dictionary->dictionary.end() || it->second.string() == nullptr) return nullptr;
  return it->second.string()->c_str();
}

Object xpc_dictionary_copy_object(const xpc_object_t& dictionary) {
  if (!dictionary) return Object();
  return Object(dictionary->dictionary);
}

xpc_object_t xpc_dictionary_create_from_object(const Object& dictionary) {
  auto d = std::make_shared<xpc_object>();
  d->type = XPC_TYPE_DICTIONARY;
  if (const ObjectDictionary* in = dictionary.dictionary()) d->dictionary = *in;
  return d;
}

xpc_connection_t xpc_connection_create_mach_service(const char* name, dispatch_queue_t targetq,
                                                    std::uint64_t flags) {
  if (name != nullptr && *name != '\0' && flags == XPC_CONNECTION_MACH_SERVICE_LISTENER) {
    return xpcinternal::CreateListener(name, std::move(targetq));
  }
  if (name == nullptr || *name == '\0' || flags != XPC_CONNECTION_MACH_SERVICE_PRIVILEGED) {
    return nullptr;
  }
  auto c = std::make_shared<xpc_connection>();
  c->core = std::make_shared<ConnectionCore>(name, std::move(targetq));
  return c;
}

void xpc_connection_set_event_handler(const xpc_connection_t& connection, xpc_handler_t handler) {
  if (!connection) return;
  if (connection->listener) return xpcinternal::SetListenerEventHandler(connection, handler);
  if (connection->peer) return xpcinternal::SetPeerEventHandler(connection, handler);
  connection->core->setEventHandler(std::move(handler));
}

void xpc_connection_resume(const xpc_connection_t& connection) {
  if (!connection) return;
  if (connection->listener) return xpcinternal::ResumeListener(connection);
  if (connection->peer) return xpcinternal::ResumePeer(connection);
  connection->core->resume();
}

void xpc_connection_send_message(const xpc_connection_t& connection, const xpc_object_t& message) {
  if (!connection || !message || message->type != XPC_TYPE_DICTIONARY) return;
  if (connection->peer) return xpcinternal::SendToPeer(connection, message);
  if (!connection->core) return;
  connection->core->send({std::make_shared<xpc_object>(*message), false, nullptr, nullptr});
}

void xpc_connection_send_message_with_reply(const xpc_connection_t& connection,
                                            const xpc_object_t& message, dispatch_queue_t replyq,
                                            xpc_handler_t handler) {
  if (!connection || !message || message->type != XPC_TYPE_DICTIONARY) return;
  if (!connection->core) return;
  // The message is copied: the caller may change or release its dictionary at once.
  connection->core->send(
      {std::make_shared<xpc_object>(*message), true, std::move(replyq), std::move(handler)});
}

xpc_object_t xpc_connection_send_message_with_reply_sync(const xpc_connection_t& connection,
                                                         const xpc_object_t& message) {
  struct Wait {
    std::mutex mutex;
    std::condition_variable cv;
    xpc_object_t reply;
  };
  auto wait = std::make_shared<Wait>();
  // A queue of its own that runs the handler at once on the connection's thread, whatever the
  // connection's target queue is.
  struct Direct final : dispatch_queue {
    void async(std::function<void()> block) override { block(); }
  };
  xpc_connection_send_message_with_reply(connection, message, std::make_shared<Direct>(),
                                         [wait](xpc_object_t reply) {
                                           std::lock_guard lock(wait->mutex);
                                           wait->reply = std::move(reply);
                                           wait->cv.notify_all();
                                         });
  std::unique_lock lock(wait->mutex);
  if (!wait->cv.wait_for(lock, kReplyTimeout + kConnectTimeout + kIoTimeout,
                         [&] { return wait->reply != nullptr; })) {
    return XPC_ERROR_CONNECTION_INTERRUPTED;
  }
  return wait->reply;
}

void xpc_connection_cancel(const xpc_connection_t& connection) {
  if (!connection) return;
  if (connection->listener) return xpcinternal::CancelListener(connection);
  if (connection->peer) return xpcinternal::CancelPeer(connection);
  connection->core->cancel();
}

xpc_object_t xpc_dictionary_create_reply(const xpc_object_t& original) {
  if (!original || original->type != XPC_TYPE_DICTIONARY || !original->wantsReply) return nullptr;
  auto reply = std::make_shared<xpc_object>();
  reply->type = XPC_TYPE_DICTIONARY;
  reply->isReply = true;
  return reply;
}

}  // namespace vrk
