// vrk-finder before 10.10: Apple events, scripting additions and the legacy bundle's state.
#include "Tools/finder/LegacyFinder.h"

#include <dlfcn.h>
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "Platform/AppleScript/AppleEventWire.h"
#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/RunLoop.h"

namespace vrk::finder {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

fs::path ScriptingAdditions() {
  return emulated::Home() / "Library" / "ScriptingAdditions";
}

// Where the client's bundle keeps its scripting additions: the installed bundle beside this
// program, or else the build tree's. An installed program looks at its own bundle first, so a
// build tree left on the machine never stands in for it; a program in a build tree has no
// installed bundle beside it.
fs::path BundledAdditions() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  fs::path installed = self.parent_path() / VRK_INSTALLED_SCRIPTING_ADDITIONS_FROM_BINDIR;
  if (!ec && fs::is_directory(installed, ec)) return installed.lexically_normal();
  return VRK_BUNDLED_SCRIPTING_ADDITIONS;
}

// Puts the additions the client's bundle ships where an installed client has them.
void InstallBundledAdditions() {
  std::error_code ec;
  const fs::path from = BundledAdditions();
  for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() != ".osax") continue;
    const fs::path to = ScriptingAdditions() / it->path().filename();
    std::error_code failed;
    if (fs::exists(to, failed)) continue;
    fs::create_directories(to.parent_path(), failed);
    if (!failed) fs::copy(it->path(), to, fs::copy_options::recursive, failed);
    if (failed) {
      std::fprintf(stderr, "vrk-finder: cannot install %s: %s\n", to.c_str(),
                   failed.message().c_str());
    }
  }
}

// Only letters and digits can be part of a handler's symbol.
bool IsCode(const char* code) {
  if (std::strlen(code) != 4) return false;
  for (const char* c = code; *c != '\0'; ++c) {
    if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9'))) {
      return false;
    }
  }
  return true;
}

json ParseOwned(char* text) {
  if (text == nullptr) return nullptr;
  json value = json::parse(text, nullptr, false);
  std::free(text);
  return value.is_discarded() ? json(nullptr) : value;
}

}  // namespace

std::unique_ptr<LegacyFinder> LegacyFinder::launch(Output output, std::string* error) {
  std::unique_ptr<LegacyFinder> finder(new LegacyFinder(std::move(output)));
  if (!finder->start(error)) return nullptr;
  return finder;
}

bool LegacyFinder::start(std::string* error) {
  InstallBundledAdditions();
  int r = dbus::OpenSessionBus(&bus_);
  if (r >= 0) {
    sd_bus_slot* slot = nullptr;
    r = sd_bus_add_object(bus_.get(), &slot, appleevents::kPath, &LegacyFinder::OnEvent, this);
    slot_.reset(slot);
  }
  const std::string name = appleevents::ApplicationBusName("Finder");
  // Queued behind a Finder that still runs: this one takes over the moment that one ends, as a
  // relaunched Finder does.
  if (r >= 0) r = sd_bus_request_name(bus_.get(), name.c_str(), SD_BUS_NAME_QUEUE);
  if (r >= 0) {
    r = sd_bus_attach_event(bus_.get(), RunLoop::main().event(), SD_EVENT_PRIORITY_NORMAL);
  }
  if (r < 0) {
    *error = "cannot serve Apple events as " + name + ": " + std::strerror(-r);
    return false;
  }
  return true;
}

LegacyFinder::~LegacyFinder() {
  // Finder stops answering events before its bundles go: a client that notices a bundle's end
  // and sends the load event again then reaches the Finder that takes over, not this one.
  slot_.reset();
  if (bus_) {
    sd_bus_detach_event(bus_.get());
    bus_.reset();
  }
  if (auto unload = reinterpret_cast<void (*)()>(find("VRKFinderPluginUnload"))) unload();
  // The additions stay mapped: a thread they started could still be ending.
}

void* LegacyFinder::find(const char* symbol) const {
  for (void* handle : loaded_) {
    if (void* found = ::dlsym(handle, symbol)) return found;
  }
  return nullptr;
}

int LegacyFinder::OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*) {
  if (sd_bus_message_is_method_call(m, appleevents::kInterface, appleevents::kMember) <= 0) {
    return 0;
  }
  return static_cast<LegacyFinder*>(userdata)->handleEvent(m);
}

int LegacyFinder::handleEvent(sd_bus_message* m) {
  const char* eventClass = nullptr;
  const char* eventID = nullptr;
  if (sd_bus_message_read(m, appleevents::kSignature, &eventClass, &eventID) < 0 ||
      !IsCode(eventClass) || !IsCode(eventID)) {
    return sd_bus_reply_method_errorf(m, appleevents::kEventNotHandledError, "not an event");
  }
  const std::string symbol = std::string("VRKOSAXHandler_") + eventClass + eventID;
  using Handler = int (*)(char*, std::size_t);
  auto handler = reinterpret_cast<Handler>(find(symbol.c_str()));
  std::error_code ec;
  for (fs::directory_iterator it(ScriptingAdditions(), ec), end; !handler && !ec && it != end;
       it.increment(ec)) {
    if (it->path().extension() != ".osax") continue;
    const fs::path so = it->path() / "Contents" / "MacOS" / (it->path().stem().string() + ".so");
    void* handle = ::dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle != nullptr) continue;  // loaded before, and without this handler
    handle = ::dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      std::fprintf(stderr, "vrk-finder: cannot load %s: %s\n", so.c_str(), ::dlerror());
      continue;
    }
    loaded_.push_back(handle);
    handler = reinterpret_cast<Handler>(::dlsym(handle, symbol.c_str()));
  }
  if (handler == nullptr) {
    return sd_bus_reply_method_errorf(m, appleevents::kEventNotHandledError,
                                      "no scripting addition handles %s%s", eventClass, eventID);
  }
  char why[512] = "";
  if (handler(why, sizeof why) != 0) {
    return sd_bus_reply_method_errorf(m, appleevents::kHandlerFailedError, "%s", why);
  }
  return sd_bus_reply_method_return(m, "");
}

void LegacyFinder::feed(std::span<const char> bytes) {
  lines_.append(bytes);
  pump();
}

void LegacyFinder::endOfInput() {
  endOfInput_ = true;
  lines_.finish();
  pump();
}

void LegacyFinder::pump() {
  while (!finished_) {
    std::optional<Command> command = NextCommand(lines_, [this](const std::string& error) {
      output_({{"error", error}});
    });
    if (!command) break;
    serve(*command);
  }
  if (endOfInput_ && lines_.empty()) finished_ = true;
  if (finished_) RunLoop::main().stop();
}

void LegacyFinder::serve(const Command& command) {
  auto state = [this] {
    auto copy = reinterpret_cast<char* (*)()>(find("VRKFinderPluginCopyState"));
    return copy ? ParseOwned(copy()) : json(nullptr);
  };
  if (std::holds_alternative<ShowCommand>(command)) {
    output_({{"ok", true}});
  } else if (std::holds_alternative<BadgesCommand>(command)) {
    json shown = state();
    json badges = json::object();
    if (shown.is_object() && !shown.value("hidden", false)) {
      for (const auto& [path, type] : shown["badges"].items()) badges[path] = type.dump();
    }
    output_({{"badges", badges}});
  } else if (std::holds_alternative<StateCommand>(command)) {
    output_({{"legacy", state()}});
  } else if (auto* c = std::get_if<MenuCommand>(&command)) {
    auto copy = reinterpret_cast<char* (*)(const char*)>(find("VRKFinderPluginCopyMenu"));
    json items = copy && !c->paths.empty() ? ParseOwned(copy(c->paths.front().c_str())) : nullptr;
    output_({{"menu", items}});
  } else if (std::holds_alternative<QuitCommand>(command)) {
    output_({{"ok", true}});
    finished_ = true;
  } else {
    output_({{"error", "this command needs a FinderSync extension"}});
  }
}

}  // namespace vrk::finder
