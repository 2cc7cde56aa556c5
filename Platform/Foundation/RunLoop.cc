#include "Platform/Foundation/RunLoop.h"

#include <sys/epoll.h>
#include <systemd/sd-event.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoopInternal.h"
#include "Platform/Foundation/SdBus.h"

namespace vrk {

using runloop_internal::Mailbox;

namespace runloop_internal {
namespace {

// What a thread other than the main thread keeps of the run-loop layer. Destroyed when the
// thread ends, which closes its mailbox so that later posts are dropped, not lost in a queue
// that nobody drains.
struct ThreadState {
  std::shared_ptr<Mailbox> mailbox;
  std::unique_ptr<RunLoop> loop;

  ~ThreadState() { end(); }
  void end() {
    loop.reset();
    if (mailbox) mailbox->close();
    mailbox.reset();
  }
};

thread_local ThreadState t_state;

// Taken while the library loads, so that the main thread is the one that ran main(), even when
// another thread is the first to ask for the main loop.
[[maybe_unused]] const std::thread::id g_mainThreadAtLoad = MainThreadId();

}  // namespace

std::thread::id MainThreadId() {
  static const std::thread::id id = std::this_thread::get_id();
  return id;
}

bool IsMainThread() {
  return std::this_thread::get_id() == MainThreadId();
}

const std::shared_ptr<Mailbox>& MainMailbox() {
  // Never destroyed: other threads may post to the main queue while the process exits.
  static const auto* mailbox = new std::shared_ptr<Mailbox>(Mailbox::Create());
  return *mailbox;
}

std::shared_ptr<Mailbox> CurrentMailbox() {
  if (IsMainThread()) return MainMailbox();
  if (!t_state.mailbox) t_state.mailbox = Mailbox::Create();
  return t_state.mailbox;
}

void AdoptMailbox(std::shared_ptr<Mailbox> mailbox) {
  t_state.mailbox = std::move(mailbox);
}

void EndCurrentThreadLoop() {
  if (!IsMainThread()) t_state.end();
}

dispatch::Time NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace runloop_internal

namespace {

using runloop_internal::NowNanoseconds;

using dbus::EventPtr;
using SourcePtr = dbus::EventSourcePtr;

constexpr std::uint64_t kInfinite = std::numeric_limits<std::uint64_t>::max();

// sd-event counts in microseconds; rounding up keeps a timer from firing before its time.
std::uint64_t CeilMicroseconds(std::int64_t nanoseconds) {
  if (nanoseconds <= 0) return 0;
  return static_cast<std::uint64_t>(nanoseconds / 1000 + (nanoseconds % 1000 != 0));
}

std::uint64_t TimeoutFor(std::optional<RunLoop::Clock::time_point> limit) {
  if (!limit) return kInfinite;
  auto left = *limit - RunLoop::Clock::now();
  return CeilMicroseconds(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
}

// Without this sd-event batches timers to a 250 ms grid, far too coarse for a run loop.
constexpr std::uint64_t kTimerAccuracyUsec = 1;

}  // namespace

struct RunLoopSource::Impl {
  SourcePtr source;
  // Shared so that a callback that destroys its own source keeps running on a live function.
  std::shared_ptr<std::function<void()>> callback;

  static void Fire(void* userdata) {
    auto callback = static_cast<Impl*>(userdata)->callback;
    (*callback)();
  }
  static int OnIo(sd_event_source*, int, std::uint32_t, void* userdata) {
    Fire(userdata);
    return 0;
  }
  static int OnTime(sd_event_source*, std::uint64_t, void* userdata) {
    Fire(userdata);
    return 0;
  }
};

RunLoopSource::RunLoopSource() = default;
RunLoopSource::RunLoopSource(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RunLoopSource::RunLoopSource(RunLoopSource&&) noexcept = default;
RunLoopSource& RunLoopSource::operator=(RunLoopSource&&) noexcept = default;
RunLoopSource::~RunLoopSource() = default;
void RunLoopSource::reset() {
  impl_.reset();
}

struct RunLoop::Impl {
  struct Pass {
    bool handled = false;
    bool stopped = false;
    bool failed = false;
  };

  Impl(std::shared_ptr<Mailbox> mb, std::thread::id ownerThread);

  bool onOwnerThread(const char* operation) const;
  Pass pass(std::optional<Clock::time_point> limit);
  void pauseAfterFailure(std::optional<Clock::time_point> limit) const;
  void rearmDispatchTimer();

  static int OnWake(sd_event_source*, int, std::uint32_t, void* userdata);
  static int OnDispatchTimer(sd_event_source*, std::uint64_t, void* userdata);

  std::shared_ptr<Mailbox> mailbox;
  std::thread::id owner;
  EventPtr event;  // declared before the sources, so it is released after them
  SourcePtr wakeSource;
  SourcePtr dispatchTimer;
  // Set while sd_event_run runs: sd-event cannot be entered again from one of its callbacks.
  bool running = false;
  // The wake-up source and the dispatch timer are ours; a pass that only dispatched one of them
  // without running any work has handled nothing the caller asked for.
  bool internalDispatch = false;
  bool ranWork = false;
};

RunLoop::Impl::Impl(std::shared_ptr<Mailbox> mb, std::thread::id ownerThread)
    : mailbox(std::move(mb)), owner(ownerThread) {
  sd_event* e = nullptr;
  if (int r = sd_event_new(&e); r < 0) {
    NSLog("RunLoop: cannot create the event loop: %s", std::strerror(-r));
    return;
  }
  event.reset(e);
  if (mailbox->wakeFd() < 0) return;
  sd_event_source* s = nullptr;
  if (int r = sd_event_add_io(e, &s, mailbox->wakeFd(), EPOLLIN, OnWake, this); r < 0) {
    NSLog("RunLoop: cannot watch the wake-up eventfd: %s", std::strerror(-r));
    return;
  }
  wakeSource.reset(s);
  rearmDispatchTimer();
}

bool RunLoop::Impl::onOwnerThread(const char* operation) const {
  if (std::this_thread::get_id() == owner) return true;
  NSLog("RunLoop: %s called from a thread that does not own the loop; ignored", operation);
  return false;
}

int RunLoop::Impl::OnWake(sd_event_source*, int, std::uint32_t, void* userdata) {
  auto* self = static_cast<Impl*>(userdata);
  self->internalDispatch = true;
  self->mailbox->acknowledgeWake();
  auto tasks = self->mailbox->takeTasks();
  for (auto& task : tasks) {
    if (task) task();
    // Destroyed at once: a caller waiting for this task is released by its destruction.
    task = nullptr;
    self->ranWork = true;
  }
  // A dispatch_after block may have arrived with the wake-up.
  self->rearmDispatchTimer();
  return 0;
}

int RunLoop::Impl::OnDispatchTimer(sd_event_source*, std::uint64_t, void* userdata) {
  auto* self = static_cast<Impl*>(userdata);
  self->internalDispatch = true;
  auto due = self->mailbox->takeDue(NowNanoseconds());
  for (auto& block : due) {
    if (block) block();
    block = nullptr;
    self->ranWork = true;
  }
  self->rearmDispatchTimer();
  return 0;
}

void RunLoop::Impl::rearmDispatchTimer() {
  if (!event) return;
  auto next = mailbox->nextDeadline();
  if (!next) {
    if (dispatchTimer) sd_event_source_set_enabled(dispatchTimer.get(), SD_EVENT_OFF);
    return;
  }
  const std::uint64_t usec = std::max<std::uint64_t>(1, CeilMicroseconds(*next));
  if (!dispatchTimer) {
    sd_event_source* s = nullptr;
    int r = sd_event_add_time(event.get(), &s, CLOCK_MONOTONIC, usec, kTimerAccuracyUsec,
                              OnDispatchTimer, this);
    if (r < 0) {
      NSLog("RunLoop: cannot arm the dispatch timer: %s", std::strerror(-r));
      return;
    }
    dispatchTimer.reset(s);
    return;
  }
  sd_event_source_set_time(dispatchTimer.get(), usec);
  sd_event_source_set_enabled(dispatchTimer.get(), SD_EVENT_ONESHOT);
}

void RunLoop::Impl::pauseAfterFailure(std::optional<Clock::time_point> limit) const {
  // A loop that cannot wait must not turn its caller's `while` into a busy loop.
  auto until = Clock::now() + std::chrono::milliseconds(100);
  if (limit) until = std::min(until, *limit);
  std::this_thread::sleep_until(until);
}

RunLoop::Impl::Pass RunLoop::Impl::pass(std::optional<Clock::time_point> limit) {
  if (running) {
    NSLog("RunLoop: a run was started from inside a callback of the same loop; ignored");
    return Pass{.failed = true};
  }
  for (;;) {
    if (mailbox->takeStop()) return Pass{.stopped = true};
    if (!event) {
      pauseAfterFailure(limit);
      return Pass{.failed = true};
    }
    internalDispatch = false;
    ranWork = false;
    running = true;
    const int r = sd_event_run(event.get(), TimeoutFor(limit));
    running = false;
    if (r < 0) {
      NSLog("RunLoop: sd_event_run failed: %s", std::strerror(-r));
      pauseAfterFailure(limit);
      return Pass{.failed = true};
    }
    Pass result;
    result.handled = r > 0 && (!internalDispatch || ranWork);
    // A stop that came while this pass ran ends this pass, as CFRunLoopStop ends the current run.
    result.stopped = mailbox->takeStop();
    if (result.handled || result.stopped) return result;
    if (limit && Clock::now() >= *limit) return result;
  }
}

RunLoop::RunLoop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  impl_->mailbox->attach(this);
}

RunLoop::~RunLoop() {
  if (impl_->mailbox->loop() == this) impl_->mailbox->attach(nullptr);
}

RunLoop& RunLoop::current() {
  using namespace runloop_internal;
  if (IsMainThread()) return main();
  if (!t_state.loop) {
    t_state.loop.reset(
        new RunLoop(std::make_unique<Impl>(CurrentMailbox(), std::this_thread::get_id())));
  }
  return *t_state.loop;
}

RunLoop& RunLoop::main() {
  using namespace runloop_internal;
  // Never destroyed, like the main thread's CFRunLoop: dispatch to the main queue stays valid
  // while the process exits.
  static RunLoop* const loop = new RunLoop(std::make_unique<Impl>(MainMailbox(), MainThreadId()));
  return *loop;
}

bool RunLoop::runOnce(std::optional<Clock::time_point> limit) {
  if (!impl_->onOwnerThread("runOnce")) return false;
  return impl_->pass(limit).handled;
}

void RunLoop::run() {
  if (!impl_->onOwnerThread("run")) return;
  for (;;) {
    auto p = impl_->pass(std::nullopt);
    if (p.stopped || p.failed) return;
  }
}

void RunLoop::runUntil(Clock::time_point limit) {
  if (!impl_->onOwnerThread("runUntil")) return;
  for (;;) {
    auto p = impl_->pass(limit);
    if (p.stopped || p.failed || Clock::now() >= limit) return;
  }
}

void RunLoop::stop() {
  impl_->mailbox->requestStop();
}

void RunLoop::perform(std::function<void()> task) {
  impl_->mailbox->post(std::move(task));
}

RunLoopSource RunLoop::addTimer(std::chrono::nanoseconds delay, std::function<void()> task) {
  if (!impl_->onOwnerThread("addTimer") || !impl_->event) return {};
  auto source = std::make_unique<RunLoopSource::Impl>();
  source->callback = std::make_shared<std::function<void()>>(std::move(task));
  const std::int64_t deadline = NowNanoseconds() + std::max<std::int64_t>(0, delay.count());
  sd_event_source* s = nullptr;
  int r = sd_event_add_time(impl_->event.get(), &s, CLOCK_MONOTONIC, CeilMicroseconds(deadline),
                            kTimerAccuracyUsec, RunLoopSource::Impl::OnTime, source.get());
  if (r < 0) {
    NSLog("RunLoop: cannot add a timer: %s", std::strerror(-r));
    return {};
  }
  source->source.reset(s);
  return RunLoopSource(std::move(source));
}

RunLoopSource RunLoop::addReadSource(int fd, std::function<void()> onReadable) {
  if (!impl_->onOwnerThread("addReadSource") || !impl_->event) return {};
  auto source = std::make_unique<RunLoopSource::Impl>();
  source->callback = std::make_shared<std::function<void()>>(std::move(onReadable));
  sd_event_source* s = nullptr;
  int r =
      sd_event_add_io(impl_->event.get(), &s, fd, EPOLLIN, RunLoopSource::Impl::OnIo, source.get());
  if (r < 0) {
    NSLog("RunLoop: cannot watch fd %d: %s", fd, std::strerror(-r));
    return {};
  }
  source->source.reset(s);
  return RunLoopSource(std::move(source));
}

sd_event* RunLoop::event() {
  return impl_->event.get();
}

bool RunLoop::isCurrent() const {
  return std::this_thread::get_id() == impl_->owner;
}

namespace dispatch {
namespace {
std::atomic<double> g_timeScale{1.0};
}

Time time(Time when, std::int64_t deltaNanoseconds) {
  const Time base = when == TIME_NOW ? NowNanoseconds() : when;
  const long double scaled =
      static_cast<long double>(deltaNanoseconds) * g_timeScale.load(std::memory_order_relaxed);
  const long double sum = static_cast<long double>(base) + std::floor(scaled);
  constexpr auto kMax = std::numeric_limits<Time>::max();
  constexpr auto kMin = std::numeric_limits<Time>::min();
  if (sum >= static_cast<long double>(kMax)) return kMax;
  if (sum <= static_cast<long double>(kMin)) return kMin;
  return static_cast<Time>(sum);
}

void async_main(std::function<void()> block) {
  runloop_internal::MainMailbox()->post(std::move(block));
}

void after_main(Time when, std::function<void()> block) {
  runloop_internal::MainMailbox()->postAt(when, std::move(block));
}

void setTimeScaleForTesting(double factor) {
  g_timeScale.store(factor > 0 ? factor : 1.0, std::memory_order_relaxed);
}

}  // namespace dispatch

}  // namespace vrk
