#include "Platform/FinderSync/HostConnection.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "Platform/FinderSync/HostProtocol.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"

namespace vrk::findersync {
namespace {

// Forwards the controller's operations to the host as no-reply calls and keeps what the
// extension set, so that reading it back never asks the host.
class HostController final : public FIFinderSyncController,
                             public std::enable_shared_from_this<HostController> {
 public:
  explicit HostController(sd_bus* bus) : bus_(sd_bus_ref(bus)) {}
  ~HostController() override { sd_bus_unref(bus_); }

  std::optional<std::set<NSURL>> directoryURLs() override {
    std::lock_guard lock(mutex_);
    return directoryURLs_;
  }

  void setDirectoryURLs(std::optional<std::set<NSURL>> urls) override {
    {
      std::lock_guard lock(mutex_);
      directoryURLs_ = urls;
    }
    std::vector<std::string> texts;
    if (urls) {
      for (const NSURL& url : *urls) texts.push_back(url.absoluteString());
    }
    const bool isSet = urls.has_value();
    send(kSetDirectoryURLsMember, [isSet, texts = std::move(texts)](sd_bus_message* m) {
      int r = sd_bus_message_append(m, "b", isSet);
      return r < 0 ? r : AppendStringArray(m, texts);
    });
  }

  void setBadgeImage(std::shared_ptr<const NSImage> image, std::string label,
                     std::string badgeIdentifier) override {
    std::string name = image ? image->name() : std::string();
    send(kSetBadgeImageMember, [name = std::move(name), label = std::move(label),
                                id = std::move(badgeIdentifier)](sd_bus_message* m) {
      return sd_bus_message_append(m, "sss", WireString(name).c_str(), WireString(label).c_str(),
                                   WireString(id).c_str());
    });
  }

  void setBadgeIdentifier(std::string badgeIdentifier, const NSURL& url) override {
    send(kSetBadgeIdentifierMember,
         [id = std::move(badgeIdentifier), text = url.absoluteString()](sd_bus_message* m) {
           return sd_bus_message_append(m, "ss", WireString(id).c_str(), text.c_str());
         });
  }

  std::vector<NSURL> selectedItemURLs() override {
    std::lock_guard lock(mutex_);
    return selected_;
  }

  std::optional<NSURL> targetedURL() override {
    std::lock_guard lock(mutex_);
    return targeted_;
  }

  void setSelection(std::vector<NSURL> selected, std::optional<NSURL> targeted) {
    std::lock_guard lock(mutex_);
    selected_ = std::move(selected);
    targeted_ = std::move(targeted);
  }

  bool sendNow(const char* member, const std::function<int(sd_bus_message*)>& append) {
    if (dropping_) return false;
    MessagePtr message;
    sd_bus_message* raw = nullptr;
    int r =
        sd_bus_message_new_method_call(bus_, &raw, nullptr, kObjectPath, kHostInterface, member);
    message.reset(raw);
    if (r >= 0) r = append(raw);
    // The host may be waiting for this extension right now: never ask it for an answer.
    if (r >= 0) r = sd_bus_message_set_expect_reply(raw, 0);
    if (r >= 0) r = sd_bus_send(bus_, raw, nullptr);
    if (r < 0) {
      // After the host has gone every send fails the same way; say so once.
      if (r == -ENOTCONN || r == -ECONNRESET || r == -EPIPE) dropping_ = true;
      NSLog("FIFinderSyncController: %s not sent to the file manager host: %s", member,
            std::string(std::strerror(-r)));
      return false;
    }
    return true;
  }

 private:
  void send(const char* member, std::function<int(sd_bus_message*)> append) {
    if (RunLoop::main().isCurrent()) {
      sendNow(member, append);
      return;
    }
    // sd-bus connections belong to one thread: move the send to the main run loop.
    std::weak_ptr<HostController> weak = weak_from_this();
    RunLoop::main().perform([weak, member, append = std::move(append)] {
      if (auto self = weak.lock()) self->sendNow(member, append);
    });
  }

  sd_bus* const bus_;
  std::atomic<bool> dropping_{false};
  mutable std::mutex mutex_;
  std::optional<std::set<NSURL>> directoryURLs_;
  std::vector<NSURL> selected_;
  std::optional<NSURL> targeted_;
};

class Connection final : public ExtensionHostConnection {
 public:
  Connection(BusPtr bus) : bus_(std::move(bus)) {
    controller_ = std::make_shared<HostController>(bus_.get());
  }

  ~Connection() override {
    attachment_.reset();
    slots_.clear();
  }

  int start(sd_event* event) {
    static const sd_bus_vtable kVTable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD(kBeginObservingDirectoryMember, kObserveSignature, "", &Connection::OnObserve,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD(kEndObservingDirectoryMember, kObserveSignature, "", &Connection::OnObserve,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD(kRequestBadgeIdentifierMember, kObserveSignature, "", &Connection::OnObserve,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD(kRequestBadgeIdentifiersMember, kRequestBadgeIdentifiersSignature, "",
                      &Connection::OnRequestBadges, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD(kMenuForMenuKindMember, kMenuForMenuKindSignature, kMenuForMenuKindResult,
                      &Connection::OnMenu, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD(kPerformMenuActionMember, kPerformMenuActionSignature,
                      kPerformMenuActionResult, &Connection::OnAction, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD(kPingMember, "", "", &Connection::OnPing, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_add_object_vtable(bus_.get(), &slot, kObjectPath, kExtensionInterface, kVTable,
                                     this);
    if (r < 0) return r;
    slots_.emplace_back(slot);
    SlotPtr lost;
    r = dbus::MatchDisconnected(bus_.get(), &lost, &Connection::OnDisconnected, this);
    if (r < 0) return r;
    slots_.push_back(std::move(lost));
    r = sd_bus_start(bus_.get());
    if (r < 0) return r;
    attachment_ = BusAttachment::attach(bus_.get(), event, &r);
    return r;
  }

  std::shared_ptr<FIFinderSyncController> controller() const override { return controller_; }
  void setPrincipal(std::shared_ptr<FIFinderSync> principal) override {
    principal_ = std::move(principal);
  }
  std::shared_ptr<FIFinderSync> releasePrincipal() override {
    lastMenu_.reset();
    return std::move(principal_);
  }
  void setDisconnectHandler(std::function<void()> handler) override {
    onDisconnect_ = std::move(handler);
  }
  bool sendReady() override {
    return controller_->sendNow(kReadyMember, [](sd_bus_message*) { return 0; });
  }
  bool isConnected() const override { return connected_; }

  void flush() override {
    if (connected_) sd_bus_flush(bus_.get());
  }

 private:
  // Reads the URL argument, logging and refusing what is not a file URL.
  static std::optional<NSURL> ReadURL(sd_bus_message* m, const char* what) {
    const char* text = nullptr;
    if (sd_bus_message_read(m, "s", &text) < 0) return std::nullopt;
    std::optional<NSURL> url = DecodeFileURL(text);
    if (!url) NSLog("FIFinderSync: %s with a bad URL from the host, dropped", what);
    return url;
  }

  static int Refuse(sd_bus_error* error, const char* member, const char* why) {
    NSLog("FIFinderSync: %s from the host refused: %s", member, why);
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "%s: %s", member, why);
  }

  // Reads "as selected, s targeted" and makes them the controller's selection.
  int readSelection(sd_bus_message* m, const char* member, sd_bus_error* error) {
    std::vector<std::string> texts;
    const char* targetedText = nullptr;
    int r = ReadStringArray(m, &texts);
    if (r >= 0) r = sd_bus_message_read(m, "s", &targetedText);
    if (r < 0) return Refuse(error, member, "malformed arguments");
    std::optional<std::vector<NSURL>> selected = DecodeFileURLs(texts);
    std::optional<NSURL> targeted;
    if (*targetedText != '\0') targeted = DecodeFileURL(targetedText);
    if (!selected || (*targetedText != '\0' && !targeted)) {
      return Refuse(error, member, "not a file URL");
    }
    controller_->setSelection(std::move(*selected), std::move(targeted));
    return 1;
  }

  static int OnObserve(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<Connection*>(userdata);
    const char* member = sd_bus_message_get_member(m);
    std::optional<NSURL> url = ReadURL(m, member);
    if (!url) return Refuse(error, member, "not a file URL");
    if (!self->principal_) return Refuse(error, member, "no principal object");
    std::shared_ptr<FIFinderSync> principal = self->principal_;
    const std::string_view name(member);
    if (name == kBeginObservingDirectoryMember) {
      principal->beginObservingDirectoryAtURL(*url);
    } else if (name == kEndObservingDirectoryMember) {
      principal->endObservingDirectoryAtURL(*url);
    } else {
      principal->requestBadgeIdentifierForURL(*url);
    }
    return sd_bus_reply_method_return(m, "");
  }

  // Many badge requests at once: each good URL is asked of the principal in order, without
  // waiting between them; bad ones are left out with one line for the message.
  static int OnRequestBadges(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<Connection*>(userdata);
    std::vector<std::string> texts;
    if (ReadStringArray(m, &texts) < 0) {
      return Refuse(error, kRequestBadgeIdentifiersMember, "malformed arguments");
    }
    if (texts.size() > kMaxBadgeBatch) {
      return Refuse(error, kRequestBadgeIdentifiersMember, "too many items");
    }
    if (!self->principal_) {
      return Refuse(error, kRequestBadgeIdentifiersMember, "no principal object");
    }
    std::shared_ptr<FIFinderSync> principal = self->principal_;
    std::size_t bad = 0;
    for (const std::string& text : texts) {
      if (std::optional<NSURL> url = DecodeFileURL(text)) {
        principal->requestBadgeIdentifierForURL(*url);
      } else {
        ++bad;
      }
    }
    if (bad > 0) {
      NSLog("FIFinderSync: %s with %zu bad URLs from the host, those dropped",
            kRequestBadgeIdentifiersMember, bad);
    }
    return sd_bus_reply_method_return(m, "");
  }

  static int OnMenu(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<Connection*>(userdata);
    std::int64_t kind = 0;
    if (sd_bus_message_read(m, "x", &kind) < 0) {
      return Refuse(error, kMenuForMenuKindMember, "malformed arguments");
    }
    if (int r = self->readSelection(m, kMenuForMenuKindMember, error); r < 0) return r;
    if (!self->principal_) return Refuse(error, kMenuForMenuKindMember, "no principal object");
    std::shared_ptr<FIFinderSync> principal = self->principal_;
    std::shared_ptr<NSMenu> menu = principal->menuForMenuKind(static_cast<FIMenuKind>(kind));
    // Finder keeps the menu it shows; the entry chosen from it is the action's sender.
    self->lastMenu_ = menu;

    std::vector<WireMenuItem> items;
    if (menu) {
      for (const auto& item : menu->items()) {
        items.push_back({item->title(), item->action(),
                         item->image() ? item->image()->name() : std::string(),
                         item->keyEquivalent()});
      }
    }
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_return(m, &raw);
    MessagePtr reply(raw);
    if (r >= 0) r = sd_bus_message_append(raw, "b", menu != nullptr);
    if (r >= 0) r = AppendMenuItems(raw, items);
    if (r >= 0) r = sd_bus_send(nullptr, raw, nullptr);
    return r;
  }

  static int OnAction(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<Connection*>(userdata);
    const char* action = nullptr;
    std::int64_t index = 0;
    if (sd_bus_message_read(m, "sx", &action, &index) < 0) {
      return Refuse(error, kPerformMenuActionMember, "malformed arguments");
    }
    if (int r = self->readSelection(m, kPerformMenuActionMember, error); r < 0) return r;
    if (!self->principal_) return Refuse(error, kPerformMenuActionMember, "no principal object");
    std::shared_ptr<NSMenuItem> sender;
    if (self->lastMenu_ && index >= 0) {
      sender = self->lastMenu_->itemAtIndex(static_cast<std::size_t>(index));
      if (sender && sender->action() != action) sender.reset();
    }
    std::shared_ptr<FIFinderSync> principal = self->principal_;
    bool responded = principal->performMenuAction(action, sender);
    return sd_bus_reply_method_return(m, "b", responded);
  }

  static int OnPing(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
  }

  static int OnDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Connection*>(userdata);
    if (!self->connected_) return 0;
    self->connected_ = false;
    NSLog("FIFinderSync: the file manager host has gone away");
    if (self->onDisconnect_) self->onDisconnect_();
    return 0;
  }

  BusPtr bus_;
  std::vector<SlotPtr> slots_;
  std::unique_ptr<BusAttachment> attachment_;
  std::shared_ptr<HostController> controller_;
  std::shared_ptr<FIFinderSync> principal_;
  std::shared_ptr<NSMenu> lastMenu_;
  std::function<void()> onDisconnect_;
  bool connected_ = true;
};

}  // namespace

std::unique_ptr<ExtensionHostConnection> ExtensionHostConnection::open(int fd, sd_event* event) {
  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  if (r < 0) {
    ::close(fd);
    NSLog("FIFinderSync: cannot create the host connection: %s", std::string(std::strerror(-r)));
    return nullptr;
  }
  BusPtr bus(raw);
  // The bus owns the descriptor from here on and closes it with itself.
  r = sd_bus_set_fd(raw, fd, fd);
  if (r < 0) {
    ::close(fd);
  } else {
    auto connection = std::make_unique<Connection>(std::move(bus));
    r = connection->start(event);
    if (r >= 0) return connection;
  }
  NSLog("FIFinderSync: cannot connect to the file manager host: %s",
        std::string(std::strerror(-r)));
  return nullptr;
}

}  // namespace vrk::findersync
