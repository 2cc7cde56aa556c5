#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoopInternal.h"

namespace vrk::runloop_internal {

std::shared_ptr<Mailbox> Mailbox::Create() {
  auto mailbox = std::make_shared<Mailbox>();
  mailbox->wakeFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (mailbox->wakeFd_.get() < 0)
    NSLog("RunLoop: cannot create the wake-up eventfd: %s", std::strerror(errno));
  return mailbox;
}

bool Mailbox::post(std::function<void()> task) {
  bool mustWake;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    tasks_.push_back(std::move(task));
    mustWake = !std::exchange(wakePending_, true);
  }
  if (mustWake) wake();
  return true;
}

bool Mailbox::Later(const Timed& a, const Timed& b) {
  if (a.deadline != b.deadline) return a.deadline > b.deadline;
  return a.sequence > b.sequence;
}

bool Mailbox::postAt(dispatch::Time deadline, std::function<void()> block) {
  bool mustWake;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    timed_.push_back(Timed{deadline, nextSequence_++, std::move(block)});
    std::push_heap(timed_.begin(), timed_.end(), Later);
    // The loop re-arms its timer when it wakes; only then does a new earliest deadline count.
    mustWake = !std::exchange(wakePending_, true);
  }
  if (mustWake) wake();
  return true;
}

void Mailbox::requestStop() {
  stopRequested_.store(true);
  wake();
}

void Mailbox::close() {
  std::deque<std::function<void()>> tasks;
  std::vector<Timed> timed;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    tasks.swap(tasks_);
    timed.swap(timed_);
  }
  // Destroyed here, outside the lock: a dropped task's destructor releases a waiting caller and
  // may itself post somewhere.
}

void Mailbox::wake() {
  if (wakeFd_.get() < 0) return;
  const std::uint64_t one = 1;
  // EAGAIN means the counter is already non-zero, which wakes the loop just as well.
  while (::write(wakeFd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Mailbox::acknowledgeWake() {
  if (wakeFd_.get() >= 0) {
    std::uint64_t count;
    while (::read(wakeFd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
  // Cleared after the read: a post that comes after this point writes the eventfd again.
  std::lock_guard lock(mutex_);
  wakePending_ = false;
}

std::deque<std::function<void()>> Mailbox::takeTasks() {
  std::deque<std::function<void()>> tasks;
  std::lock_guard lock(mutex_);
  tasks.swap(tasks_);
  return tasks;
}

std::vector<std::function<void()>> Mailbox::takeDue(dispatch::Time now) {
  std::vector<std::function<void()>> due;
  std::lock_guard lock(mutex_);
  while (!timed_.empty() && timed_.front().deadline <= now) {
    std::pop_heap(timed_.begin(), timed_.end(), Later);
    due.push_back(std::move(timed_.back().block));
    timed_.pop_back();
  }
  return due;
}

std::optional<dispatch::Time> Mailbox::nextDeadline() const {
  std::lock_guard lock(mutex_);
  if (timed_.empty()) return std::nullopt;
  return timed_.front().deadline;
}

}  // namespace vrk::runloop_internal
