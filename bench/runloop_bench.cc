// What a hand-off between threads and a local notification cost, each against a plain baseline
// measured in the same run (a mutex-and-condition-variable round trip, a direct call).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "Platform/Foundation/NSNotificationCenter.h"
#include "Platform/Foundation/RunLoop.h"

namespace vrk {
namespace {

// Baseline: the least a synchronous hand-off to another thread can cost.
void BM_CondVarRoundTrip(benchmark::State& state) {
  std::mutex m;
  std::condition_variable cv;
  int request = 0, served = 0;
  bool quit = false;
  std::thread server([&] {
    std::unique_lock lock(m);
    for (;;) {
      cv.wait(lock, [&] { return quit || request != served; });
      if (quit) return;
      served = request;
      cv.notify_all();
    }
  });
  for (auto _ : state) {
    std::unique_lock lock(m);
    ++request;
    cv.notify_all();
    cv.wait(lock, [&] { return served == request; });
  }
  {
    std::lock_guard lock(m);
    quit = true;
  }
  cv.notify_all();
  server.join();
}
BENCHMARK(BM_CondVarRoundTrip)->UseRealTime();

// performSelector:onThread:waitUntilDone:YES to a thread that serves its run loop.
void BM_ThreadPerformWait(benchmark::State& state) {
  auto worker = Thread::create([] { RunLoop::current().run(); }, "bench");
  worker->start();
  int counter = 0;
  for (auto _ : state) worker->perform([&] { ++counter; }, true);
  benchmark::DoNotOptimize(counter);
  worker->perform([] { RunLoop::current().stop(); }, false);
  worker->join();
}
BENCHMARK(BM_ThreadPerformWait)->UseRealTime();

// Many posts without waiting, drained by the target: the queue's throughput.
void BM_ThreadPerformBatch(benchmark::State& state) {
  auto worker = Thread::create([] { RunLoop::current().run(); }, "bench");
  worker->start();
  int counter = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) worker->perform([&] { ++counter; }, false);
    worker->perform([] {}, true);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  worker->perform([] { RunLoop::current().stop(); }, false);
  worker->join();
}
BENCHMARK(BM_ThreadPerformBatch)->UseRealTime();

void BM_DirectCalls(benchmark::State& state) {
  std::vector<std::function<void(const NSNotification&)>> observers(
      static_cast<std::size_t>(state.range(0)),
      [](const NSNotification& n) { benchmark::DoNotOptimize(n.name.size()); });
  for (auto _ : state) {
    NSNotification n{"N", Object("x"), {}};
    for (auto& o : observers) o(n);
  }
}
BENCHMARK(BM_DirectCalls)->Arg(1)->Arg(10)->Arg(100);

// postNotificationName with `range` matching observers among as many others.
void BM_PostNotification(benchmark::State& state) {
  NSNotificationCenter center;
  int token;
  for (int i = 0; i < state.range(0); ++i) {
    center.addObserver(
        &token, [](const NSNotification& n) { benchmark::DoNotOptimize(n.name.size()); }, "N");
    center.addObserver(
        &token, [](const NSNotification&) {}, "Other");
  }
  for (auto _ : state) center.postNotificationName("N", Object("x"));
}
BENCHMARK(BM_PostNotification)->Arg(1)->Arg(10)->Arg(100);

}  // namespace
}  // namespace vrk

BENCHMARK_MAIN();
