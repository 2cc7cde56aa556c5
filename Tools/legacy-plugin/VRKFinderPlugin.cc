// The legacy Finder bundle that vrk-finder loads on the Apple event NVTY/load: it vends the root
// object that the library drives before 10.10 and keeps what it was told to show.
#include "Tools/legacy-plugin/VRKFinderPlugin.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "Contract/VRKContract.h"
#include "Platform/Connection/NSConnection.h"
#include "Platform/Foundation/NSDistributedNotificationCenter.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/ThreadSafety.h"
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

// What the bundle shows; written on the serving thread.
struct Shown {
  std::optional<std::string> root;
  bool hidden = false;
  std::optional<std::string> language;
  std::map<std::string, std::int64_t> badges;
  std::size_t badgeBytes = 0;  // of the paths in `badges`
  Object menuItems;
  std::map<std::string, int> received;
};

// The root object the bundle vends: it keeps what the library tells it to show. Its messages and
// the library's notifications come on the bundle's serving thread; the host reads under mutex_.
class RootObject final : public NSVendedObject {
 public:
  std::optional<NSVendedRefusal> shouldDecodeMessage(const NSVendedMessage& message,
                                                     std::size_t weight) override {
    const std::size_t cap =
        message.selector == "setBadgesCache:" ? kMaxBadgeCacheBytes : kMaxCallBytes;
    if (weight <= cap) return std::nullopt;
    const std::string why =
        "its arguments of " + std::to_string(weight) + " bytes are above " + std::to_string(cap);
    return refuseOversized(message, why, NSVendedRefusal::Kind::LimitsExceeded);
  }

  void messageCouldNotBeDecoded(const NSVendedMessage& message, const std::string& why) override {
    std::fprintf(stderr, "VRKFinderPlugin: refused %s: %s\n", message.member.c_str(), why.c_str());
  }

  std::optional<NSVendedRefusal> handleMessage(const NSVendedMessage& message,
                                               std::span<const Object> a) override {
    if (std::string why = OverlongString(message.selector, a); !why.empty()) {
      return refuseOversized(message, why, NSVendedRefusal::Kind::InvalidArguments);
    }
    auto arg = [&](std::size_t i) { return i < a.size() ? a[i] : Object(); };
    const std::string& selector = message.selector;
    std::size_t full = 0;  // new badge paths refused for the table's cap
    {
      MutexLock lock(mutex_);
      if (selector == "setRootFolderPath:") {
        shown_.root = arg(0).stringOrNil();
      } else if (selector == "setIconType:toPath:") {
        if (auto path = arg(1).stringOrNil()) full += !setBadge(*path, arg(0).integerValue());
      } else if (selector == "hideIcons:") {
        shown_.hidden = arg(0).boolValue();
      } else if (selector == "cleanIconsCache") {
        clearBadges();
      } else if (selector == "setBadgesCache:") {
        clearBadges();
        if (const ObjectDictionary* cache = arg(0).dictionary()) {
          for (const auto& [path, type] : *cache) full += !setBadge(path, type.integerValue());
        }
      } else if (selector == "addMenuItems:") {
        shown_.menuItems = arg(0);
      } else if (selector == "removeAllMenuItems") {
        shown_.menuItems = Object();
      } else if (selector == "changeLanguage:") {
        shown_.language = arg(0).stringOrNil();
      } else {
        return NSVendedRefusal{NSVendedRefusal::Kind::UnknownSelector,
                               "no method " + message.member};
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
      return NSVendedRefusal{NSVendedRefusal::Kind::LimitsExceeded, "the badge table is full"};
    }
    return std::nullopt;
  }

  void connectionDidLoseBus(const std::string& why) override {
    std::fprintf(stderr, "VRKFinderPlugin: lost the session bus: %s\n", why.c_str());
  }

  // The library is going away: nothing it set stays on screen.
  void libraryWillDie() {
    MutexLock lock(mutex_);
    shown_.root.reset();
    clearBadges();
    shown_.menuItems = Object();
    ++shown_.received[std::string(kVRKDylibWillDieSoonNotification)];
  }

  json state() {
    MutexLock lock(mutex_);
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

  // Whether `path` is strictly under the root; if so, the last menu received is forgotten.
  bool beginMenu(const std::string& path) {
    MutexLock lock(mutex_);
    const bool under =
        shown_.root && path.size() > shown_.root->size() && path.starts_with(*shown_.root);
    if (under) shown_.menuItems = Object();
    return under;
  }

  json menuItems() {
    MutexLock lock(mutex_);
    if (!shown_.menuItems.isArray()) return nullptr;
    json items = json::array();
    for (const Object& item : *shown_.menuItems.array()) {
      items.push_back({{"title", item.objectForKey("title").stringValue()},
                       {"command", item.objectForKey("command").integerValue()}});
    }
    return items;
  }

 private:
  // Refuses a call for its size, with one log line per burst of such calls.
  NSVendedRefusal refuseOversized(const NSVendedMessage& message, const std::string& why,
                                  NSVendedRefusal::Kind kind) {
    if (std::uint64_t count = refusedCalls_.note()) {
      std::fprintf(stderr, "VRKFinderPlugin: refused %s: %s (%llu since the last line)\n",
                   message.member.c_str(), why.c_str(), static_cast<unsigned long long>(count));
    }
    return {kind, why};
  }

  // Why a call is refused for a string longer than a path may be, or "" when none is.
  static std::string OverlongString(const std::string& selector, std::span<const Object> a) {
    auto overlong = [](std::size_t size) {
      return "a string of " + std::to_string(size) + " bytes is longer than " +
             std::to_string(kMaxStringBytes);
    };
    for (const Object& one : a) {
      if (const std::string* s = one.string(); s && s->size() > kMaxStringBytes) {
        return overlong(s->size());
      }
    }
    if (selector == "setBadgesCache:" && !a.empty()) {
      if (const ObjectDictionary* cache = a[0].dictionary()) {
        for (const auto& [path, type] : *cache) {
          if (path.size() > kMaxStringBytes) return overlong(path.size());
        }
      }
    }
    return "";
  }

  // Sets one badge; false when `path` is new and the table is full.
  bool setBadge(const std::string& path, std::int64_t type) REQUIRES(mutex_) {
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
  void clearBadges() REQUIRES(mutex_) {
    shown_.badges.clear();
    shown_.badgeBytes = 0;
  }

  Mutex mutex_;
  Shown shown_ GUARDED_BY(mutex_);
  // Refusals that may come in floods: one line per burst, with a count.
  LogThrottle refusedCalls_{std::chrono::seconds(1)};
  LogThrottle tableFull_{std::chrono::seconds(1)};
};

// The bundle's serving thread, the connection that vends its root object there, and the
// library's will-die notification observed on the same thread.
class Plugin final {
 public:
  bool load(std::string* error) {
    thread_ = Thread::create([] { RunLoop::current().run(); }, "VRKFinderPlugin");
    thread_->start();
    std::string why;
    thread_->perform(
        [&] {
          connection_ =
              NSConnection::serviceConnectionWithName(kVRKFinderPluginConnectionName, root_, &why);
          if (!connection_) return;
          NSDistributedNotificationCenter::defaultCenter().addObserver(
              this, [root = root_](const NSNotification&) { root->libraryWillDie(); },
              std::string(kVRKDylibWillDieSoonNotification), Object(),
              NSNotificationSuspensionBehavior::DeliverImmediately);
        },
        true);
    if (!connection_) {
      *error = std::string("cannot vend ") + kVRKFinderPluginConnectionName + ": " + why;
      stopThread();
      return false;
    }
    return true;
  }

  void unload() {
    if (!thread_) return;
    thread_->perform(
        [this] {
          NSDistributedNotificationCenter::defaultCenter().removeObserver(this);
          connection_->invalidate();
          connection_.reset();
        },
        true);
    stopThread();
  }

  json state() { return root_->state(); }

  json menu(const std::string& path) {
    if (!root_->beginMenu(path)) return nullptr;
    if (!bridge_)
      bridge_ = std::make_unique<VRKFinderSyncMachBridgeExtensionSide>(std::weak_ptr<FinderSync>());
    // The library sends the items to the root object before it answers this question.
    if (!bridge_->requestLockableWhenSelectItemAtPath(path)) return nullptr;
    return root_->menuItems();
  }

 private:
  void stopThread() {
    thread_->perform([] { RunLoop::current().stop(); }, false);
    thread_->join();
    thread_.reset();
  }

  const std::shared_ptr<RootObject> root_ = std::make_shared<RootObject>();
  std::shared_ptr<Thread> thread_;
  std::shared_ptr<NSConnection> connection_;  // serving thread only
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
