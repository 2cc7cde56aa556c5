// Before 10.10: one badge through the legacy proxy, from the client's call until the legacy
// bundle inside vrk-finder has applied it (the call returns once the bundle answered), against a
// bare D-Bus method call round trip to the same process timed in the same run (a Peer.Ping to
// the bundle's owner). Each case first tops the bundle's badges up to its count (0, 1k, 10k), so
// the cases show whether the cost grows with the badges already applied.
// Run under a session bus: dbus-run-session -- legacy_bench
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "VRKFinderSync/VRKFinderPluginProtocol.h"
#include "VRKFinderSync/VRKFinderSync.h"
#include "bench/BenchChild.h"

namespace {

using vrk::bench::BenchChild;
using vrk::bench::Percentile;
using namespace std::chrono_literals;

constexpr char kRoot[] = "/Users/me/Sync";
constexpr int kSamples = 2000;

std::string ItemPath(std::int64_t i) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%s/folder-%03lld/document-%07lld.txt", kRoot,
                static_cast<long long>(i % 512), static_cast<long long>(i));
  return buffer;
}

// vrk-finder as the Finder of 10.9, with the bundle loaded and the root set.
struct World {
  vrk::bench::PrivateRoot root;
  std::unique_ptr<BenchChild> finder;
  std::shared_ptr<vrk::VRKFinderSync> controller;
  sd_bus* bus = nullptr;
  std::string owner;
  std::int64_t applied = 0;

  bool start() {
    ::setenv("VRK_ROOT", root.path().c_str(), 1);
    ::setenv("VRK_MACOS_VERSION", "10.9", 1);
    BenchChild::Options options;
    options.argv = {(vrk::bench::BuildDir() / "Tools" / "vrk-finder").string()};
    options.env = vrk::bench::EnvironmentWith({});
    finder = std::make_unique<BenchChild>(options);
    if (!finder->writeLine("[\"state\"]") || !finder->readLine(10s)) return false;
    controller = vrk::VRKFinderSync::sharedInstance();
    if (!vrk::VRKFinderSync::inject()) return false;
    controller->setRootFolderPath(std::string(kRoot));
    if (sd_bus_open_user(&bus) < 0) return false;
    sd_bus_message* reply = nullptr;
    const char* unique = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetNameOwner", nullptr, &reply, "s",
                               vrk::kVRKFinderPluginConnectionName);
    if (r >= 0) r = sd_bus_message_read(reply, "s", &unique);
    if (r >= 0) owner = unique;
    sd_bus_message_unref(reply);
    return r >= 0;
  }

  double pingMicros() {
    const auto t0 = std::chrono::steady_clock::now();
    sd_bus_message* reply = nullptr;
    sd_bus_call_method(bus, owner.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping", nullptr,
                       &reply, "");
    sd_bus_message_unref(reply);
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
  }

  double badgeMicros(std::int64_t i) {
    const auto t0 = std::chrono::steady_clock::now();
    controller->setIconType(i % 6, ItemPath(i));
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
  }
};

World* TheWorld() {
  static World* world = [] {
    auto* w = new World();
    if (!w->start()) {
      std::fprintf(stderr, "legacy_bench: could not start vrk-finder with the legacy bundle\n");
      std::exit(1);
    }
    return w;
  }();
  return world;
}

void BM_LegacyBadge(benchmark::State& state) {
  World& world = *TheWorld();
  const std::int64_t already = state.range(0);
  while (world.applied < already) world.badgeMicros(world.applied++);
  std::vector<double> badges, pings;
  for (auto _ : state) {
    badges.clear();
    pings.clear();
    // Interleaved, so that both see the same load.
    for (int i = 0; i < kSamples; ++i) {
      pings.push_back(world.pingMicros());
      // Paths already applied: the bundle's table keeps its size while it is measured.
      badges.push_back(world.badgeMicros(i % std::max<std::int64_t>(already, 1)));
    }
  }
  const double p50 = Percentile(badges, 0.5), b50 = Percentile(pings, 0.5);
  state.counters["badge_p50_us"] = p50;
  state.counters["badge_p99_us"] = Percentile(badges, 0.99);
  state.counters["busping_p50_us"] = b50;
  state.counters["busping_p99_us"] = Percentile(pings, 0.99);
  state.counters["ratio_p50"] = b50 > 0 ? p50 / b50 : 0;
}
BENCHMARK(BM_LegacyBadge)
    ->Arg(0)
    ->Arg(1000)
    ->Arg(10000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
