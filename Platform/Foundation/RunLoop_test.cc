#include "Platform/Foundation/RunLoop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <regex>
#include <thread>
#include <vector>

#include "Platform/Foundation/NSLog.h"
#include "tests/support/RunLoopUntil.h"

namespace vrk {
namespace {

using namespace std::chrono_literals;
using Clock = RunLoop::Clock;

// Leaves no stop request or queued work behind for the next test on the main thread.
class MainLoopTest : public ::testing::Test {
 protected:
  void TearDown() override {
    while (RunLoop::main().runOnce(Clock::now())) {
    }
  }
};

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
  ~Pipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void put() { ASSERT_EQ(::write(fds[1], "x", 1), 1); }
  void take() {
    char c;
    while (::read(fds[0], &c, 1) == 1) {
    }
  }
};

using RunOnceTest = MainLoopTest;

TEST_F(RunOnceTest, ReturnsAfterATaskFromAnotherThread) {
  std::atomic<bool> ran{false};
  std::thread poster([&] {
    std::this_thread::sleep_for(20ms);
    RunLoop::main().perform([&] { ran = true; });
  });
  EXPECT_TRUE(RunLoop::current().runOnce());  // no limit: only the task can end it
  EXPECT_TRUE(ran);
  poster.join();
}

TEST_F(RunOnceTest, TimerFiresOnceAndNotEarlyUnlessCancelled) {
  int fired = 0;
  const auto start = Clock::now();
  auto timer = RunLoop::current().addTimer(30ms, [&] { ++fired; });
  ASSERT_TRUE(timer);
  EXPECT_TRUE(RunLoop::current().runOnce(start + 5s));
  EXPECT_EQ(fired, 1);
  EXPECT_GE(Clock::now() - start, 30ms);
  EXPECT_FALSE(RunLoop::current().runOnce(Clock::now() + 50ms));
  EXPECT_EQ(fired, 1);

  auto cancelled = RunLoop::current().addTimer(10ms, [&] { ++fired; });
  cancelled.reset();
  EXPECT_FALSE(RunLoop::current().runOnce(Clock::now() + 50ms));
  EXPECT_EQ(fired, 1);
}

TEST_F(RunOnceTest, ReadSourceFiresWhileReadableAndStopsWhenReset) {
  Pipe pipe;
  int calls = 0;
  RunLoopSource source = RunLoop::current().addReadSource(pipe.fds[0], [&] {
    ++calls;
    pipe.take();
  });
  ASSERT_TRUE(source);
  std::thread writer([&] {
    std::this_thread::sleep_for(10ms);
    pipe.put();
  });
  EXPECT_TRUE(RunLoop::current().runOnce(Clock::now() + 5s));
  writer.join();
  EXPECT_EQ(calls, 1);

  source.reset();
  pipe.put();
  EXPECT_FALSE(RunLoop::current().runOnce(Clock::now() + 30ms));
  EXPECT_EQ(calls, 1);
}

TEST_F(RunOnceTest, SourceMayDestroyItselfFromItsCallback) {
  Pipe pipe;
  RunLoopSource source;
  std::string captured = "kept alive";
  std::string seen;
  source = RunLoop::current().addReadSource(pipe.fds[0], [&, captured] {
    source.reset();
    seen = captured;  // the callback's own state must survive its source
  });
  pipe.put();
  EXPECT_TRUE(RunLoop::current().runOnce(Clock::now() + 5s));
  EXPECT_EQ(seen, "kept alive");
  EXPECT_FALSE(source);
}

TEST_F(RunOnceTest, StopFromAnotherThreadEndsAnUnlimitedRun) {
  std::thread stopper([] {
    std::this_thread::sleep_for(20ms);
    RunLoop::main().stop();
  });
  EXPECT_FALSE(RunLoop::current().runOnce());
  stopper.join();
}

TEST_F(RunOnceTest, StopBeforeRunSkipsOnlyTheNextRun) {
  RunLoop::current().stop();
  RunLoop::current().stop();  // stops do not accumulate
  const auto start = Clock::now();
  EXPECT_FALSE(RunLoop::current().runOnce(start + 5s));
  EXPECT_LT(Clock::now() - start, 4s);
  // The stop was used up: this run waits for its limit.
  const auto second = Clock::now();
  EXPECT_FALSE(RunLoop::current().runOnce(second + 30ms));
  EXPECT_GE(Clock::now() - second, 30ms);
}

TEST_F(RunOnceTest, LimitEndsARunWithNothingToDoButAPastLimitStillServesReadyWork) {
  const auto start = Clock::now();
  EXPECT_FALSE(RunLoop::current().runOnce(start + 30ms));
  EXPECT_GE(Clock::now() - start, 30ms);

  bool ran = false;
  RunLoop::current().perform([&] { ran = true; });
  EXPECT_TRUE(RunLoop::current().runOnce(Clock::now() - 1s));
  EXPECT_TRUE(ran);
}

TEST_F(RunOnceTest, RunUntilStopsOnStopFromATask) {
  int ran = 0;
  RunLoop::current().perform([&] { ++ran; });
  RunLoop::current().perform([&] {
    ++ran;
    RunLoop::current().stop();
  });
  const auto start = Clock::now();
  RunLoop::current().runUntil(start + 5s);
  EXPECT_EQ(ran, 2);
  EXPECT_LT(Clock::now() - start, 4s);
}

TEST_F(RunOnceTest, MisuseIsRefusedWithALogLine) {
  LogCapture log;
  // A run nested in a callback of the same loop cannot be served by sd-event.
  bool nested = true;
  RunLoop::current().perform([&] { nested = RunLoop::current().runOnce(Clock::now()); });
  EXPECT_TRUE(RunLoop::current().runOnce(Clock::now() + 5s));
  EXPECT_FALSE(nested);
  EXPECT_EQ(log.countContaining("inside a callback of the same loop"), 1u);

  std::thread other([] { EXPECT_FALSE(RunLoop::main().runOnce(Clock::now() + 1s)); });
  other.join();
  EXPECT_EQ(log.countContaining("does not own the loop"), 1u);
}

TEST(RunLoopPerform, KeepsEachThreadsOrderUnderContention) {
  constexpr int kThreads = 6;
  constexpr int kTasks = 2000;
  auto loopThread = Thread::create([] { RunLoop::current().run(); }, "order");
  loopThread->start();
  std::vector<std::vector<int>> seen(kThreads);  // touched only on the loop's thread
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kTasks; ++i)
        loopThread->perform([&seen, t, i] { seen[t].push_back(i); }, false);
    });
  }
  for (auto& p : posters) p.join();
  loopThread->perform([] { RunLoop::current().stop(); }, false);
  loopThread->join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kTasks)) << "thread " << t;
    for (int i = 0; i < kTasks; ++i) ASSERT_EQ(seen[t][i], i) << "thread " << t;
  }
}

TEST(ThreadTest, PerformWaitsForTheTaskOnTheTargetThread) {
  auto worker = Thread::create([] { RunLoop::current().run(); }, "worker");
  std::atomic<bool> early{false};
  worker->perform([&] { early = true; }, false);  // queued before start, runs once it runs
  worker->start();

  std::shared_ptr<Thread> ranOn;
  bool loopSet = false;
  worker->perform(
      [&] {
        ranOn = Thread::current();
        loopSet = worker->runLoop() == &RunLoop::current();
      },
      true);
  EXPECT_EQ(ranOn, worker);  // written by the task, read here: the wait ordered them
  EXPECT_TRUE(loopSet);
  EXPECT_TRUE(early);

  // Waiting on itself runs the task at once instead of deadlocking.
  int order = 0;
  worker->perform(
      [&] {
        worker->perform([&] { order = order * 10 + 1; }, true);
        order = order * 10 + 2;
      },
      true);
  EXPECT_EQ(order, 12);

  worker->perform([] { RunLoop::current().stop(); }, false);
  worker->join();
  EXPECT_TRUE(worker->isFinished());
  EXPECT_EQ(worker->runLoop(), nullptr);
}

TEST(ThreadTest, WorkForAFinishedThreadIsDroppedAndReleasesTheWaiter) {
  std::promise<void> release;
  auto gate = release.get_future().share();
  // This thread never runs its loop: work queued for it can only be dropped when it ends.
  auto worker = Thread::create([gate] { gate.wait(); });
  worker->start();
  std::atomic<int> ran{0};
  std::thread ender([&] {
    std::this_thread::sleep_for(20ms);
    release.set_value();
  });
  worker->perform([&] { ++ran; }, true);  // released by the thread's end
  ender.join();
  worker->join();
  worker->perform([&] { ++ran; }, true);  // already finished: returns at once
  worker->perform([&] { ++ran; }, false);
  EXPECT_EQ(ran, 0);
}

TEST(ThreadTest, DescriptionsAndNumbers) {
  const std::regex form(R"(<NSThread: 0x[0-9a-f]+>\{number = (\d+), name = (.*)\})");
  std::smatch m;
  const std::string mainText = Thread::mainThread()->description();
  ASSERT_TRUE(std::regex_match(mainText, m, form)) << mainText;
  EXPECT_EQ(m[1], "1");
  EXPECT_EQ(m[2], "main");
  EXPECT_TRUE(Thread::isMainThread());
  EXPECT_EQ(Thread::current(), Thread::mainThread());
  EXPECT_EQ(Thread::mainThread()->runLoop(), &RunLoop::main());

  auto named = Thread::create([] {}, "listener");
  auto unnamed = Thread::create([] {});
  EXPECT_GT(named->number(), 1u);
  EXPECT_NE(named->number(), unnamed->number());
  EXPECT_EQ(named->runLoop(), nullptr);  // not started yet
  const std::string text = unnamed->description();
  ASSERT_TRUE(std::regex_match(text, m, form)) << text;
  EXPECT_EQ(m[2], "(null)");

  // A thread not made here gets an object of its own that is stable for its life.
  std::shared_ptr<Thread> first, second;
  bool onMain = true;
  std::thread plain([&] {
    first = Thread::current();
    second = Thread::current();
    onMain = Thread::isMainThread();
  });
  plain.join();
  EXPECT_EQ(first, second);
  EXPECT_FALSE(onMain);
  EXPECT_NE(first->number(), 1u);
  EXPECT_TRUE(first->isFinished());
}

// The shape of a listening thread: run once at a time while a flag says so, stopped from another
// thread by clearing the flag and performing a stop on it.
TEST(ThreadTest, FlagAndStopEndAListenerLoop) {
  for (bool stopBeforeFirstTest : {false, true}) {
    std::atomic<int> listening{1};
    std::atomic<int> passes{0};
    std::promise<void> ready;
    auto gate = ready.get_future().share();
    auto listener = Thread::create([&, gate] {
      gate.wait();
      while (listening.load() != 0) {
        RunLoop::current().runOnce();
        ++passes;
      }
    });
    listener->start();
    if (stopBeforeFirstTest) {
      listening.fetch_sub(1);
      listener->perform([] { RunLoop::current().stop(); }, false);
      ready.set_value();
    } else {
      ready.set_value();
      std::this_thread::sleep_for(20ms);
      listening.fetch_sub(1);
      listener->perform([] { RunLoop::current().stop(); }, false);
    }
    listener->join();
    EXPECT_EQ(passes, stopBeforeFirstTest ? 0 : 1);
  }
}

class DispatchTest : public MainLoopTest {
 protected:
  void TearDown() override {
    dispatch::setTimeScaleForTesting(1.0);
    MainLoopTest::TearDown();
  }
};

TEST_F(DispatchTest, AfterRunsInDeadlineOrderAndEqualDeadlinesInPostingOrder) {
  std::vector<int> order;
  const dispatch::Time base = dispatch::time(dispatch::TIME_NOW, 0);
  dispatch::after_main(base + 40'000'000, [&] { order.push_back(3); });
  dispatch::after_main(base + 20'000'000, [&] { order.push_back(1); });
  dispatch::after_main(base + 20'000'000, [&] { order.push_back(2); });
  dispatch::after_main(base - 1, [&] { order.push_back(0); });  // already due
  EXPECT_TRUE(RunLoopUntil([&] { return order.size() == 4; }));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(DispatchTest, AfterDoesNotRunEarly) {
  bool ran = false;
  const auto start = Clock::now();
  dispatch::after_main(dispatch::time(dispatch::TIME_NOW, 60'000'000), [&] { ran = true; });
  EXPECT_FALSE(RunLoop::current().runOnce(start + 20ms));
  EXPECT_FALSE(ran);
  EXPECT_TRUE(RunLoopUntil([&] { return ran; }));
  EXPECT_GE(Clock::now() - start, 60ms);
}

TEST_F(DispatchTest, TimeScaleShrinksDelays) {
  dispatch::setTimeScaleForTesting(0.001);
  const dispatch::Time now = dispatch::time(dispatch::TIME_NOW, 0);
  const dispatch::Time later = dispatch::time(dispatch::TIME_NOW, 2'000'000'000);
  EXPECT_GE(later - now, 2'000'000);
  EXPECT_LT(later - now, 1'000'000'000);
  // A re-arming 2-second poll, as the extension runs it, ticks three times well within a second.
  int polls = 0;
  std::function<void()> poll = [&] {
    if (++polls < 3) dispatch::after_main(dispatch::time(dispatch::TIME_NOW, 2'000'000'000), poll);
  };
  dispatch::after_main(dispatch::time(dispatch::TIME_NOW, 2'000'000'000), poll);
  EXPECT_TRUE(RunLoopUntil([&] { return polls == 3; }, 1s));

  dispatch::setTimeScaleForTesting(1.0);
  EXPECT_EQ(dispatch::time(1000, 5), 1005);  // an absolute base is kept as given
}

TEST_F(DispatchTest, AsyncMainRunsOnTheMainThreadInOrder) {
  std::vector<int> order;
  std::atomic<bool> allOnMain{true};
  std::thread other([&] {
    for (int i = 0; i < 100; ++i) {
      dispatch::async_main([&, i] {
        if (!Thread::isMainThread() || !RunLoop::main().isCurrent()) allOnMain = false;
        order.push_back(i);
      });
    }
  });
  other.join();
  EXPECT_TRUE(RunLoopUntil([&] { return order.size() == 100; }));
  EXPECT_TRUE(allOnMain);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(order[i], i);
  EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
}

}  // namespace
}  // namespace vrk
