// Storing the badge cache (item path -> badge type): one entry as the library does on every
// accepted badge, and the whole dictionary as the first version did, against the same bytes
// written with write-fsync-rename and no store around them. Each size runs in a VRK_ROOT of its
// own under /tmp.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Platform/Foundation/NSUserDefaults.h"

namespace {

namespace fs = std::filesystem;

class PrivateRoot {
 public:
  PrivateRoot() {
    char dir[] = "/tmp/vrk.XXXXXX";
    if (::mkdtemp(dir)) path_ = dir;
    ::setenv("VRK_ROOT", dir, 1);
  }
  ~PrivateRoot() {
    std::error_code ec;
    fs::remove_all(path_, ec);
    ::unsetenv("VRK_ROOT");
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

vrk::ObjectDictionary BadgeCache(std::int64_t entries, std::int64_t generation) {
  vrk::ObjectDictionary cache;
  for (std::int64_t i = 0; i < entries; ++i) {
    cache.emplace("/home/user/Sync/Projects/folder" + std::to_string(i % 97) + "/document " +
                      std::to_string(i) + ".txt",
                  vrk::Object::numberWithInteger((i + generation) % 6));
  }
  return cache;
}

void BM_SetObjectAndSynchronize(benchmark::State& state) {
  PrivateRoot root;
  auto defaults = vrk::NSUserDefaults::initWithSuiteName("group.com.mirelta.sync");
  // Two caches that differ in every entry, so each iteration really changes the file.
  const vrk::Object caches[2] = {vrk::Object(BadgeCache(state.range(0), 0)),
                                 vrk::Object(BadgeCache(state.range(0), 1))};
  std::size_t bytes = 0;
  std::int64_t n = 0;
  for (auto _ : state) {
    defaults->setObject(caches[n++ % 2], "kBadgeCacheKey");
    if (!defaults->synchronize()) state.SkipWithError("synchronize failed");
  }
  bytes = fs::file_size(defaults->filePath());
  state.counters["file_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_SetObjectAndSynchronize)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond);

// One badge as the library writes it: one entry of the stored cache, then synchronize. Its cost
// should not depend on the cache's size.
void BM_SetObjectInDictionaryAndSynchronize(benchmark::State& state) {
  PrivateRoot root;
  auto defaults = vrk::NSUserDefaults::initWithSuiteName("group.com.mirelta.sync");
  const vrk::ObjectDictionary cache = BadgeCache(state.range(0), 0);
  defaults->setObject(vrk::Object(cache), "kBadgeCacheKey");
  if (!defaults->synchronize()) state.SkipWithError("synchronize failed");
  std::vector<std::string> paths;
  for (const auto& [path, type] : cache) paths.push_back(path);
  std::size_t n = 0;
  for (auto _ : state) {
    defaults->setObjectInDictionary(
        vrk::Object::numberWithInteger(static_cast<std::int64_t>(n % 6)),
        paths[(n * 7919) % paths.size()], "kBadgeCacheKey");
    ++n;
    if (!defaults->synchronize()) state.SkipWithError("synchronize failed");
  }
  state.counters["entries"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_SetObjectInDictionaryAndSynchronize)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMicrosecond);

void BM_BaselineWriteFsyncRename(benchmark::State& state) {
  PrivateRoot root;
  const std::string text[2] = {
      vrk::SerializeSettings({{"kBadgeCacheKey", vrk::Object(BadgeCache(state.range(0), 0))}}),
      vrk::SerializeSettings({{"kBadgeCacheKey", vrk::Object(BadgeCache(state.range(0), 1))}})};
  const fs::path target = root.path() / "baseline.json";
  const fs::path temp = root.path() / ".baseline.json.tmp";
  std::int64_t n = 0;
  for (auto _ : state) {
    const std::string& bytes = text[n++ % 2];
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        ::fsync(fd) != 0) {
      state.SkipWithError("write failed");
    }
    ::close(fd);
    std::rename(temp.c_str(), target.c_str());
  }
}
BENCHMARK(BM_BaselineWriteFsyncRename)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond);

// What a reader pays when another process has rewritten the file: a full parse.
void BM_ParseSettingsFile(benchmark::State& state) {
  const std::string text =
      vrk::SerializeSettings({{"kBadgeCacheKey", vrk::Object(BadgeCache(state.range(0), 0))}});
  for (auto _ : state) {
    auto parsed = vrk::ParseSettingsFile(std::as_bytes(std::span(text)), "bench");
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseSettingsFile)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond);

// The common read: the file has not changed, so one stat and a lookup.
void BM_ObjectForKeyUnchanged(benchmark::State& state) {
  PrivateRoot root;
  auto defaults = vrk::NSUserDefaults::initWithSuiteName("group.com.mirelta.sync");
  defaults->setObject(vrk::Object("/home/user/Sync"), "kRootFolderPathKey");
  defaults->setObject(vrk::Object(BadgeCache(100'000, 0)), "kBadgeCacheKey");
  if (!defaults->synchronize()) state.SkipWithError("synchronize failed");
  for (auto _ : state) {
    benchmark::DoNotOptimize(defaults->objectForKey("kRootFolderPathKey"));
  }
}
BENCHMARK(BM_ObjectForKeyUnchanged);

}  // namespace

BENCHMARK_MAIN();
