// What the client side (xpc.cc) and the listener side (XPCListener.cc) of XPC share: the objects
// behind the handles and the delivery of events to queues. Private to Platform/XPC.
#pragma once

#include <memory>
#include <string>

#include "Platform/XPC/xpc.h"

namespace vrk {

struct xpc_object {
  xpc_type_t type;
  ObjectDictionary dictionary;
  // A message a peer sent that waits for exactly one reply, and the reply made for it.
  bool wantsReply = false;
  bool isReply = false;
};

class ConnectionCore;
class ListenerCore;
class PeerCore;

// One of the three kinds of connection, whichever made it.
struct xpc_connection {
  std::shared_ptr<ConnectionCore> core;
  std::shared_ptr<ListenerCore> listener;
  std::shared_ptr<PeerCore> peer;
};

namespace xpcinternal {

// A new error object with `description`.
xpc_object_t MakeError(const char* description);
// Runs `handler` with `object` on `queue`, or at once on the calling thread for a null queue.
void Deliver(const dispatch_queue_t& queue, const xpc_handler_t& handler, xpc_object_t object);

// The listener side of the public calls (XPCListener.cc).
xpc_connection_t CreateListener(const char* name, dispatch_queue_t targetq);
void SetListenerEventHandler(const xpc_connection_t& listener, xpc_handler_t handler);
void ResumeListener(const xpc_connection_t& listener);
void CancelListener(const xpc_connection_t& listener);
void SetPeerEventHandler(const xpc_connection_t& peer, xpc_handler_t handler);
void ResumePeer(const xpc_connection_t& peer);
void SendToPeer(const xpc_connection_t& peer, const xpc_object_t& message);
void CancelPeer(const xpc_connection_t& peer);

}  // namespace xpcinternal
}  // namespace vrk
