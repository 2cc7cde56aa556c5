// The cost of one setIconType:toPath: as the badge cache grows. Every accepted badge writes its
// own entry of the stored cache and synchronizes, so the cost should not grow with the number of
// paths already cached; the 100k case reports its ratio to the 1k case, and every case the cost
// of a bare SQLite upsert into a table of the same size (the floor under any store write).
//
// The controller is a process-wide singleton bound to the emulated root it started in, so each
// cache size runs in a child process of its own (this binary with --cache-child N) in a private
// root. The child fills the cache while emulating 10.9 with the session bus out of reach, where a
// badge only updates the controller's state (the legacy bundle cannot be reached), so that
// filling 100k paths does not cost 100k store writes; it then stores the whole cache once, as the
// store would hold it after the same badges at 10.15, switches back to 10.15, and every
// measured call takes the real path: store, synchronize, post. The child times each call itself, so
// the pipe between the two processes is not part of the time. Run under a session bus:
// dbus-run-session -- controller_bench
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <vector>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "Contract/VRKContract.h"
#include "Platform/Foundation/NSUserDefaults.h"
#include "VRKFinderSync/VRKFinderSync.h"
#include "bench/BenchChild.h"

namespace {

using vrk::bench::BenchChild;
using vrk::bench::PrivateRoot;
using namespace std::chrono_literals;

constexpr char kRoot[] = "/Users/me/Sync";

// Paths as a sync client has them: a few hundred folders of files under the root.
std::string ItemPath(std::int64_t i) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%s/folder-%03lld/document-%07lld.txt", kRoot,
                static_cast<long long>(i % 512), static_cast<long long>(i));
  return buffer;
}

// The median time of one committed upsert of a single row, with a prepared statement, into a
// WAL table of `rows` rows (synchronous=NORMAL), as a store write at its barest.
double SqliteUpsertMicros(const std::filesystem::path& file, std::int64_t rows) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) return 0;
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE t(k TEXT PRIMARY KEY, v TEXT) WITHOUT ROWID; BEGIN;",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* upsert = nullptr;
  sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t VALUES(?1, ?2)", -1, &upsert, nullptr);
  auto put = [&](std::int64_t i, std::int64_t value) {
    const std::string key = ItemPath(i), text = std::to_string(value % 6);
    sqlite3_bind_text(upsert, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(upsert, 2, text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(upsert);
    sqlite3_reset(upsert);
  };
  for (std::int64_t i = 0; i < rows; ++i) put(i, i);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  std::vector<double> samples;
  for (int i = 0; i < 501; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    put((i * 7919) % rows, i);
    samples.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  sqlite3_finalize(upsert);
  sqlite3_close(db);
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

// The child: fills the cache, then answers each line "m" with the nanoseconds one more
// setIconType took, until its input ends.
int CacheChildMain(std::int64_t entries) {
  // The parent started us with VRK_MACOS_VERSION set, so that changing it only swaps one entry
  // of the environment while the library's threads may read it.
  auto controller = vrk::VRKFinderSync::sharedInstance();
  controller->setRootFolderPath(std::string(kRoot));
  // Without a bus address the legacy path fails at once, without a round trip per badge.
  const std::string bus = std::getenv("DBUS_SESSION_BUS_ADDRESS") ?: "";
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::setenv("VRK_MACOS_VERSION", "10.9", 1);
  for (std::int64_t i = 0; i < entries; ++i) controller->setIconType(i % 6, ItemPath(i));
  ::setenv("VRK_MACOS_VERSION", "10.15", 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
  auto store = vrk::NSUserDefaults::initWithSuiteName(vrk::kVRKSharedSuiteName);
  store->setObject(vrk::Object(controller->badgeCache()), vrk::kBadgeCacheKey);
  if (!store->synchronize()) return 1;
  controller->setIconType(2, ItemPath(0));
  const std::string suite(vrk::kVRKSharedSuiteName);
  const auto file = std::filesystem::path(std::getenv("VRK_ROOT")) /
                    "home/Library/Group Containers" / suite / "Library/Preferences" /
                    (suite + ".sqlite");
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(file, ec);
  const double floor = SqliteUpsertMicros(file.parent_path() / "floor.sqlite", entries);
  std::cout << "ready " << controller->badgeCache().size() << ' ' << (ec ? 0 : bytes) << ' '
            << floor << std::endl;

  std::int64_t next = 0;
  std::string line;
  while (std::getline(std::cin, line)) {
    // Updates of paths already cached, so the cache keeps its size.
    const std::string path = ItemPath(next % entries);
    const std::int64_t type = next % 6;
    ++next;
    const auto t0 = std::chrono::steady_clock::now();
    controller->setIconType(type, path);
    const auto t1 = std::chrono::steady_clock::now();
    std::cout << std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count() << std::endl;
  }
  return 0;
}

// One child with its cache filled, kept across the runs Google Benchmark makes of one case.
struct CacheChild {
  explicit CacheChild(std::int64_t n) : entries(n) {
    if (!root.ok()) return;
    child = std::make_unique<BenchChild>(BenchChild::Options{
        .argv = {"/proc/self/exe", "--cache-child", std::to_string(n)},
        .env = vrk::bench::EnvironmentWith(
            {"VRK_ROOT=" + root.path().string(), "VRK_MACOS_VERSION=10.15"}),
    });
    auto line = child->readLine(120s);
    long long cached = 0;
    unsigned long long bytes = 0;
    if (line &&
        std::sscanf(line->c_str(), "ready %lld %llu %lf", &cached, &bytes, &syncFloorUs) == 3) {
      ready = cached == n;
      storeBytes = static_cast<double>(bytes);
    }
  }
  std::int64_t entries;
  PrivateRoot root;
  std::unique_ptr<BenchChild> child;
  bool ready = false;
  double storeBytes = 0;
  double syncFloorUs = 0;
};

CacheChild& ChildFor(std::int64_t entries) {
  static std::unique_ptr<CacheChild> current;
  if (!current || current->entries != entries) {
    current.reset();  // one child at a time: its root goes with it
    current = std::make_unique<CacheChild>(entries);
  }
  return *current;
}

std::map<std::int64_t, double>& MeanSeconds() {
  static std::map<std::int64_t, double> means;
  return means;
}

void BM_SetIconTypeWithCachedPaths(benchmark::State& state) {
  const std::int64_t entries = state.range(0);
  CacheChild& child = ChildFor(entries);
  if (!child.ready) {
    state.SkipWithError("the child could not fill its cache (is there a session bus?)");
    return;
  }
  double total = 0;
  for (auto _ : state) {
    std::optional<std::string> line;
    if (child.child->writeLine("m")) line = child.child->readLine(60s);
    if (!line) {
      state.SkipWithError("the child stopped answering");
      return;
    }
    const double seconds = std::stod(*line) / 1e9;
    total += seconds;
    state.SetIterationTime(seconds);
  }
  const double mean = total / static_cast<double>(state.iterations());
  MeanSeconds()[entries] = mean;
  state.counters["cached_paths"] = static_cast<double>(entries);
  state.counters["store_MB"] = child.storeBytes / 1e6;
  state.counters["us_per_call"] = mean * 1e6;
  state.counters["sqlite_upsert_us"] = child.syncFloorUs;
  auto& means = MeanSeconds();
  if (entries != 1000 && means.count(1000)) {
    const double ratio = mean / means[1000];
    state.counters["ratio_to_1k"] = ratio;
    state.SetLabel(std::to_string(entries / 1000) + "k/1k = " + std::to_string(ratio));
  }
}
BENCHMARK(BM_SetIconTypeWithCachedPaths)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--cache-child") {
    return CacheChildMain(std::stoll(argv[2]));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
