// The legacy Finder bundle that vrk-finder loads on the Apple event NVTY/load: it vends the root
// object that the library drives before 10.10 and keeps what it was told to show.
#include "Tools/legacy-plugin/VRKFinderPlugin.h"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "Contract/VRKContract.h"
#include "Platform/Connection/DistantObjectWire.h"
#include "Platform/Foundation/DBusCenterSignal.h"
#include "Platform/Foundation/DBusMessageArguments.h"
#include "Platform/Foundation/NSDistributedNotificationCenter.h"
#include "Platform/Foundation/NSLog.h"
#include "VRKFinderSync/VRKFinderPluginProtocol.h"
#include "VRKFinderSyncExtension/VRKFinderSyncMachBridgeExtensionSide.h"

namespace vrk::plugin {
namespace {

using nlohmann::json;

// What the bundle keeps is bounded whatever a process of the user sends to its object. Paths and
// other strings are at most a path's length; the badge table holds at most kMaxBadges paths and
// kMaxBadgeBytes of them (a new path past either is refused, a path already there still changes);
// a call's arguments may weigh at most kMaxCallBytes, a badge cache's kMaxBadgeCacheBytes, and a
// call over that is refused before it is decoded.
constexpr std::size_t kMaxStringBytes = 4096;
constexpr std::size_t kMaxBadges = 65536;
constexpr std::size_t kMaxBadgeBytes = 8 << 20;
constexpr std::size_t kMaxCallBytes = 64 << 10;
constexpr std::size_t kMaxBadgeCacheBytes = 16 << 20;

json ToJSON(const Object& value) {
  switch (value.kind()) {
    case Object::Kind::String:
      return *value.string();
    case Object::Kind::Number:
      if (value.numberType() == Object::NumberType::Bool) return value.boolValue();
      return value.integerValue();
    case Object::Kind::Array: {
      json array = json::array();
      for (const Object& item : *value.array()) array.push_back(ToJSON(item));
      return array;
    }
    case Object::Kind::Dictionary: {
      json object = json::object();
      for (const auto& [key, item] : *value.dictionary()) object[key] = ToJSON(item);
      return object;
    }
    default:
      return nullptr;
  }
}

// What the bundle shows; guarded by its mutex, written on the serving thread.
struct Shown {
  std::optional<std::string> root;
  bool hidden = false;
  std::optional<std::string> language;
  std::map<std::string, std::int64_t> badges;
  std::size_t badgeBytes = 0;  // of the paths in `badges`
  Object menuItems;
  std::map<std::string, int> received;
};

class Plugin final {
 public:
  bool load(std::string* error) {
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    bus_.reset(raw);
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (r >= 0 && address == nullptr) r = -ENOENT;
    if (r >= 0) r = sd_bus_set_address(bus_.get(), address);
    if (r >= 0) r = sd_bus_set_bus_client(bus_.get(), 1);
    if (r >= 0) r = sd_bus_start(bus_.get());
    sd_bus_slot* object = nullptr;
    if (r >= 0) {
      r = sd_bus_add_object(bus_.get(), &object, distantobjects::kRootObjectPath, &Plugin::OnCall,
                            this);
    }
    objectSlot_.reset(object);
    // Posts that left the library together come as one Posts signal.
    sd_bus_slot* post = nullptr;
    sd_bus_slot* posts = nullptr;
    if (r >= 0) {
      r = sd_bus_match_signal(bus_.get(), &post, nullptr, dbus::kPostPath, dbus::kPostInterface,
                              dbus::kPostMember, &Plugin::OnPost, this);
    }
    postSlot_.reset(post);
    if (r >= 0) {
      r = sd_bus_match_signal(bus_.get(), &posts, nullptr, dbus::kPostPath, dbus::kPostInterface,
                              dbus::kPostsMember, &Plugin::OnPost, this);
    }
    postsSlot_.reset(posts);
    if (r >= 0) r = sd_bus_request_name(bus_.get(), kVRKFinderPluginConnectionName, 0);
    if (r >= 0 && ::pipe2(stop_, O_CLOEXEC) != 0) r = -errno;
    if (r < 0) {
      *error =
          std::string("cannot vend ") + kVRKFinderPluginConnectionName + ": " + std::strerror(-r);
      objectSlot_.reset();
      postSlot_.reset();
      postsSlot_.reset();
      bus_.reset();
      return false;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
  }

  void unload() {
    if (!thread_.joinable()) return;
    (void)!::write(stop_[1], "x", 1);
    thread_.join();
    objectSlot_.reset();
    postSlot_.reset();
    postsSlot_.reset();
    bus_.reset();
    ::close(stop_[0]);
    ::close(stop_[1]);
  }

  json state() {
    std::lock_guard lock(mutex_);
    json badges = json::object();
    for (const auto& [path, type] : shown_.badges) badges[path] = type;
    json received = json::object();
    for (const auto& [name, count] : shown_.received) received[name] = count;
    return {{"root", shown_.root ? json(*shown_.root) : json(nullptr)},
            {"hidden", shown_.hidden},
            {"language", shown_.language ? json(*shown_.language) : json(nullptr)},
            {"badges", badges},
            {"menuItems", ToJSON(shown_.menuItems)},
            {"received", received}};
  }

  json menu(const std::string& path) {
    {
      std::lock_guard lock(mutex_);
      const bool under =
          shown_.root && path.size() > shown_.root->size() && path.starts_with(*shown_.root);
      if (!under) return nullptr;
      shown_.menuItems = Object();
    }
    if (!bridge_)
      bridge_ = std::make_unique<VRKFinderSyncMachBridgeExtensionSide>(std::weak_ptr<FinderSync>());
    // The library sends the items to the root object before it answers this question.
    if (!bridge_->requestLockableWhenSelectItemAtPath(path)) return nullptr;
    std::lock_guard lock(mutex_);
    if (!shown_.menuItems.isArray()) return nullptr;
    json items = json::array();
    for (const Object& item : *shown_.menuItems.array()) {
      items.push_back({{"title", item.objectForKey("title").stringValue()},
                       {"command", item.objectForKey("command").integerValue()}});
    }
    return items;
  }

 private:
  void serve() {
    for (;;) {
      int r;
      while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
      }
      if (r < 0) {
        std::fprintf(stderr, "VRKFinderPlugin: lost the session bus: %s\n", std::strerror(-r));
        return;
      }
      pollfd fds[2] = {
          {sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0},
          {stop_[0], POLLIN, 0}};
      ::poll(fds, 2, -1);
      if (fds[1].revents != 0) return;
    }
  }

  static int OnCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (sd_bus_message_is_method_call(m, distantobjects::kInterface, nullptr) <= 0) return 0;
    return static_cast<Plugin*>(userdata)->handle(m);
  }

  int handle(sd_bus_message* m) {
    const std::string member = sd_bus_message_get_member(m);
    const std::size_t cap = member == "setBadgesCache_" ? kMaxBadgeCacheBytes : kMaxCallBytes;
    if (std::optional<std::size_t> weight = dbus::WeighMessageArguments(m);
        weight && *weight > cap) {
      const std::string why =
          "its arguments of " + std::to_string(*weight) + " bytes are above " + std::to_string(cap);
      return refuseOversized(m, member, why, SD_BUS_ERROR_LIMITS_EXCEEDED);
    }
    std::string why;
    auto arguments = dbus::ReadMessageArguments(m, &why);
    if (!arguments) {
      std::fprintf(stderr, "VRKFinderPlugin: refused %s: %s\n", member.c_str(), why.c_str());
      return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_INVALID_ARGS, "%s", why.c_str());
    }
    if (why = OverlongString(member, *arguments); !why.empty()) {
      return refuseOversized(m, member, why, SD_BUS_ERROR_INVALID_ARGS);
    }
    const std::vector<Object>& a = *arguments;
    auto arg = [&](std::size_t i) { return i < a.size() ? a[i] : Object(); };
    std::string selector;
    std::size_t full = 0;  // new badge paths refused for the table's cap
    {
      std::lock_guard lock(mutex_);
      if (member == "setRootFolderPath_") {
        selector = "setRootFolderPath:";
        shown_.root = arg(0).stringOrNil();
      } else if (member == "setIconType_toPath_") {
        selector = "setIconType:toPath:";
        if (auto path = arg(1).stringOrNil()) full += !setBadge(*path, arg(0).integerValue());
      } else if (member == "hideIcons_") {
        selector = "hideIcons:";
        shown_.hidden = arg(0).boolValue();
      } else if (member == "cleanIconsCache") {
        selector = "cleanIconsCache";
        clearBadges();
      } else if (member == "setBadgesCache_") {
        selector = "setBadgesCache:";
        clearBadges();
        if (const ObjectDictionary* cache = arg(0).dictionary()) {
          for (const auto& [path, type] : *cache) full += !setBadge(path, type.integerValue());
        }
      } else if (member == "addMenuItems_") {
        selector = "addMenuItems:";
        shown_.menuItems = arg(0);
      } else if (member == "removeAllMenuItems") {
        selector = "removeAllMenuItems";
        shown_.menuItems = Object();
      } else if (member == "changeLanguage_") {
        selector = "changeLanguage:";
        shown_.language = arg(0).stringOrNil();
      } else {
        return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_METHOD, "no method %s",
                                          member.c_str());
      }
      ++shown_.received[selector];
    }
    if (full > 0) {
      for (std::size_t i = 1; i < full; ++i) tableFull_.note();
      if (std::uint64_t count = tableFull_.note()) {
        std::fprintf(stderr,
                     "VRKFinderPlugin: the badge table is full (%zu paths); refused %llu new "
                     "paths since the last line\n",
                     kMaxBadges, static_cast<unsigned long long>(count));
      }
      return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_LIMITS_EXCEEDED, "the badge table is full");
    }
    return sd_bus_reply_method_return(m, "");
  }

  // Refuses a call for its size, with one log line per burst of such calls.
  int refuseOversized(sd_bus_message* m, const std::string& member, const std::string& why,
                      const char* error) {
    if (std::uint64_t count = refusedCalls_.note()) {
      std::fprintf(stderr, "VRKFinderPlugin: refused %s: %s (%llu since the last line)\n",
                   member.c_str(), why.c_str(), static_cast<unsigned long long>(count));
    }
    return sd_bus_reply_method_errorf(m, error, "%s", why.c_str());
  }

  // Why a call is refused for a string longer than a path may be, or "" when none is.
  static std::string OverlongString(const std::string& member, const std::vector<Object>& a) {
    auto overlong = [](std::size_t size) {
      return "a string of " + std::to_string(size) + " bytes is longer than " +
             std::to_string(kMaxStringBytes);
    };
    for (const Object& one : a) {
      if (const std::string* s = one.string(); s && s->size() > kMaxStringBytes) {
        return overlong(s->size());
      }
    }
    if (member == "setBadgesCache_" && !a.empty()) {
      if (const ObjectDictionary* cache = a[0].dictionary()) {
        for (const auto& [path, type] : *cache) {
          if (path.size() > kMaxStringBytes) return overlong(path.size());
        }
      }
    }
    return "";
  }

  // Sets one badge; false when `path` is new and the table is full. Called under mutex_.
  bool setBadge(const std::string& path, std::int64_t type) {
    if (auto it = shown_.badges.find(path); it != shown_.badges.end()) {
      it->second = type;
      return true;
    }
    if (shown_.badges.size() >= kMaxBadges || shown_.badgeBytes + path.size() > kMaxBadgeBytes) {
      return false;
    }
    shown_.badges.emplace(path, type);
    shown_.badgeBytes += path.size();
    return true;
  }
  void clearBadges() {
    shown_.badges.clear();
    shown_.badgeBytes = 0;
  }

  // For Post and Posts signals alike.
  static int OnPost(sd_bus_message* m, void* userdata, sd_bus_error*) {
    // Only the will-die notification matters here, and it carries nothing: whatever is over the
    // center's own cap is refused unread.
    std::vector<dbus::RefusedNotification> refused;
    if (auto notes = dbus::DecodeCenterSignal(m, kMaxDistributedPayloadBytes, &refused)) {
      for (const NSNotification& note : *notes) static_cast<Plugin*>(userdata)->notified(note);
    }
    return 0;
  }

  void notified(const NSNotification& note) {
    if (note.name != kVRKDylibWillDieSoonNotification) return;
    std::lock_guard lock(mutex_);
    // The library is going away: nothing it set stays on screen.
    shown_.root.reset();
    clearBadges();
    shown_.menuItems = Object();
    ++shown_.received[std::string(kVRKDylibWillDieSoonNotification)];
  }

  std::mutex mutex_;
  Shown shown_;
  // Refusals that may come in floods: one line per burst, with a count.
  LogThrottle refusedCalls_{std::chrono::seconds(1)};
  LogThrottle tableFull_{std::chrono::seconds(1)};
  dbus::BusPtr bus_;
  dbus::SlotPtr objectSlot_;
  dbus::SlotPtr postSlot_;
  dbus::SlotPtr postsSlot_;
  int stop_[2] = {-1, -1};
  std::thread thread_;
  // Host thread only.
  std::unique_ptr<VRKFinderSyncMachBridgeExtensionSide> bridge_;
};

std::mutex g_loadMutex;
Plugin* g_plugin = nullptr;

char* Copy(const json& value) {
  return ::strdup(value.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
}

}  // namespace
}  // namespace vrk::plugin

using vrk::plugin::g_loadMutex;
using vrk::plugin::g_plugin;

extern "C" int VRKOSAXHandler_NVTYload(char* error, size_t size) {
  std::lock_guard lock(g_loadMutex);
  if (g_plugin != nullptr) return 0;
  auto plugin = std::make_unique<vrk::plugin::Plugin>();
  std::string why;
  if (!plugin->load(&why)) {
    if (error != nullptr && size > 0) std::snprintf(error, size, "%s", why.c_str());
    return -1;
  }
  g_plugin = plugin.release();
  return 0;
}

extern "C" char* VRKFinderPluginCopyState(void) {
  std::lock_guard lock(g_loadMutex);
  return vrk::plugin::Copy(g_plugin ? g_plugin->state() : nlohmann::json(nullptr));
}

extern "C" char* VRKFinderPluginCopyMenu(const char* path) {
  vrk::plugin::Plugin* plugin;
  {
    std::lock_guard lock(g_loadMutex);
    plugin = g_plugin;
  }
  if (plugin == nullptr || path == nullptr) return vrk::plugin::Copy(nullptr);
  return vrk::plugin::Copy(plugin->menu(path));
}

extern "C" void VRKFinderPluginUnload(void) {
  std::lock_guard lock(g_loadMutex);
  if (g_plugin == nullptr) return;
  g_plugin->unload();
  delete g_plugin;
  g_plugin = nullptr;
}
