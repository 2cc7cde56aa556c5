// NSThread and performSelector:onThread:, on top of std::thread and the per-thread mailboxes.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/RunLoopInternal.h"

namespace vrk {

using runloop_internal::Mailbox;

struct Thread::Impl {
  std::uint64_t number = 0;
  std::string name;
  bool isMain = false;
  // Made with the object, so that work performed before start() runs once the loop runs.
  std::shared_ptr<Mailbox> mailbox;
  std::function<void()> body;
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  std::mutex joinMutex;  // guards os
  std::thread os;
};

namespace {

// NSThread numbers threads in order of creation; 1 is the main thread.
std::atomic<std::uint64_t> g_nextNumber{2};

// The calling thread's Thread object. For a thread that was not made by Thread::create, the
// end of the thread is the only moment at which the object learns that it has finished.
struct CurrentThread {
  std::shared_ptr<Thread> thread;
  Thread::Impl* foreign = nullptr;  // set only for threads not made by Thread::create

  ~CurrentThread() {
    if (foreign) foreign->finished = true;
  }
};

thread_local CurrentThread t_current;

// Releases a caller of perform(..., waitUntilDone) when the task it waits for is gone: run and
// destroyed, or dropped unrun because the target thread has ended.
class Completion {
 public:
  void signal() {
    std::lock_guard lock(mutex_);
    done_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return done_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

class SignalOnDestruction {
 public:
  explicit SignalOnDestruction(std::shared_ptr<Completion> completion)
      : completion_(std::move(completion)) {}
  SignalOnDestruction(const SignalOnDestruction&) = delete;
  SignalOnDestruction& operator=(const SignalOnDestruction&) = delete;
  ~SignalOnDestruction() { completion_->signal(); }

 private:
  std::shared_ptr<Completion> completion_;
};

}  // namespace

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

Thread::~Thread() {
  {
    std::lock_guard lock(impl_->joinMutex);
    if (impl_->os.joinable()) {
      // The last reference may be dropped by the thread itself as it ends; it cannot join itself.
      if (impl_->os.get_id() == std::this_thread::get_id()) {
        impl_->os.detach();
      } else {
        impl_->os.join();
      }
    }
  }
  // Never started: release whoever waits on work that will never run.
  if (!impl_->started && impl_->mailbox) impl_->mailbox->close();
}

std::shared_ptr<Thread> Thread::create(std::function<void()> body, std::string name) {
  std::shared_ptr<Thread> thread(new Thread());
  thread->impl_->number = g_nextNumber.fetch_add(1);
  thread->impl_->name = std::move(name);
  thread->impl_->body = std::move(body);
  thread->impl_->mailbox = Mailbox::Create();
  return thread;
}

std::shared_ptr<Thread> Thread::current() {
  if (!t_current.thread) {
    if (runloop_internal::IsMainThread()) {
      t_current.thread = mainThread();
    } else {
      std::shared_ptr<Thread> thread(new Thread());
      thread->impl_->number = g_nextNumber.fetch_add(1);
      thread->impl_->mailbox = runloop_internal::CurrentMailbox();
      thread->impl_->started = true;
      t_current.foreign = thread->impl_.get();
      t_current.thread = std::move(thread);
    }
  }
  return t_current.thread;
}

std::shared_ptr<Thread> Thread::mainThread() {
  // Never destroyed, like the main run loop it stands for.
  static const auto* main = [] {
    std::shared_ptr<Thread> thread(new Thread());
    thread->impl_->number = 1;
    thread->impl_->name = "main";
    thread->impl_->isMain = true;
    thread->impl_->mailbox = runloop_internal::MainMailbox();
    thread->impl_->started = true;
    return new std::shared_ptr<Thread>(std::move(thread));
  }();
  return *main;
}

bool Thread::isMainThread() {
  return runloop_internal::IsMainThread();
}

void Thread::start() {
  if (impl_->started.exchange(true)) {
    NSLog("Thread: %@ was started twice; ignored", description());
    return;
  }
  std::lock_guard lock(impl_->joinMutex);
  impl_->os = std::thread([self = shared_from_this()] {
    Impl& impl = *self->impl_;
    t_current.thread = self;
    runloop_internal::AdoptMailbox(impl.mailbox);
    // Made before the body runs, so that runLoop() is non-null for as long as it runs.
    RunLoop::current();
    if (auto body = std::move(impl.body)) body();
    // Work that arrives from now on is dropped, and its waiting callers are released.
    runloop_internal::EndCurrentThreadLoop();
    impl.finished = true;
    t_current.thread.reset();
  });
}

void Thread::join() {
  if (t_current.thread.get() == this) {
    NSLog("Thread: %@ cannot join itself; ignored", description());
    return;
  }
  std::lock_guard lock(impl_->joinMutex);
  if (impl_->os.joinable()) impl_->os.join();
}

bool Thread::isFinished() const {
  return impl_->finished;
}

void Thread::perform(std::function<void()> task, bool waitUntilDone) {
  if (!task) return;
  if (!waitUntilDone) {
    impl_->mailbox->post(std::move(task));
    return;
  }
  if (Thread::current().get() == this) {
    task();
    return;
  }
  auto completion = std::make_shared<Completion>();
  {
    auto guard = std::make_shared<SignalOnDestruction>(completion);
    impl_->mailbox->post([task = std::move(task), guard = std::move(guard)] { task(); });
  }
  completion->wait();
}

std::string Thread::description() const {
  char text[160];
  std::snprintf(text, sizeof text,
                "<NSThread: %p>{number = %llu, name = ", static_cast<const void*>(this),
                static_cast<unsigned long long>(impl_->number));
  return std::string(text) + (impl_->name.empty() ? "(null)" : impl_->name) + "}";
}

std::uint64_t Thread::number() const {
  return impl_->number;
}

RunLoop* Thread::runLoop() const {
  if (impl_->isMain) return &RunLoop::main();
  return impl_->mailbox->loop();
}

}  // namespace vrk
