#include "Platform/AppKit/NSMenu.h"

namespace vrk {

std::string NSMenuItem::description() const {
  return "<NSMenuItem " + title_ + " " + (action_.empty() ? "(no action)" : action_) + ">";
}

std::shared_ptr<NSMenu> NSMenu::initWithTitle(std::string title) {
  return std::make_shared<NSMenu>(std::move(title));
}

std::shared_ptr<NSMenuItem> NSMenu::addItemWithTitle(std::string title, std::string action,
                                                     std::string keyEquivalent) {
  auto item =
      std::make_shared<NSMenuItem>(std::move(title), std::move(action), std::move(keyEquivalent));
  items_.push_back(item);
  return item;
}

void NSMenu::addItem(std::shared_ptr<NSMenuItem> item) {
  if (item) items_.push_back(std::move(item));
}

std::shared_ptr<NSMenuItem> NSMenu::itemAtIndex(std::size_t index) const {
  return index < items_.size() ? items_[index] : nullptr;
}

std::string NSMenu::description() const {
  std::string out = "<NSMenu \"" + title_ + "\" (";
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (i > 0) out += ", ";
    out += items_[i]->description();
  }
  return out + ")>";
}

}  // namespace vrk
