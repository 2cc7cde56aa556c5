#include "Platform/FinderSync/HostState.h"

#include <algorithm>

namespace vrk::findersync {

bool PathIsUnder(const std::string& path, const std::string& dir) {
  if (path == dir) return true;
  if (dir == "/") return true;
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

void HostState::setDirectoryURLs(std::optional<std::vector<NSURL>> urls) {
  if (!urls) {
    directories_.reset();
  } else {
    directories_.emplace();
    for (const NSURL& url : *urls) directories_->insert(url.path());
  }
  std::erase_if(badges_, [this](const auto& entry) { return !covers(entry.first); });
}

bool HostState::covers(const std::string& path) const {
  if (!directories_) return false;
  return std::any_of(directories_->begin(), directories_->end(),
                     [&](const std::string& dir) { return PathIsUnder(path, dir); });
}

void HostState::setBadgeImage(std::string image, std::string label, std::string identifier) {
  registrations_[std::move(identifier)] = {std::move(image), std::move(label)};
}

bool HostState::setBadgeIdentifier(const std::string& identifier, const NSURL& url) {
  std::string path = url.path();
  if (!covers(path)) return false;
  if (identifier.empty()) {
    badges_.erase(path);
  } else {
    badges_[path] = identifier;
  }
  return true;
}

std::string HostState::badgeOf(const std::string& path) const {
  auto it = badges_.find(path);
  return it == badges_.end() ? std::string() : it->second;
}

const HostState::Registration* HostState::registration(const std::string& identifier) const {
  auto it = registrations_.find(identifier);
  return it == registrations_.end() ? nullptr : &it->second;
}

}  // namespace vrk::findersync
