// Post-to-observer latency of the distributed notification center between two processes.
// A child process (this binary with --echo) observes on its main run loop and posts every ping
// back; the time per iteration is one round trip, and "one_way_us" is half of it. The baseline
// is the same round trip with bare sd-bus signals between the same two processes, without the
// center's threads and value codec; "ratio" is the center's time over the baseline's.
// Run under a session bus: dbus-run-session -- distributed_bench
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Platform/Foundation/NSDistributedNotificationCenter.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/SdBus.h"

extern char** environ;

namespace {

using vrk::NSDistributedNotificationCenter;
using vrk::NSNotification;
using vrk::Object;
using vrk::ObjectDictionary;
using Behavior = vrk::NSNotificationSuspensionBehavior;

constexpr char kPing[] = "vrk.bench.ping";
constexpr char kPong[] = "vrk.bench.pong";
constexpr char kReady[] = "vrk.bench.ready";
constexpr char kQuit[] = "vrk.bench.quit";
constexpr char kRawPath[] = "/org/vrk/Bench";
constexpr char kRawInterface[] = "org.vrk.Bench";

NSDistributedNotificationCenter& Center() {
  return NSDistributedNotificationCenter::defaultCenter();
}

// The badge change the library posts most often, and a whole badge cache of `entries` paths.
Object Payload(int entries) {
  ObjectDictionary info{{"type", Object::numberWithInteger(2)},
                        {"path", Object("/home/user/Sync/folder/file.txt")}};
  ObjectDictionary cache;
  for (int i = 0; i < entries; ++i) {
    cache.emplace("/home/user/Sync/folder/file" + std::to_string(i),
                  Object::numberWithInteger(i % 6));
  }
  if (entries > 0) info.emplace("cache", Object(std::move(cache)));
  return Object(std::move(info));
}

// The echoing child, started once for the whole run.
class Echo {
 public:
  static Echo& instance() {
    static Echo echo;
    return echo;
  }
  bool ok() const { return ready_; }
  std::size_t pongs() const { return pongs_; }

  // One round trip through the center; false when no answer came within 5 s.
  bool roundTrip(const Object& userInfo) {
    const std::size_t before = pongs_;
    Center().postNotificationName(kPing, Object(), userInfo, true);
    const auto limit = vrk::RunLoop::Clock::now() + std::chrono::seconds(5);
    while (pongs_ == before) {
      if (vrk::RunLoop::Clock::now() >= limit) return false;
      vrk::RunLoop::current().runOnce(limit);
    }
    return true;
  }

  // One round trip of bare signals on a connection of our own.
  bool rawRoundTrip() {
    rawPong_ = false;
    if (sd_bus_emit_signal(raw_.get(), kRawPath, kRawInterface, "Ping", "s", "x") < 0) return false;
    while (!rawPong_) {
      const int r = sd_bus_process(raw_.get(), nullptr);
      if (r < 0) return false;
      if (r == 0 && sd_bus_wait(raw_.get(), 5'000'000) <= 0) return false;
    }
    return true;
  }

  ~Echo() {
    if (child_ > 0) {
      Center().postNotificationName(kQuit, Object(), Object(), true);
      ::waitpid(child_, nullptr, 0);
    }
  }

 private:
  Echo() {
    Center().addObserver(
        &token_,
        [this](const NSNotification& n) {
          if (n.name == kPong) ++pongs_;
          if (n.name == kReady) ready_ = true;
        },
        std::nullopt, Object(), Behavior::DeliverImmediately);
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) return;
    raw_.reset(raw);
    sd_bus_match_signal(
        raw_.get(), nullptr, nullptr, kRawPath, kRawInterface, "Pong",
        [](sd_bus_message*, void* self, sd_bus_error*) {
          static_cast<Echo*>(self)->rawPong_ = true;
          return 0;
        },
        this);
    std::string exe = "/proc/self/exe";
    std::string flag = "--echo";
    char* argv[] = {exe.data(), flag.data(), nullptr};
    if (posix_spawn(&child_, exe.c_str(), nullptr, nullptr, argv, environ) != 0) return;
    const auto limit = vrk::RunLoop::Clock::now() + std::chrono::seconds(10);
    while (!ready_ && vrk::RunLoop::Clock::now() < limit) vrk::RunLoop::current().runOnce(limit);
  }

  int token_ = 0;
  bool ready_ = false;
  std::size_t pongs_ = 0;
  bool rawPong_ = false;
  pid_t child_ = -1;
  vrk::dbus::BusPtr raw_;
};

void BM_PostToObserverAcrossProcesses(benchmark::State& state) {
  Echo& echo = Echo::instance();
  if (!echo.ok()) {
    state.SkipWithError("no echo process (is there a session bus?)");
    return;
  }
  // The baseline, measured in the same run against the same child.
  constexpr int kBaselineRounds = 300;
  for (int i = 0; i < 20; ++i) echo.rawRoundTrip();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kBaselineRounds; ++i) {
    if (!echo.rawRoundTrip()) {
      state.SkipWithError("the bare sd-bus round trip failed");
      return;
    }
  }
  const double rawRoundTrip =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
      kBaselineRounds;

  const Object userInfo = Payload(static_cast<int>(state.range(0)));
  for (int i = 0; i < 20; ++i) echo.roundTrip(userInfo);
  const auto loopStart = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!echo.roundTrip(userInfo)) {
      state.SkipWithError("no answer from the echo process");
      return;
    }
  }
  const double roundTrip =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - loopStart).count() /
      static_cast<double>(state.iterations());
  state.counters["one_way_us"] = roundTrip / 2 * 1e6;
  state.counters["raw_one_way_us"] = rawRoundTrip / 2 * 1e6;
  state.counters["ratio"] = roundTrip / rawRoundTrip;
}
BENCHMARK(BM_PostToObserverAcrossProcesses)->Arg(0)->Arg(1000)->UseRealTime();

int EchoMain() {
  auto& center = Center();
  bool quit = false;
  int token = 0;
  center.addObserver(
      &token,
      [&](const NSNotification& n) {
        if (n.name == kPing) center.postNotificationName(kPong, n.object, n.userInfo, true);
        if (n.name == kQuit) quit = true;
      },
      std::nullopt, Object(), Behavior::DeliverImmediately);
  sd_bus* raw = nullptr;
  if (sd_bus_open_user(&raw) < 0) return 1;
  vrk::dbus::BusPtr bus(raw);
  sd_bus_match_signal(
      bus.get(), nullptr, nullptr, kRawPath, kRawInterface, "Ping",
      [](sd_bus_message*, void* b, sd_bus_error*) {
        auto* bus = static_cast<sd_bus*>(b);
        sd_bus_emit_signal(bus, kRawPath, kRawInterface, "Pong", "s", "x");
        sd_bus_flush(bus);
        return 0;
      },
      bus.get());
  sd_bus_attach_event(bus.get(), vrk::RunLoop::current().event(), 0);
  center.postNotificationName(kReady, Object(), Object(), true);
  while (!quit) vrk::RunLoop::current().runOnce();
  sd_bus_detach_event(bus.get());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--echo") return EchoMain();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
