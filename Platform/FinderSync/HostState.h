// What a file manager host keeps of what a FinderSync extension told it: the directory set, the
// badge registrations and the badge of each item.
//
// Contract: a plain model, pure and single-threaded; the owner serializes access. Paths are
// absolute, without a trailing slash (as NSURL::path gives them).
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Foundation/NSURL.h"

namespace vrk::findersync {

class HostState {
 public:
  struct Registration {
    std::string image;
    std::string label;
  };

  // Finder drops the badges of items that leave the directory set.
  void setDirectoryURLs(std::optional<std::vector<NSURL>> urls);
  // True when `path` is a directory of the set or lies beneath one.
  bool covers(const std::string& path) const;
  void setBadgeImage(std::string image, std::string label, std::string identifier);
  // The empty identifier removes the badge. False (nothing kept) for an item outside the
  // directory set, which Finder does not decorate.
  bool setBadgeIdentifier(const std::string& identifier, const NSURL& url);
  // The item's badge identifier, "" for none.
  std::string badgeOf(const std::string& path) const;
  // The registration of `identifier`, null when the extension registered none.
  const Registration* registration(const std::string& identifier) const;

  // nullopt while the extension has set no directory set.
  const std::optional<std::set<std::string>>& directories() const { return directories_; }
  const std::map<std::string, Registration>& registrations() const { return registrations_; }
  const std::map<std::string, std::string>& badges() const { return badges_; }

 private:
  std::optional<std::set<std::string>> directories_;  // paths
  std::map<std::string, Registration> registrations_;
  std::map<std::string, std::string> badges_;  // path -> identifier
};

// True when `path` is `dir` or lies beneath it (both absolute, without a trailing slash).
bool PathIsUnder(const std::string& path, const std::string& dir);

}  // namespace vrk::findersync
