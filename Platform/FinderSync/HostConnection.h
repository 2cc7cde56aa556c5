// The extension's end of the file manager host protocol (HostProtocol.h).
//
// Contract:
// - open() takes ownership of the descriptor (closed on failure too), attaches the connection
//   to the given sd-event loop (the main run loop's) and returns null, with a log line, when
//   the connection cannot be set up.
// - controller() is the FIFinderSyncController that forwards to the host. Its calls never wait:
//   each is sent as a no-reply message, in order; calls from other threads are moved to the
//   main run loop. After the host has gone they are dropped.
// - The host's calls are served on the loop's thread by the principal object; calls that
//   arrive without one, or with a bad URL, get an error reply and a log line, and the
//   connection keeps serving.
// - The disconnect handler runs once, on the loop's thread, when the host goes away.
// - Everything but controller() is for the loop's thread (the main thread).
#pragma once

#include <functional>
#include <memory>

#include "Platform/FinderSync/FIFinderSync.h"

struct sd_event;

namespace vrk::findersync {

class ExtensionHostConnection {
 public:
  static std::unique_ptr<ExtensionHostConnection> open(int fd, sd_event* event);
  virtual ~ExtensionHostConnection() = default;

  virtual std::shared_ptr<FIFinderSyncController> controller() const = 0;
  virtual void setPrincipal(std::shared_ptr<FIFinderSync> principal) = 0;
  // Gives up the connection's reference to the principal and returns it.
  virtual std::shared_ptr<FIFinderSync> releasePrincipal() = 0;
  virtual void setDisconnectHandler(std::function<void()> handler) = 0;
  // Tells the host that the principal is ready. False when it could not be sent.
  virtual bool sendReady() = 0;
  virtual bool isConnected() const = 0;
  // Writes out everything queued, waiting at most a short while.
  virtual void flush() = 0;
};

}  // namespace vrk::findersync
