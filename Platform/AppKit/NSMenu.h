// NSMenu and NSMenuItem as plain models: what an entry shows and which action it sends.
//
// Contract:
// - An action is a selector name such as "shareLink:"; an empty action means none. The file
//   manager host sends a chosen entry's action to the extension's principal object
//   (FIFinderSync::performMenuAction), as Finder does when no target is set.
// - Menus and items are owned by shared pointers; a menu holds its items, an item does not
//   know its menu. Like AppKit's, they are not thread-safe: build and read a menu on one thread
//   (the extension's main thread).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/AppKit/NSImage.h"

namespace vrk {

class NSMenuItem {
 public:
  NSMenuItem(std::string title, std::string action, std::string keyEquivalent)
      : title_(std::move(title)),
        action_(std::move(action)),
        keyEquivalent_(std::move(keyEquivalent)) {}

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  const std::string& action() const { return action_; }
  void setAction(std::string action) { action_ = std::move(action); }
  const std::string& keyEquivalent() const { return keyEquivalent_; }
  void setKeyEquivalent(std::string key) { keyEquivalent_ = std::move(key); }
  // Null when the entry has no image.
  const std::shared_ptr<const NSImage>& image() const { return image_; }
  void setImage(std::shared_ptr<const NSImage> image) { image_ = std::move(image); }

  // What %@ prints: "<NSMenuItem title action>".
  std::string description() const;

 private:
  std::string title_;
  std::string action_;
  std::string keyEquivalent_;
  std::shared_ptr<const NSImage> image_;
};

class NSMenu {
 public:
  // [[NSMenu alloc] initWithTitle:]. Never null.
  static std::shared_ptr<NSMenu> initWithTitle(std::string title);
  explicit NSMenu(std::string title) : title_(std::move(title)) {}

  const std::string& title() const { return title_; }

  // addItemWithTitle:action:keyEquivalent:: appends an entry and returns it, so the caller can
  // give it an image.
  std::shared_ptr<NSMenuItem> addItemWithTitle(std::string title, std::string action,
                                               std::string keyEquivalent);
  void addItem(std::shared_ptr<NSMenuItem> item);

  const std::vector<std::shared_ptr<NSMenuItem>>& items() const { return items_; }
  std::size_t numberOfItems() const { return items_.size(); }
  // Null when `index` is out of range.
  std::shared_ptr<NSMenuItem> itemAtIndex(std::size_t index) const;

  std::string description() const;

 private:
  std::string title_;
  std::vector<std::shared_ptr<NSMenuItem>> items_;
};

}  // namespace vrk
