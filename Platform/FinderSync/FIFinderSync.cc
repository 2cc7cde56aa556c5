#include "Platform/FinderSync/FIFinderSync.h"

#include <cstdio>

namespace vrk {
namespace {

Mutex g_defaultMutex;
std::shared_ptr<FIFinderSyncController> g_default GUARDED_BY(g_defaultMutex);

std::string DescribeURLs(const std::optional<std::set<NSURL>>& urls) {
  if (!urls) return "nil";
  std::string out = "{";
  for (const NSURL& url : *urls) {
    if (out.size() > 1) out += ", ";
    out += url.path();
  }
  return out + "}";
}

const char* MethodName(FIFinderSyncRecorder::Method method) {
  using M = FIFinderSyncRecorder::Method;
  switch (method) {
    case M::directoryURLs:
      return "directoryURLs";
    case M::setDirectoryURLs:
      return "setDirectoryURLs:";
    case M::setBadgeImage:
      return "setBadgeImage:";
    case M::setBadgeIdentifier:
      return "setBadgeIdentifier:";
    case M::selectedItemURLs:
      return "selectedItemURLs";
    case M::targetedURL:
      return "targetedURL";
  }
  return "?";
}

}  // namespace

void FIFinderSync::beginObservingDirectoryAtURL(const NSURL&) {}
void FIFinderSync::endObservingDirectoryAtURL(const NSURL&) {}
void FIFinderSync::requestBadgeIdentifierForURL(const NSURL&) {}
std::shared_ptr<NSMenu> FIFinderSync::menuForMenuKind(FIMenuKind) {
  return nullptr;
}
bool FIFinderSync::performMenuAction(std::string_view, const std::shared_ptr<NSMenuItem>&) {
  return false;
}

std::string FIFinderSync::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return "<" + className() + ": " + address + ">";
}

std::shared_ptr<FIFinderSyncController> FIFinderSyncController::defaultController() {
  MutexLock lock(g_defaultMutex);
  if (!g_default) g_default = std::make_shared<FIFinderSyncRecorder>(/*recordCalls=*/false);
  return g_default;
}

void FIFinderSyncController::setDefaultController(
    std::shared_ptr<FIFinderSyncController> controller) {
  MutexLock lock(g_defaultMutex);
  g_default = std::move(controller);
}

std::shared_ptr<FIFinderSyncRecorder> FIFinderSyncController::installRecorderForTesting() {
  auto recorder = std::make_shared<FIFinderSyncRecorder>();
  setDefaultController(recorder);
  return recorder;
}

std::string FIFinderSyncRecorder::Call::description() const {
  std::string out = MethodName(method);
  switch (method) {
    case Method::setDirectoryURLs:
      out += " " + DescribeURLs(urls);
      break;
    case Method::setBadgeImage:
      out += " " + (image ? image->name() : std::string("(null)")) + " label: " + label +
             " forBadgeIdentifier: " + identifier;
      break;
    case Method::setBadgeIdentifier:
      out += " " + identifier + " forURL: " + (url ? url->path() : std::string("(null)"));
      break;
    default:
      break;
  }
  return out;
}

void FIFinderSyncRecorder::record(Call call) {
  if (recordCalls_) calls_.push_back(std::move(call));
}

std::optional<std::set<NSURL>> FIFinderSyncRecorder::directoryURLs() {
  MutexLock lock(mutex_);
  record({.method = Method::directoryURLs});
  return directoryURLs_;
}

void FIFinderSyncRecorder::setDirectoryURLs(std::optional<std::set<NSURL>> urls) {
  MutexLock lock(mutex_);
  record({.method = Method::setDirectoryURLs, .urls = urls});
  directoryURLs_ = std::move(urls);
}

void FIFinderSyncRecorder::setBadgeImage(std::shared_ptr<const NSImage> image, std::string label,
                                         std::string badgeIdentifier) {
  MutexLock lock(mutex_);
  record({.method = Method::setBadgeImage,
          .image = image,
          .label = label,
          .identifier = badgeIdentifier});
  registrations_[std::move(badgeIdentifier)] = {std::move(image), std::move(label)};
}

void FIFinderSyncRecorder::setBadgeIdentifier(std::string badgeIdentifier, const NSURL& url) {
  MutexLock lock(mutex_);
  record({.method = Method::setBadgeIdentifier, .identifier = badgeIdentifier, .url = url});
  if (badgeIdentifier.empty()) {
    badges_.erase(url);
  } else {
    badges_[url] = std::move(badgeIdentifier);
  }
}

std::vector<NSURL> FIFinderSyncRecorder::selectedItemURLs() {
  MutexLock lock(mutex_);
  record({.method = Method::selectedItemURLs});
  return selected_;
}

std::optional<NSURL> FIFinderSyncRecorder::targetedURL() {
  MutexLock lock(mutex_);
  record({.method = Method::targetedURL});
  return targeted_;
}

void FIFinderSyncRecorder::setSelectedItemURLs(std::vector<NSURL> urls) {
  MutexLock lock(mutex_);
  selected_ = std::move(urls);
}

void FIFinderSyncRecorder::setTargetedURL(std::optional<NSURL> url) {
  MutexLock lock(mutex_);
  targeted_ = std::move(url);
}

std::vector<FIFinderSyncRecorder::Call> FIFinderSyncRecorder::calls() const {
  MutexLock lock(mutex_);
  return calls_;
}

std::vector<FIFinderSyncRecorder::Call> FIFinderSyncRecorder::calls(Method method) const {
  MutexLock lock(mutex_);
  std::vector<Call> out;
  for (const Call& call : calls_) {
    if (call.method == method) out.push_back(call);
  }
  return out;
}

std::vector<std::string> FIFinderSyncRecorder::callDescriptions() const {
  MutexLock lock(mutex_);
  std::vector<std::string> out;
  for (const Call& call : calls_) out.push_back(call.description());
  return out;
}

void FIFinderSyncRecorder::clearCalls() {
  MutexLock lock(mutex_);
  calls_.clear();
}

std::map<std::string, FIFinderSyncRecorder::Registration> FIFinderSyncRecorder::registrations()
    const {
  MutexLock lock(mutex_);
  return registrations_;
}

std::optional<std::string> FIFinderSyncRecorder::badgeIdentifierForURL(const NSURL& url) const {
  MutexLock lock(mutex_);
  auto it = badges_.find(url);
  if (it == badges_.end()) return std::nullopt;
  return it->second;
}

}  // namespace vrk
