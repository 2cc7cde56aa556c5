// NSError (and CFError, which is the same object): an error domain, a code and a userInfo.
//
// Contract: an immutable value held by std::shared_ptr (NSErrorRef); nil means no error. Any
// thread may read it. description() is what %@ prints: "Error Domain=D Code=N \"(null)\"".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Foundation/Object.h"

namespace vrk {

inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";

struct NSError {
  std::string domain;
  std::int64_t code = 0;
  Object userInfo;

  std::string description() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"(null)\"";
  }
};

using NSErrorRef = std::shared_ptr<const NSError>;
using CFErrorRef = NSErrorRef;

inline NSErrorRef MakeError(std::string domain, std::int64_t code) {
  return std::make_shared<const NSError>(NSError{std::move(domain), code, Object()});
}

}  // namespace vrk
