#include "Python/convert.h"

#include <pybind11/stl.h>

namespace py = pybind11;

namespace vrk::python {

namespace {

// `depth` counts the containers that enclose `value`.
Object Convert(py::handle value, int depth) {
  if (value.is_none()) return Object();
  // bool first: in Python a bool is also an int.
  if (py::isinstance<py::bool_>(value)) return Object::numberWithBool(value.cast<bool>());
  if (py::isinstance<py::int_>(value)) return Object::numberWithInteger(value.cast<std::int64_t>());
  if (py::isinstance<py::str>(value)) return Object(value.cast<std::string>());
  if (py::isinstance<py::bytes>(value)) {
    std::string bytes = value.cast<std::string>();
    return Object(ObjectData(bytes.begin(), bytes.end()));
  }
  if (py::isinstance<MachMessage>(value)) {
    return Object::valueWithPointer(value.cast<const MachMessage&>().address);
  }
  const bool isList = py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value);
  if ((isList || py::isinstance<py::dict>(value)) && depth >= kMaxObjectNesting) {
    throw py::value_error("a value passed to the library is nested deeper than " +
                          std::to_string(kMaxObjectNesting) + " levels");
  }
  if (py::isinstance<py::dict>(value)) {
    ObjectDictionary dict;
    for (auto [key, item] : value.cast<py::dict>()) {
      if (!py::isinstance<py::str>(key)) throw py::type_error("dictionary keys must be str");
      // A dictionary cannot hold nil: a None value means the key is absent.
      if (item.is_none()) continue;
      dict.emplace(key.cast<std::string>(), Convert(item, depth + 1));
    }
    return Object(std::move(dict));
  }
  if (isList) {
    ObjectArray array;
    for (auto item : value) {
      if (item.is_none()) throw py::type_error("a list passed to the library cannot hold None");
      array.push_back(Convert(item, depth + 1));
    }
    return Object(std::move(array));
  }
  throw py::type_error("cannot pass a " + std::string(py::str(value.get_type())) +
                       " to the library");
}

}  // namespace

Object ToObject(py::handle value) {
  return Convert(value, 0);
}

py::object FromObject(const Object& value) {
  switch (value.kind()) {
    case Object::Kind::Nil:
      return py::none();
    case Object::Kind::String:
      return py::str(*value.string());
    case Object::Kind::Number:
      if (value.numberType() == Object::NumberType::Bool) return py::bool_(value.boolValue());
      return py::int_(value.integerValue());
    case Object::Kind::Data: {
      const ObjectData& data = *value.data();
      return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
    }
    case Object::Kind::Pointer:
      return py::cast(MachMessage{value.pointerValue()});
    case Object::Kind::Array: {
      py::list list;
      for (const Object& item : *value.array()) list.append(FromObject(item));
      return list;
    }
    case Object::Kind::Dictionary: {
      py::dict dict;
      for (const auto& [key, item] : *value.dictionary()) dict[py::str(key)] = FromObject(item);
      return dict;
    }
  }
  return py::none();
}

}  // namespace vrk::python
