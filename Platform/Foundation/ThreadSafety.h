// Locking the compiler can check. Clang's thread-safety analysis (-Wthread-safety) reads these
// attributes and reports, at build time, guarded state touched without its mutex and functions
// called without the lock they require. Other compilers see empty macros.
//
// The analysis only understands annotated mutex types, and libstdc++'s std::mutex is not one,
// so guarded state is guarded by a vrk::Mutex and locked through MutexLock (or UniqueLock where
// a condition variable waits on it). All three may be used from any thread; a Mutex is not
// recursive.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VRK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VRK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VRK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VRK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VRK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VRK_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) VRK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VRK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VRK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VRK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VRK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VRK_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) VRK_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VRK_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vrk {

// A std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  // For code the analysis cannot follow (a condition variable's wait goes through UniqueLock).
  std::mutex& native() RETURN_CAPABILITY(this) { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Holds a Mutex for its scope and lends it to a std::condition_variable's waits. A wait gives
// the mutex up and takes it back before it returns, so to the analysis it stays held. unlock()
// and lock() let a scope drop the mutex around a call that must not run under it.
class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.native()) {}
  ~UniqueLock() RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void unlock() RELEASE() { lock_.unlock(); }
  void lock() ACQUIRE() { lock_.lock(); }

  std::unique_lock<std::mutex>& forWait() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace vrk
