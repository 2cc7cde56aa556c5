// VRKMenuItemInfo: one entry of the Finder context menu, the text Finder shows and the bridge
// command that choosing it sends. It crosses the process boundary in its dictionary form
// {"title": NSString, "command": NSNumber}, an array of which the shared settings store holds.
// Compiled into both deliverables from this one source.
//
// A record is a plain value owned through std::shared_ptr; it is not safe to change one record
// from two threads at once. Nothing here fails or logs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/Object.h"

namespace vrk {

class VRKMenuItemInfo {
 public:
  static std::shared_ptr<VRKMenuItemInfo> menuItemInfoWithTitle(std::optional<std::string> title,
                                                                std::int64_t command);
  // Fills a record from the dictionary form. A "title" that is not a string (or is missing)
  // reads as nil. "command" is read with integerValue: a number as itself, a string as its
  // leading decimal integer, anything else (missing, array, dictionary, data) as 0. A value
  // that is not a dictionary gives a nil title and command 0.
  static std::shared_ptr<VRKMenuItemInfo> menuItemInfoWithDictionary(const Object& dictionary);

  // {"title": title, "command": numberWithInteger(command)}; a nil title is left out, so that
  // menuItemInfoWithDictionary gives back an equal record.
  Object toDictionary() const;

  const std::optional<std::string>& title() const { return title_; }
  void setTitle(std::optional<std::string> title) { title_ = std::move(title); }
  std::int64_t command() const { return command_; }
  void setCommand(std::int64_t command) { command_ = command; }

  // For %@: the dictionary form.
  std::string description() const { return toDictionary().description(); }

 private:
  std::optional<std::string> title_;
  std::int64_t command_ = 0;
};

}  // namespace vrk
