// Private to the run-loop layer: the per-thread mailbox and the bookkeeping of which thread is
// which. Nothing outside Platform/Foundation/RunLoop*.cc includes this.
//
// A Mailbox is the thread-safe half of a run loop. Any thread may post into it; only the loop's
// own thread takes work out. It outlives the loop that drains it when someone still holds it (a
// Thread object, a caller in the middle of perform), so a late post finds it closed instead of
// touching freed memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/UniqueFd.h"

namespace vrk::runloop_internal {

class Mailbox {
 public:
  // Never null; when the eventfd cannot be made the mailbox still queues, but posting cannot
  // wake the loop (that failure is logged).
  static std::shared_ptr<Mailbox> Create();

  // Thread-safe. Each returns false, dropping the work, once the mailbox is closed.
  bool post(std::function<void()> task);
  bool postAt(dispatch::Time deadline, std::function<void()> block);
  void requestStop();

  // Drops everything queued and refuses later posts. Thread-safe; idempotent.
  void close();

  // The run loop that drains this mailbox, or null while none does. Set and cleared by the
  // loop on its own thread; read from any thread.
  void attach(RunLoop* loop) { loop_.store(loop); }
  RunLoop* loop() const { return loop_.load(); }

  // For the loop's thread.
  int wakeFd() const { return wakeFd_.get(); }
  void acknowledgeWake();
  bool takeStop() { return stopRequested_.exchange(false); }
  std::deque<std::function<void()>> takeTasks();
  // The timed blocks due at `now`, earliest first (equal deadlines in order of posting).
  std::vector<std::function<void()>> takeDue(dispatch::Time now);
  std::optional<dispatch::Time> nextDeadline() const;

 private:
  struct Timed {
    dispatch::Time deadline;
    std::uint64_t sequence;
    std::function<void()> block;
  };
  // Orders the heap so that its front is the earliest deadline, then the earliest post.
  static bool Later(const Timed& a, const Timed& b);
  void wake();

  UniqueFd wakeFd_;
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  std::vector<Timed> timed_;
  std::uint64_t nextSequence_ = 0;
  bool wakePending_ = false;
  bool closed_ = false;
  std::atomic<bool> stopRequested_{false};
  std::atomic<RunLoop*> loop_{nullptr};
};

// The thread that first touched the run-loop layer (at load time, normally main()).
std::thread::id MainThreadId();
bool IsMainThread();

// The main loop's mailbox; it is never closed.
const std::shared_ptr<Mailbox>& MainMailbox();
// The mailbox of the calling thread, made on first use; the main thread's is MainMailbox().
std::shared_ptr<Mailbox> CurrentMailbox();
// Called by Thread when it starts running its body, so that the loop made on the new thread
// drains the mailbox that the Thread object handed out before the start.
void AdoptMailbox(std::shared_ptr<Mailbox> mailbox);
// Destroys the calling thread's run loop (if any) and closes its mailbox. Not for the main thread.
void EndCurrentThreadLoop();

dispatch::Time NowNanoseconds();

}  // namespace vrk::runloop_internal
