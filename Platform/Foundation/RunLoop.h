// NSRunLoop / CFRunLoop, NSThread, the dispatch main queue and performSelector:onThread:.
//
// Each thread that asks for one gets one run loop, built on its own sd-event loop. Other
// threads reach it only through the thread-safe calls marked below (they queue work or wake
// it through an eventfd); everything else must be called on the loop's own thread.
//
// Ownership: RunLoop::current() belongs to the calling thread and lives until that thread
// ends (the main thread's loop lives for the whole process). A Source handle removes its source
// when destroyed; destroy it on the loop's thread. Work queued for a thread that has ended is
// dropped (destroyed unrun).
//
// Failure: a call of a loop-thread-only operation from another thread, or a run started from
// inside a callback of the same loop (sd-event cannot be entered twice), is refused with a log
// line: the run returns false at once, addTimer/addReadSource return an empty source. When
// sd-event itself fails, the run logs, pauses briefly (so that a caller's loop does not spin)
// and returns false. Nothing throws except std::bad_alloc.
//
// Order: tasks queued from one thread run in the order queued; all tasks waiting when the loop
// wakes run in one pass. dispatch_after blocks run by deadline, equal deadlines in order of
// queuing. Timers never fire early; they are accurate to about a microsecond.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct sd_event;

namespace vrk {

class RunLoop;

// Removes its source from the loop when destroyed or reset. Movable, not copyable.
class RunLoopSource {
 public:
  RunLoopSource();
  RunLoopSource(RunLoopSource&&) noexcept;
  RunLoopSource& operator=(RunLoopSource&&) noexcept;
  RunLoopSource(const RunLoopSource&) = delete;
  RunLoopSource& operator=(const RunLoopSource&) = delete;
  ~RunLoopSource();
  void reset();
  explicit operator bool() const { return impl_ != nullptr; }

  struct Impl;
  explicit RunLoopSource(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

class RunLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // The calling thread's run loop, created on first use. Never null.
  static RunLoop& current();
  // The main thread's run loop (the thread that first touched the run-loop layer, normally
  // main()). Thread-safe.
  static RunLoop& main();

  // runMode:beforeDate:. Runs until one source (a task, a timer, a file descriptor, sd-bus
  // traffic) has been handled, stop() was called, or `limit` passed; nullopt means no limit
  // (distantFuture). Returns true when a source was handled. A stop() that came while the
  // loop was not running makes the next runOnce return at once; one that comes while it runs
  // ends that run. Either way a stop is used up by the run it ends. A limit already past still
  // serves work that is ready. Loop thread only.
  bool runOnce(std::optional<Clock::time_point> limit = std::nullopt);
  // CFRunLoopRun: runs until stop(). Loop thread only.
  void run();
  // runUntilDate:: runs until the limit passes or stop() is called. Loop thread only.
  void runUntil(Clock::time_point limit);

  // CFRunLoopStop. Thread-safe: wakes the loop so that the current (or next) run returns.
  void stop();

  // Queues `task` to run on the loop's thread, in order of queuing. Thread-safe.
  void perform(std::function<void()> task);

  // Calls `task` on the loop's thread once `delay` has passed. Loop thread only; the returned
  // source cancels the timer when destroyed. (dispatch_after is the thread-safe form.)
  RunLoopSource addTimer(std::chrono::nanoseconds delay, std::function<void()> task);

  // Calls `onReadable` on the loop's thread each time `fd` is readable (level-triggered: read
  // until empty, or it is called again at once). The fd stays owned by the caller and must
  // outlive the source; one source per fd. Loop thread only.
  RunLoopSource addReadSource(int fd, std::function<void()> onReadable);

  // The sd-event loop behind this run loop, for attaching sd-bus connections. Loop thread only.
  sd_event* event();

  // True when called on this loop's thread.
  bool isCurrent() const;

  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  struct Impl;

 private:
  explicit RunLoop(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// NSThread. A Thread object stands for one OS thread; it is shared by whoever holds it.
class Thread : public std::enable_shared_from_this<Thread> {
 public:
  // A new, not yet started thread that will run `body`. Its run loop is created on it.
  static std::shared_ptr<Thread> create(std::function<void()> body, std::string name = {});
  // The calling thread's object (made on first use for threads not created here).
  static std::shared_ptr<Thread> current();
  static std::shared_ptr<Thread> mainThread();
  static bool isMainThread();

  // Starts the thread. Call once.
  void start();
  // Blocks until the thread's body has returned. Must not be called from the thread itself.
  void join();
  bool isFinished() const;

  // performSelector:onThread:withObject:waitUntilDone:. Runs `task` on this thread's run
  // loop; with `waitUntilDone` the caller blocks until it ran (or runs it at once when the
  // caller is this thread). Thread-safe. Work for a thread not started yet runs once it runs its
  // loop. A task for a thread that has ended (or a Thread never started and then destroyed) is
  // dropped, and a waiting caller is released. A thread that is alive but never runs its loop
  // keeps a waiting caller waiting.
  void perform(std::function<void()> task, bool waitUntilDone);

  // "<NSThread: 0x...>{number = N, name = NAME}", number 1 for the main thread.
  std::string description() const;
  std::uint64_t number() const;

  // The run loop of this thread; null before it has started or after it has finished.
  RunLoop* runLoop() const;

  ~Thread();

  struct Impl;

 private:
  Thread();
  std::unique_ptr<Impl> impl_;
};

// The dispatch main queue and dispatch_after, in nanoseconds.
namespace dispatch {
using Time = std::int64_t;  // nanoseconds on the monotonic clock
constexpr Time TIME_NOW = 0;
// dispatch_time(when, delta): `when` (TIME_NOW: the current monotonic time) plus `delta`
// multiplied by the test time scale, saturating.
Time time(Time when, std::int64_t deltaNanoseconds);
// dispatch_async(dispatch_get_main_queue(), block). Thread-safe.
void async_main(std::function<void()> block);
// dispatch_after(when, dispatch_get_main_queue(), block). Thread-safe.
void after_main(Time when, std::function<void()> block);

// Tests may replace the clock behind dispatch_time/after with a scale factor so that a
// 2-second delay passes in 2 ms: delays given to dispatch::time are multiplied by `factor`
// (deadlines already computed keep their time). 1.0, or any factor <= 0, restores real time.
void setTimeScaleForTesting(double factor);
}  // namespace dispatch

}  // namespace vrk
