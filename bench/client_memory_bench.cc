// The sync client's resident memory once the library holds N badges: a Python client loads the
// library, sets a root and badges N paths under it with setIconType, then reports its VmRSS
// and VmHWM from /proc. Two baselines run in the same case, each a fresh python3:
// - import_only: imports the module and sets the root, nothing more (Python and the library
//   at rest);
// - python_dict: holds a dict of the same N path -> int mapping, the least a client that keeps
//   its own badges would hold.
// The client's own share is reported as client - import_only. Sizes are in MB (10^6 bytes).
// Run under a session bus: dbus-run-session -- client_memory_bench
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <sstream>
#include <string>

#include "bench/BenchChild.h"

namespace {

using vrk::bench::BenchChild;
using vrk::bench::PrivateRoot;
using namespace std::chrono_literals;

// Every child builds the same paths (a root, folders of 100 files) and answers with one line:
// "<VmRSS kB> <VmHWM kB> <RssAnon kB> <RssFile kB>" once its work is done, then waits for its input
// to close so that nothing it holds is freed before it is measured.
constexpr char kPrelude[] = R"py(
import sys

# A generator: a list of every path would stay in the client's peak.
def paths(root, n):
    return (f"{root}/Projects/folder{i // 100:04d}/document-{i:06d}.txt" for i in range(n))

def report():
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            fields[name] = value.split()[0] if value.split() else "0"
    print(fields["VmRSS"], fields["VmHWM"], fields["RssAnon"], fields["RssFile"], flush=True)
    sys.stdin.read()

mode, root, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
)py";

constexpr char kImportOnly[] = R"py(
import vrkfindersync as v
v.VRKFinderSync.setRootFolderPath(root)
report()
)py";

constexpr char kPythonDict[] = R"py(
cache = {p: i % 8 for i, p in enumerate(paths(root, n))}
report()
)py";

constexpr char kClient[] = R"py(
import vrkfindersync as v
sync = v.VRKFinderSync
sync.setRootFolderPath(root)
for i, p in enumerate(paths(root, n)):
    sync.setIconType(i % 8, p)
del p
report()
)py";

struct Memory {
  double rssMb = 0, hwmMb = 0;
  // The parts of the resident set: the heap and other private memory, and pages of mapped
  // files (the libraries, and the settings database where SQLite maps it).
  double anonMb = 0, fileMb = 0;
};

// Runs one child with `body` and returns what it reported; false when it reported nothing.
bool Measure(const PrivateRoot& root, const char* body, std::int64_t n, Memory& out) {
  const auto build = vrk::bench::BuildDir();
  const std::string script = std::string(kPrelude) + body;
  const std::string syncRoot = (root.path() / "home/Sync").string();
  BenchChild child(BenchChild::Options{
      .argv = {"/usr/bin/python3", "-c", script, "run", syncRoot, std::to_string(n)},
      .env = vrk::bench::EnvironmentWith({"VRK_ROOT=" + root.path().string(),
                                          "VRK_MAIN_BUNDLE=" + (build / "Sync.app").string(),
                                          "PYTHONPATH=" + (build / "Python").string()}),
  });
  auto line = child.readLine(300s);
  if (!line) return false;
  std::istringstream fields(*line);
  double rssKb = 0, hwmKb = 0, anonKb = 0, fileKb = 0;
  if (!(fields >> rssKb >> hwmKb >> anonKb >> fileKb)) return false;
  out.rssMb = rssKb * 1024 / 1e6;
  out.hwmMb = hwmKb * 1024 / 1e6;
  out.anonMb = anonKb * 1024 / 1e6;
  out.fileMb = fileKb * 1024 / 1e6;
  return true;
}

void BM_ClientResidentMemory(benchmark::State& state) {
  const std::int64_t n = state.range(0);
  Memory bare, dict, client;
  for (auto _ : state) {
    // A fresh root for each child: the client's store must not start with another's cache.
    PrivateRoot bareRoot, dictRoot, clientRoot;
    if (!bareRoot.ok() || !dictRoot.ok() || !clientRoot.ok()) {
      state.SkipWithError("no private root");
      return;
    }
    if (!Measure(bareRoot, kImportOnly, n, bare) || !Measure(dictRoot, kPythonDict, n, dict) ||
        !Measure(clientRoot, kClient, n, client)) {
      state.SkipWithError("a Python child reported nothing (is the build current?)");
      return;
    }
  }
  state.counters["client_rss_mb"] = client.rssMb;
  state.counters["client_hwm_mb"] = client.hwmMb;
  state.counters["client_anon_mb"] = client.anonMb;
  state.counters["client_file_mb"] = client.fileMb;
  state.counters["import_only_file_mb"] = bare.fileMb;
  state.counters["import_only_rss_mb"] = bare.rssMb;
  state.counters["import_only_hwm_mb"] = bare.hwmMb;
  state.counters["python_dict_rss_mb"] = dict.rssMb;
  state.counters["python_dict_hwm_mb"] = dict.hwmMb;
  state.counters["client_over_import_mb"] = client.rssMb - bare.rssMb;
}
// One iteration is three processes and N badges; repetitions give the spread.
BENCHMARK(BM_ClientResidentMemory)
    ->Arg(100000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  vrk::bench::DiscardStandardError();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
