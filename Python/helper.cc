// The binding of the controller's helper, copy and sidebar services, and runMainQueue, which
// lets a Python client serve the main dispatch queue where the copy's reply is handled.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Foundation/RunLoop.h"
#include "VRKFinderSync/VRKFinderSync.h"

namespace py = pybind11;

namespace vrk::python {
namespace {

std::optional<std::string> OptionalString(const py::object& value) {
  if (value.is_none()) return std::nullopt;
  return value.cast<std::string>();
}

// Serves the main queue on the calling (main) thread for `seconds`, without the GIL, in slices
// so that Ctrl-C still interrupts it.
void RunMainQueue(double seconds) {
  if (!RunLoop::main().isCurrent()) {
    throw py::value_error(
        "runMainQueue serves the main queue and must be called on the main thread");
  }
  if (!(seconds >= 0)) seconds = 0;
  seconds = std::min(seconds, 86400.0);
  const auto end = RunLoop::Clock::now() + std::chrono::duration_cast<RunLoop::Clock::duration>(
                                               std::chrono::duration<double>(seconds));
  do {
    {
      py::gil_scoped_release release;
      RunLoop::main().runUntil(
          std::min(end, RunLoop::Clock::now() + std::chrono::milliseconds(100)));
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  } while (RunLoop::Clock::now() < end);
}

}  // namespace

void init_helper(py::module_& m) {
  using C = VRKFinderSync;
  using release_gil = py::call_guard<py::gil_scoped_release>;
  auto cls = py::reinterpret_borrow<py::class_<C, std::shared_ptr<C>>>(m.attr("VRKFinderSync"));
  cls.def_static(
         "tryInstallLaunchDaemon", [] { return C::sharedInstance()->tryInstallLaunchDaemon(); },
         release_gil())
      .def_static(
          "copyItemAtPath",
          [](py::object source, py::object destination) {
            auto s = OptionalString(source);
            auto d = OptionalString(destination);
            py::gil_scoped_release release;
            C::copyItemAtPath(s, d);
          },
          py::arg("source"), py::arg("destination"))
      .def_static(
          "addFolderToFinderSidebar",
          [](py::object path) {
            auto p = OptionalString(path);
            py::gil_scoped_release release;
            C::addFolderToFinderSidebar(p);
          },
          py::arg("path"))
      // (result, error) as PyObjC returns an NSError out-parameter; the error is None or a
      // (domain, code) tuple.
      .def(
          "blessHelperWithLabel",
          [](C& self, py::object label) {
            auto l = OptionalString(label);
            NSErrorRef error;
            bool result;
            {
              py::gil_scoped_release release;
              result = self.blessHelperWithLabel(l, &error);
            }
            py::object e = py::none();
            if (error) e = py::make_tuple(error->domain, error->code);
            return py::make_tuple(result, e);
          },
          py::arg("label"))
      .def_property_readonly("_authRef", [](const C& self) -> py::object {
        if (self._authRef() == nullptr) return py::none();
        return py::int_(reinterpret_cast<std::uintptr_t>(self._authRef()));
      });
  m.def("runMainQueue", &RunMainQueue, py::arg("seconds"),
        "Serves the main dispatch queue on the calling thread (the main thread) for `seconds`.");
}

}  // namespace vrk::python
