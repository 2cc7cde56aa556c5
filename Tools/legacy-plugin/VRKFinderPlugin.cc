// The legacy Finder bundle that vrk-finder loads on the Apple event NVTY/load: it vends the root
// object that the library drives before 10.10 and keeps what it was told to show.
#include "Tools/legacy-plugin/VRKFinderPlugin.h"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

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
#include "Platform/Foundation/DBusCodec.h"
#include "VRKFinderSync/VRKFinderPluginProtocol.h"
#include "VRKFinderSyncExtension/VRKFinderSyncMachBridgeExtensionSide.h"

namespace vrk::plugin {
namespace {

using nlohmann::json;

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
    std::string why;
    auto arguments = dbus::ReadMessageArguments(m, &why);
    if (!arguments) {
      std::fprintf(stderr, "VRKFinderPlugin: refused %s: %s\n", member.c_str(), why.c_str());
      return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_INVALID_ARGS, "%s", why.c_str());
    }
    const std::vector<Object>& a = *arguments;
    auto arg = [&](std::size_t i) { return i < a.size() ? a[i] : Object(); };
    std::string selector;
    {
      std::lock_guard lock(mutex_);
      if (member == "setRootFolderPath_") {
        selector = "setRootFolderPath:";
        shown_.root = arg(0).stringOrNil();
      } else if (member == "setIconType_toPath_") {
        selector = "setIconType:toPath:";
        if (auto path = arg(1).stringOrNil()) shown_.badges[*path] = arg(0).integerValue();
      } else if (member == "hideIcons_") {
        selector = "hideIcons:";
        shown_.hidden = arg(0).boolValue();
      } else if (member == "cleanIconsCache") {
        selector = "cleanIconsCache";
        shown_.badges.clear();
      } else if (member == "setBadgesCache_") {
        selector = "setBadgesCache:";
        shown_.badges.clear();
        if (const ObjectDictionary* cache = arg(0).dictionary()) {
          for (const auto& [path, type] : *cache) shown_.badges[path] = type.integerValue();
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
    return sd_bus_reply_method_return(m, "");
  }

  // For Post and Posts signals alike.
  static int OnPost(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (auto notes = dbus::DecodeCenterSignal(m)) {
      for (const NSNotification& note : *notes) static_cast<Plugin*>(userdata)->notified(note);
    }
    return 0;
  }

  void notified(const NSNotification& note) {
    if (note.name != kVRKDylibWillDieSoonNotification) return;
    std::lock_guard lock(mutex_);
    // The library is going away: nothing it set stays on screen.
    shown_.root.reset();
    shown_.badges.clear();
    shown_.menuItems = Object();
    ++shown_.received[std::string(kVRKDylibWillDieSoonNotification)];
  }

  std::mutex mutex_;
  Shown shown_;
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
