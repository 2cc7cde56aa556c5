// The binding module `vrkfindersync`: the sync client's view of libVRKFinderSync. It only
// converts; all behaviour lives in the library.
//
// Threads: callbacks that come from the library's own threads (the Mach listener) take the GIL;
// calls into the library release it, so that a listener thread waiting for the GIL inside a
// client observer is never blocked by the caller. A Python exception raised inside an observer
// is printed and swallowed: it must not end the listener or the process.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "Platform/Foundation/NSNotificationCenter.h"
#include "Python/convert.h"
#include "VRKFinderSync/VRKFinderSync.h"
#include "VRKFinderSync/VRKYosemiteFindSyncExtensionHelper.h"

namespace py = pybind11;

namespace vrk::python {
void init_helper(py::module_& m);  // helper.cc
namespace {

using release_gil = py::call_guard<py::gil_scoped_release>;

// A Python notification as the client's observers see it.
struct PyNotification {
  std::string name;
  py::object object;
  py::object userInfo;
};

// Observer calls from the library's threads that are running now, and whether the interpreter
// is closing. A thread that takes the GIL while the interpreter finalizes is ended by Python
// with a forced unwind, which a C++ thread cannot survive; so at exit no new call starts and
// the running ones are waited for before finalization begins.
std::atomic<int> g_callsInFlight{0};
std::atomic<bool> g_closing{false};

// Gives the calling thread a Python thread state that lives as long as the thread does. Without
// it every observer call from the library's listener thread would create and destroy one, which
// costs more than the call itself; gil_scoped_acquire finds this one and leaves it in place.
void KeepThreadState() {
  thread_local bool kept = false;
  if (kept) return;
  kept = true;
  PyGILState_Ensure();  // never released: that count is what keeps the state alive
  PyEval_SaveThread();
}

// An observer registered from Python. Its identity is a unique number, never a real address,
// so it cannot collide with the library's own observers.
class PyObserver {
 public:
  explicit PyObserver(py::function callback) : callback_(std::move(callback)) {}
  ~PyObserver() {
    // The Python function must be released with the GIL held, whichever thread drops us. A
    // library thread that finishes a delivery may drop the last reference after the observers
    // were removed at exit; taking the GIL then could meet finalization and end the thread in
    // this destructor, so once closing has begun the function is left to the exiting process.
    // Counted as a call in flight, so that exit waits for a release that has already begun.
    g_callsInFlight.fetch_add(1);
    if (g_closing.load() || !Py_IsInitialized()) {
      callback_.release();
    } else {
      py::gil_scoped_acquire gil;
      callback_ = py::function();
    }
    g_callsInFlight.fetch_sub(1);
  }
  void operator()(const NSNotification& notification) {
    g_callsInFlight.fetch_add(1);
    if (!g_closing.load() && Py_IsInitialized()) {
      KeepThreadState();
      py::gil_scoped_acquire gil;
      try {
        callback_(PyNotification{notification.name, FromObject(notification.object),
                                 FromObject(notification.userInfo)});
      } catch (py::error_already_set& error) {
        error.discard_as_unraisable("vrkfindersync notification observer");
      }
    }
    g_callsInFlight.fetch_sub(1);
  }

 private:
  py::function callback_;
};

std::mutex g_tokensMutex;
std::set<std::uintptr_t> g_tokens;
std::atomic<std::uintptr_t> g_nextToken{1};

const void* ObserverKey(std::uintptr_t token) {
  return reinterpret_cast<const void*>(token);
}

std::optional<std::string> OptionalName(const py::object& name) {
  if (name.is_none()) return std::nullopt;
  return name.cast<std::string>();
}

// Drops every observer registered from Python, so that nothing calls into an interpreter that
// is shutting down, and waits (without the GIL, for at most two seconds) for the calls already
// running: one that is reporting an observer's exception gives the GIL up while it writes, and
// if finalization began then, its next take of the GIL would end its thread in the middle of
// C++ code.
void RemoveAllPythonObservers() {
  std::set<std::uintptr_t> tokens;
  {
    std::lock_guard<std::mutex> lock(g_tokensMutex);
    tokens.swap(g_tokens);
  }
  py::gil_scoped_release release;
  g_closing.store(true);
  for (auto token : tokens)
    NSNotificationCenter::defaultCenter().removeObserver(ObserverKey(token));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (g_callsInFlight.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void init_notifications(py::module_& m) {
  py::class_<PyNotification>(m, "NSNotification")
      .def_readonly("name", &PyNotification::name)
      .def_readonly("object", &PyNotification::object)
      .def_readonly("userInfo", &PyNotification::userInfo)
      .def("__repr__", [](const PyNotification& n) {
        return "<NSNotification name=" + n.name + " userInfo=" + std::string(py::repr(n.userInfo)) +
               ">";
      });

  struct Center {};
  py::class_<Center>(m, "NSNotificationCenter")
      .def_static("defaultCenter", [] { return Center{}; })
      .def(
          "addObserver",
          [](Center&, py::function callback, py::object name, py::object object) {
            Object filter = ToObject(object);
            auto observer = std::make_shared<PyObserver>(std::move(callback));
            std::uintptr_t token = g_nextToken.fetch_add(1);
            {
              std::lock_guard<std::mutex> lock(g_tokensMutex);
              g_tokens.insert(token);
            }
            auto optionalName = OptionalName(name);
            py::gil_scoped_release release;
            NSNotificationCenter::defaultCenter().addObserver(
                ObserverKey(token), [observer](const NSNotification& n) { (*observer)(n); },
                optionalName, filter);
            return token;
          },
          py::arg("callback"), py::arg("name"), py::arg("object") = py::none())
      .def(
          "removeObserver",
          [](Center&, std::uintptr_t token, py::object name, py::object object) {
            Object filter = ToObject(object);
            auto optionalName = OptionalName(name);
            if (!optionalName && filter.isNil()) {
              std::lock_guard<std::mutex> lock(g_tokensMutex);
              g_tokens.erase(token);
            }
            py::gil_scoped_release release;
            if (!optionalName && filter.isNil()) {
              NSNotificationCenter::defaultCenter().removeObserver(ObserverKey(token));
            } else {
              NSNotificationCenter::defaultCenter().removeObserver(ObserverKey(token), optionalName,
                                                                   filter);
            }
          },
          py::arg("token"), py::arg("name") = py::none(), py::arg("object") = py::none())
      .def(
          "postNotificationName",
          [](Center&, const std::string& name, py::object object, py::object userInfo) {
            Object o = ToObject(object);
            Object info = ToObject(userInfo);
            py::gil_scoped_release release;
            NSNotificationCenter::defaultCenter().postNotificationName(name, o, info);
          },
          py::arg("name"), py::arg("object") = py::none(), py::arg("userInfo") = py::none());
}

void init_bridge(py::module_& m) {
  py::class_<MachMessage>(m, "MachMessage")
      .def("__repr__",
           [](const MachMessage& msg) {
             return "<MachMessage " +
                    std::to_string(reinterpret_cast<std::uintptr_t>(msg.address)) + ">";
           })
      .def("__eq__",
           [](const MachMessage& a, const MachMessage& b) { return a.address == b.address; });

  m.def(
      "startMachBridge",
      [](std::shared_ptr<VRKFinderSync> controller) { startMachBridge(controller.get()); },
      py::arg("controller"), release_gil());
  m.def(
      "stopMachBridge", [] { stopMachBridge(); }, release_gil());
  m.def(
      "replyShouldShowLockMenuItemMachMsg",
      [](py::object mach, bool showLock, bool showUnlock, bool isFile) {
        const void* address = nullptr;
        if (py::isinstance<MachMessage>(mach)) address = mach.cast<const MachMessage&>().address;
        py::gil_scoped_release release;
        replyShouldShowLockMenuItemMachMsg(address, showLock, showUnlock, isFile);
      },
      py::arg("mach"), py::arg("showLock"), py::arg("showUnlock"), py::arg("isFile"));
}

void init_controller(py::module_& m) {
  using C = VRKFinderSync;
  // A path, a code or None. A NUL inside would make the library act on a shorter path, that
  // is, on another item, so such a string is refused here.
  auto opt = [](py::object value) -> std::optional<std::string> {
    if (value.is_none()) return std::nullopt;
    auto text = value.cast<std::string>();
    if (text.find('\0') != std::string::npos) {
      throw py::value_error("a path or code passed to the library cannot hold a NUL character");
    }
    return text;
  };
  py::class_<C, std::shared_ptr<C>>(m, "VRKFinderSync")
      // The class facade: each forwards to the single instance on the caller's thread.
      .def_static("sharedInstance", &C::sharedInstance, release_gil())
      .def_static(
          "setRootFolderPath",
          [opt](py::object path) {
            auto p = opt(path);
            py::gil_scoped_release release;
            C::sharedInstance()->setRootFolderPath(p);
          },
          py::arg("path"))
      .def_static(
          "setIconType",
          [opt](std::int64_t type, py::object path) {
            auto p = opt(path);
            py::gil_scoped_release release;
            C::sharedInstance()->setIconType(type, p);
          },
          py::arg("type"), py::arg("path"))
      .def_static(
          "hideIcons", [](bool hide) { C::sharedInstance()->hideIcons(hide); }, py::arg("flag"),
          release_gil())
      .def_static(
          "cleanIconsCache", [] { C::sharedInstance()->cleanIconsCache(); }, release_gil())
      .def_static("addMenuItems", [] { C::addMenuItems(); })
      .def_static(
          "removeAllMenuItems", [] { C::sharedInstance()->removeAllMenuItems(); }, release_gil())
      .def_static(
          "changeLanguage",
          [opt](py::object code) {
            auto c = opt(code);
            py::gil_scoped_release release;
            C::sharedInstance()->changeLanguage(c);
          },
          py::arg("code"))
      .def_static(
          "vrk_menuItemWithTitle",
          [](const std::string& title, std::int64_t command) {
            return FromObject(C::vrk_menuItemWithTitle(title, command));
          },
          py::arg("title"), py::arg("command"))
      .def_static("inject", &C::inject, release_gil())
      .def_static("vrk_isYosemiteOrHigher", &C::vrk_isYosemiteOrHigher)
      .def_static("vrk_isEICapitanOrHigher", &C::vrk_isEICapitanOrHigher)
      // Instance operations that the facade does not forward.
      .def("notifyInjectedBundleDylibWillDieSoon", &C::notifyInjectedBundleDylibWillDieSoon,
           release_gil())
      .def(
          "setBadgesCache",
          [](C& self, py::object cache) {
            Object c = ToObject(cache);
            py::gil_scoped_release release;
            self.setBadgesCache(c);
          },
          py::arg("cache"))
      .def(
          "parseMenuItemInfosFrom",
          [](C& self, py::object description) {
            Object d = ToObject(description);
            Object result;
            {
              py::gil_scoped_release release;
              result = self.parseMenuItemInfosFrom(d);
            }
            return FromObject(result);
          },
          py::arg("description"))
      .def("vrk_prefixedTitleWithTitle", &C::vrk_prefixedTitleWithTitle, py::arg("title"))
      .def_property_readonly("rootFolderPath_",
                             [](const C& self) { return self.rootFolderPath_(); })
      .def_property_readonly("shouldHideBadge", &C::shouldHideBadge)
      .def_property_readonly("injectAfterFinderRestartFailed", &C::injectAfterFinderRestartFailed)
      .def_property_readonly("badgeCache",
                             [](const C& self) { return FromObject(Object(self.badgeCache())); })
      .def("__repr__", &C::description);
}

// A client that imports the installed module finds the installed Sync.app by itself: it lies in
// the folder VRK_INSTALLED_SYNC_APP names, relative to the folder of libVRKFinderSync.so.
// VRK_MAIN_BUNDLE, when set, always wins; a build tree has no such folder and changes nothing.
// The variable is set through os.environ, so that the client sees the bundle it uses and the
// programs it starts inherit it.
void init_main_bundle() {
  const char* chosen = std::getenv("VRK_MAIN_BUNDLE");
  if (chosen && *chosen) return;
  Dl_info library{};
  if (dladdr(reinterpret_cast<void*>(&startMachBridge), &library) == 0 || !library.dli_fname) {
    return;
  }
  std::error_code ec;
  std::filesystem::path bundle =
      std::filesystem::absolute(library.dli_fname, ec).parent_path() / VRK_INSTALLED_SYNC_APP;
  if (ec || !std::filesystem::is_directory(bundle, ec)) return;
  py::module_::import("os").attr("environ")["VRK_MAIN_BUNDLE"] = bundle.lexically_normal().string();
}

// The extension installer's class methods; each runs the registry tool and blocks, so the GIL
// is released. _runCommand:exitReason: gives its out-parameter back as the second element of a
// tuple: (output or None, exit reason).
void init_installer(py::module_& m) {
  using H = VRKYosemiteFindSyncExtensionHelper;
  py::class_<H>(m, "VRKYosemiteFindSyncExtensionHelper")
      .def_static("_pluginPath", &H::_pluginPath, release_gil())
      .def_static("_installedPluginPath", &H::_installedPluginPath, release_gil())
      .def_static("isInstalled", &H::isInstalled, release_gil())
      .def_static("tryReinstall", &H::tryReinstall, release_gil())
      .def_static("isEnabled", &H::isEnabled, release_gil())
      .def_static("tryEnable", &H::tryEnable, release_gil())
      .def_static(
          "_runCommand",
          [](std::optional<std::string> command) {
            std::int64_t exitReason = 1;
            std::optional<std::string> output = H::_runCommand(command, &exitReason);
            return std::make_pair(std::move(output), exitReason);
          },
          py::arg("command"), release_gil());
}

}  // namespace
}  // namespace vrk::python

PYBIND11_MODULE(vrkfindersync, m) {
  m.doc() = "Finder badges and context menus for the sync client (libVRKFinderSync).";
  m.attr("__version__") = VRK_VERSION;
  vrk::python::init_main_bundle();
  vrk::python::init_notifications(m);
  vrk::python::init_bridge(m);
  vrk::python::init_controller(m);
  vrk::python::init_installer(m);
  vrk::python::init_helper(m);
  py::module_::import("atexit").attr("register")(
      py::cpp_function([] { vrk::python::RemoveAllPythonObservers(); }));
}
