// Conversions between Python values and the platform's Object: str, int, bool, dict (str
// keys), list/tuple, bytes and None; the "mach" value crosses as an opaque MachMessage object
// that is handed back unchanged. A None value in a dict means the key is absent (a
// dictionary cannot hold nil). Callers hold the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include "Platform/Foundation/Object.h"

namespace vrk::python {

// The opaque stand-in for the NSValue that holds a request's address.
struct MachMessage {
  const void* address;
};

// Throws TypeError for a value that has no Object form, ValueError for one nested deeper than
// kMaxObjectNesting.
Object ToObject(pybind11::handle value);
pybind11::object FromObject(const Object& value);

}  // namespace vrk::python
