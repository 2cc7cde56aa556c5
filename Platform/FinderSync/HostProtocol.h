// The file manager host protocol: peer-to-peer D-Bus over one socketpair between the host
// (vrk-finder, the server end) and the extension it started (the client end).
//
// The host starts the extension's executable with its end of the socketpair as descriptor
// kFinderFdNumber and that number in the environment variable kFinderFdEnv; every other
// descriptor of the host is close-on-exec.
//
// Host -> extension, methods on kObjectPath, interface kExtensionInterface (the host waits for
// the reply unless it marks the call no-reply):
//   BeginObservingDirectory(s url)           -> ()
//   EndObservingDirectory(s url)             -> ()
//   RequestBadgeIdentifier(s url)            -> ()
//   RequestBadgeIdentifiers(as urls)         -> ()   (the same for many items, at most
//                                                     kMaxBadgeBatch; the reply comes once all
//                                                     were asked, so it is also a barrier. An
//                                                     extension that does not know it gets
//                                                     RequestBadgeIdentifier calls instead)
//   MenuForMenuKind(x kind, as selected, s targeted)
//                                            -> (b hasMenu, a(ssss) items: title, action,
//                                                image name, key equivalent)
//   PerformMenuAction(s action, x index, as selected, s targeted) -> (b responded)
//   Ping()                                   -> ()   (a barrier: everything the extension
//                                                     sent before it has arrived)
// Extension -> host, methods on kObjectPath, interface kHostInterface, always sent no-reply:
// the extension never waits for the host, which may at that moment be waiting for it.
//   Ready()
//   SetDirectoryURLs(b isSet, as urls)
//   SetBadgeImage(s image name, s label, s identifier)
//   SetBadgeIdentifier(s identifier, s url)
// Strings are made valid UTF-8 before they are sent (WireString). URLs travel as their absolute
// string, which is plain ASCII; an empty targeted URL means none. Order is kept on the
// socket, so a call the extension made before answering a host call arrives before the answer.
//
// Both ends use the sd-bus owners of Platform/Foundation/SdBus.h, named here too.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/NSURL.h"
#include "Platform/Foundation/SdBus.h"

namespace vrk::findersync {

inline constexpr const char* kFinderFdEnv = "VRK_FINDER_FD";
inline constexpr int kFinderFdNumber = 3;

inline constexpr const char* kObjectPath = "/org/vrk/FinderSync";
inline constexpr const char* kExtensionInterface = "org.vrk.FinderSync.Extension";
inline constexpr const char* kHostInterface = "org.vrk.FinderSync.Host";

// The members and argument signatures of the calls listed above, named once for both ends.
// Host -> extension:
inline constexpr const char* kBeginObservingDirectoryMember = "BeginObservingDirectory";
inline constexpr const char* kEndObservingDirectoryMember = "EndObservingDirectory";
inline constexpr const char* kRequestBadgeIdentifierMember = "RequestBadgeIdentifier";
inline constexpr const char* kObserveSignature = "s";  // the three calls above
inline constexpr const char* kRequestBadgeIdentifiersMember = "RequestBadgeIdentifiers";
inline constexpr const char* kRequestBadgeIdentifiersSignature = "as";
inline constexpr const char* kMenuForMenuKindMember = "MenuForMenuKind";
inline constexpr const char* kMenuForMenuKindSignature = "xass";
inline constexpr const char* kMenuForMenuKindResult = "ba(ssss)";
inline constexpr const char* kPerformMenuActionMember = "PerformMenuAction";
inline constexpr const char* kPerformMenuActionSignature = "sxass";
inline constexpr const char* kPerformMenuActionResult = "b";
inline constexpr const char* kPingMember = "Ping";
// Extension -> host:
inline constexpr const char* kReadyMember = "Ready";
inline constexpr const char* kSetDirectoryURLsMember = "SetDirectoryURLs";
inline constexpr const char* kSetDirectoryURLsSignature = "bas";
inline constexpr const char* kSetBadgeImageMember = "SetBadgeImage";
inline constexpr const char* kSetBadgeImageSignature = "sss";
inline constexpr const char* kSetBadgeIdentifierMember = "SetBadgeIdentifier";
inline constexpr const char* kSetBadgeIdentifierSignature = "ss";
// Badge requests in one RequestBadgeIdentifiers message; the extension refuses more.
inline constexpr std::size_t kMaxBadgeBatch = 1024;

using dbus::BusPtr;
using dbus::EventSourcePtr;
using dbus::MessagePtr;
using dbus::SlotPtr;

// Attaches a bus to an sd-event loop. sd-bus reads greedily: messages that arrived in the same
// read as an earlier one (or with the end of the authentication) wait in its buffer while the
// socket shows nothing new, so the loop would not wake for them. The attachment therefore also
// processes the bus after every pass of the loop, a bounded number of messages at a time, until
// nothing is left. Destroy it before the bus; loop thread only.
class BusAttachment {
 public:
  // Null, with the error in `error`, when the bus cannot be attached.
  static std::unique_ptr<BusAttachment> attach(sd_bus* bus, sd_event* event, int* error);
  ~BusAttachment();
  BusAttachment(const BusAttachment&) = delete;
  BusAttachment& operator=(const BusAttachment&) = delete;

 private:
  explicit BusAttachment(sd_bus* bus) : bus_(bus) {}
  static int OnPass(sd_event_source*, void* userdata);

  sd_bus* bus_;
  EventSourcePtr post_;
  EventSourcePtr again_;
};

using dbus::BusError;

// One entry of a menu as it crosses the socket.
struct WireMenuItem {
  std::string title;
  std::string action;
  std::string image;
  std::string keyEquivalent;
  friend bool operator==(const WireMenuItem&, const WireMenuItem&) = default;
};

// The decoding half of the protocol, apart from the socket so that it can be tested alone.
// A URL from the other end must be a file URL; anything else is nullopt.
std::optional<NSURL> DecodeFileURL(std::string_view text);
// All URLs, or nullopt when any of them is bad.
std::optional<std::vector<NSURL>> DecodeFileURLs(const std::vector<std::string>& texts);

// D-Bus strings must be UTF-8 without NUL: invalid sequences become U+FFFD and the text ends
// at a NUL, so that one bad title cannot make a whole reply fail.
std::string WireString(std::string_view text);

// Reading typed arguments from a message. Each returns a negative errno-style code on a
// signature mismatch or a malformed message, leaving `out` unspecified.
int ReadStringArray(sd_bus_message* message, std::vector<std::string>* out);
int ReadMenuItems(sd_bus_message* message, std::vector<WireMenuItem>* out);
int AppendStringArray(sd_bus_message* message, const std::vector<std::string>& values);
int AppendMenuItems(sd_bus_message* message, const std::vector<WireMenuItem>& items);

}  // namespace vrk::findersync
