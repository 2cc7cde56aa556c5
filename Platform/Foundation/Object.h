// The object value type of the platform layer: one type for what Foundation holds as
// NSString, NSNumber (integer or BOOL), NSArray, NSDictionary, NSData and NSValue, plus nil.
//
// Contract:
// - An Object is a value. Copying it is cheap (containers and data are shared, immutable
//   and reference-counted), and no copy can change another: "mutating" builds a new value.
//   So values handed to or taken from a store or a notification are copied in and out.
// - Conversions follow Foundation: integerValue/boolValue of nil are 0/NO, of a string they
//   parse its leading text as NSString does, of an array, dictionary, data or pointer 0/NO.
// - Any thread may use its own Objects; a shared Object may be read from several threads.
// - Nothing here throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vrk {

class Object;

// The deepest nesting of arrays and dictionaries that any conversion of foreign data (Python
// values, D-Bus payloads, stored settings, property lists) builds, counting the outermost
// container as one level. Deeper input is refused by the conversion, so that no recursive walk
// over an Object (description, comparison, encoding, destruction) can exhaust the stack. Real
// values of the system nest two or three levels deep.
inline constexpr int kMaxObjectNesting = 64;

using ObjectArray = std::vector<Object>;
using ObjectDictionary = std::map<std::string, Object, std::less<>>;
using ObjectData = std::vector<std::uint8_t>;

class Object {
 public:
  // The Foundation class an Object stands for, as isKindOfClass: would test it.
  enum class Kind { Nil, String, Number, Array, Dictionary, Data, Pointer };
  // The C type an NSNumber was made from (its objCType): numberWithInt:, numberWithInteger:
  // and numberWithBool:. All three are NSNumber; the difference shows in description and on
  // the wire (a BOOL prints as 1 or 0 and crosses D-Bus as a boolean).
  enum class NumberType { Int32, Int64, Bool };

  Object() = default;  // nil
  Object(std::nullptr_t) {}
  Object(std::string s) : value_(std::move(s)) {}
  Object(std::string_view s) : value_(std::string(s)) {}
  Object(const char* s) : value_(s ? Value(std::string(s)) : Value()) {}
  Object(std::optional<std::string> s) : value_(s ? Value(std::move(*s)) : Value()) {}
  Object(ObjectArray a) : value_(std::make_shared<const ObjectArray>(std::move(a))) {}
  Object(ObjectDictionary d) : value_(std::make_shared<const ObjectDictionary>(std::move(d))) {}
  Object(ObjectData d) : value_(std::make_shared<const ObjectData>(std::move(d))) {}
  // Deleted so that a bool or an integer never silently becomes a string or a nil.
  Object(bool) = delete;
  Object(int) = delete;

  static Object numberWithInteger(std::int64_t v) { return Object(Number{v, NumberType::Int64}); }
  static Object numberWithInt(std::int32_t v) { return Object(Number{v, NumberType::Int32}); }
  static Object numberWithBool(bool v) { return Object(Number{v ? 1 : 0, NumberType::Bool}); }
  // NSValue valueWithPointer:: an address that the value neither owns nor interprets.
  static Object valueWithPointer(const void* p) { return Object(Pointer{p}); }

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool isNil() const { return kind() == Kind::Nil; }
  bool isString() const { return kind() == Kind::String; }
  bool isNumber() const { return kind() == Kind::Number; }
  bool isArray() const { return kind() == Kind::Array; }
  bool isDictionary() const { return kind() == Kind::Dictionary; }
  bool isData() const { return kind() == Kind::Data; }
  bool isPointer() const { return kind() == Kind::Pointer; }
  explicit operator bool() const { return !isNil(); }

  // Typed access: null when the Object is of another kind. The pointer lives as long as
  // this Object (or any copy of it) does.
  const std::string* string() const { return std::get_if<std::string>(&value_); }
  const ObjectArray* array() const;
  const ObjectDictionary* dictionary() const;
  const ObjectData* data() const;
  // The number's type, or nullopt when this is not a number.
  std::optional<NumberType> numberType() const;

  // The string itself, or nullopt for any other kind (used where Foundation code writes
  // `[x isKindOfClass:[NSString class]] ? x : nil`).
  std::optional<std::string> stringOrNil() const;

  std::int64_t integerValue() const;
  std::int32_t intValue() const { return static_cast<std::int32_t>(integerValue()); }
  bool boolValue() const;
  // NSNumber stringValue: the decimal text of a number; a string answers itself; else "".
  std::string stringValue() const;
  // The address held by a pointer value, or null.
  const void* pointerValue() const;

  // [dict objectForKey:]: nil when this is not a dictionary or has no such key.
  Object objectForKey(std::string_view key) const;
  // [array count] / [dict count] / [data length] / [string length in bytes]; 0 otherwise.
  std::size_t count() const;

  // What %@ prints, as -description would: a string as itself, a number in decimal, nil as
  // (null), arrays and dictionaries in the property-list text form that NSLog shows.
  std::string description() const;

  // isEqual:. Numbers compare by value regardless of their NumberType, as NSNumber does.
  friend bool operator==(const Object& a, const Object& b);

 private:
  struct Number {
    std::int64_t value;
    NumberType type;
  };
  struct Pointer {
    const void* address;
  };
  using Value =
      std::variant<std::monostate, std::string, Number, std::shared_ptr<const ObjectArray>,
                   std::shared_ptr<const ObjectDictionary>, std::shared_ptr<const ObjectData>,
                   Pointer>;

  explicit Object(Number n) : value_(n) {}
  explicit Object(Pointer p) : value_(p) {}
  explicit Object(Value v) : value_(std::move(v)) {}

  void describeInto(std::string& out, int indent) const;

  Value value_;
};

// NSString integerValue: skips leading blanks, takes an optional sign and the leading decimal
// digits; 0 when there are none. Saturates instead of overflowing.
std::int64_t StringIntegerValue(std::string_view s);
// NSString boolValue: skips leading blanks, an optional sign and leading zeros; then Y, y, T, t
// or a digit 1-9 gives YES.
bool StringBoolValue(std::string_view s);
// NSString hasPrefix:. False for an empty prefix, as the platform's test is: an empty string is
// a prefix of nothing.
bool StringHasPrefix(std::string_view s, std::string_view prefix);
// True when s is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsValidUTF8(std::string_view s);

}  // namespace vrk
