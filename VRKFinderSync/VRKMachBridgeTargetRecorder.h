// A VRKMachBridgeTarget for tests: it records every call it gets (or only counts them) and
// lets a test decide what the lock question does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/ThreadSafety.h"
#include "VRKFinderSync/VRKMachBridgeTarget.h"

namespace vrk {

class VRKMachBridgeTargetRecorder final : public VRKMachBridgeTarget {
 public:
  struct Call {
    std::string method;
    std::optional<std::string> path;
    bool operator==(const Call&) const = default;
  };

  // Runs inside requestPythonItemLockPermissionAtPath, on the listening thread.
  std::function<void(const std::optional<std::string>& path, const void* msg)> onLockQuestion;
  // Runs inside notifyPythonBeginObserve, after the call is recorded (lets a test hold the
  // listener busy).
  std::function<void(const std::optional<std::string>& path)> onBeginObserve;
  // Keeps only the number of calls, for floods.
  bool countOnly = false;

  void notifyPythonBeginObserve(const std::optional<std::string>& path) override {
    record("notifyPythonBeginObserve", path);
    if (onBeginObserve) onBeginObserve(path);
  }
  void notifyPythonEndObserve(const std::optional<std::string>& path) override {
    record("notifyPythonEndObserve", path);
  }
  void notifyPythonBadgeNotExist4ItemAtPath(const std::optional<std::string>& path) override {
    record("notifyPythonBadgeNotExist4ItemAtPath", path);
  }
  void shareLink(const std::optional<std::string>& path) override { record("shareLink", path); }
  void viewOnWebsite(const std::optional<std::string>& path) override {
    record("viewOnWebsite", path);
  }
  void requestPythonItemLockPermissionAtPath(const std::optional<std::string>& path,
                                             const void* msg) override {
    record("requestPythonItemLockPermissionAtPath", path);
    if (onLockQuestion) onLockQuestion(path, msg);
  }
  void lockFile(const std::optional<std::string>& path) override { record("lockFile", path); }
  void unlockFile(const std::optional<std::string>& path) override { record("unlockFile", path); }
  void viewHistoryVersions(const std::optional<std::string>& path) override {
    record("viewHistoryVersions", path);
  }

  std::vector<Call> calls() const {
    MutexLock lock(mutex_);
    return calls_;
  }
  std::size_t count() const {
    MutexLock lock(mutex_);
    return count_;
  }
  // True once `n` calls have arrived, false after `limit`.
  bool waitForCount(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    UniqueLock lock(mutex_);
    return changed_.wait_for(lock.forWait(), limit, [&]() REQUIRES(mutex_) { return count_ >= n; });
  }

 private:
  void record(const char* method, const std::optional<std::string>& path) {
    MutexLock lock(mutex_);
    ++count_;
    if (!countOnly) calls_.push_back({method, path});
    changed_.notify_all();
  }

  mutable Mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_ GUARDED_BY(mutex_);
  std::size_t count_ GUARDED_BY(mutex_) = 0;
};

}  // namespace vrk
