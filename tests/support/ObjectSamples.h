// For tests: sample values and a way to compare what operator== does not, the kinds and number
// types of a value, for tests of what crosses the bus.
#pragma once

#include <string>

#include "Platform/Foundation/Object.h"

namespace vrk {

// The kinds and number types of a value, which operator== does not compare. With `sent`, the
// shape the value has after crossing the bus: integers travel as `x`, so an Int32 arrives as
// an Int64.
inline std::string Shape(const Object& o, bool sent = false) {
  switch (o.kind()) {
    case Object::Kind::Nil:
      return "nil";
    case Object::Kind::String:
      return "s";
    case Object::Kind::Number:
      switch (*o.numberType()) {
        case Object::NumberType::Int32:
          return sent ? "x" : "i";
        case Object::NumberType::Int64:
          return "x";
        case Object::NumberType::Bool:
          return "b";
      }
      return "?";
    case Object::Kind::Array: {
      std::string s = "[";
      for (const Object& item : *o.array()) s += Shape(item, sent) + ",";
      return s + "]";
    }
    case Object::Kind::Dictionary: {
      std::string s = "{";
      for (const auto& [k, v] : *o.dictionary()) s += k + ":" + Shape(v, sent) + ",";
      return s + "}";
    }
    case Object::Kind::Data:
      return "data";
    case Object::Kind::Pointer:
      return "ptr";
  }
  return "?";
}

inline Object SampleUserInfo() {
  return ObjectDictionary{
      {"string", Object("h\xC3\xA9llo")},
      {"bool", Object::numberWithBool(true)},
      {"int64", Object::numberWithInteger(-5'000'000'000)},
      {"int32", Object::numberWithInt(-7)},
      {"dict", ObjectDictionary{{"k", Object("v")}, {"empty", ObjectDictionary{}}}},
      {"array", ObjectArray{Object("a"), Object::numberWithBool(false), ObjectArray{}}},
      {"data", ObjectData{0, 1, 255}},
      {"nodata", ObjectData{}},
  };
}

inline Object Nested(int levels) {
  Object value("leaf");
  for (int i = 0; i < levels; ++i) value = ObjectArray{value};
  return value;
}

}  // namespace vrk
