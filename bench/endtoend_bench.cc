// The badge path end to end, with every process real: a Python sync client with the library,
// the file manager host vrk-finder with the extension, a private session bus and emulated root.
//
// - FolderShownUntilAllBadged/N: the host shows a folder of N files; each badge request goes
//   extension -> library -> the client's observer, which answers with setIconType; the time
//   runs until the host holds a badge for every item.
// - BadgesFromClientCall/N: the client calls setIconType for N paths in a loop; the time runs
//   until the host holds all N badges.
//
// Each accepted setIconType writes one entry of the stored badge cache, so both should grow
// linearly with N; the default run takes 1k and 10k items, VRK_BENCH_SIZES another
// list. VRK_BENCH_LOG_DIR keeps the client's and the host's logs, VRK_BENCH_TRACE prints the
// progress of the waits.
// Each case first measures the rate of plain D-Bus signals between two processes on the same
// bus, the floor under any badge that travels as a distributed notification, and reports its
// own rate against it.
// Run under a session bus: dbus-run-session -- endtoend_bench
#include <systemd/sd-bus.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/BenchChild.h"

namespace {

using nlohmann::json;
using vrk::bench::BenchChild;
using vrk::bench::PrivateRoot;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kSignalPath[] = "/org/vrk/BenchSignals";
constexpr char kSignalInterface[] = "org.vrk.BenchSignals";
constexpr int kBaselineSignals = 20000;

// The sync client. It answers each badge request (observation type 3) with the badge set by
// ["answer", TYPE], and replies to every command with one JSON line.
constexpr char kClientScript[] = R"py(
import json, sys, threading, time
import vrkfindersync as v

sync = v.VRKFinderSync
center = v.NSNotificationCenter.defaultCenter()
answer = None
requests = 0
# Facade calls must not overlap, and the listener thread makes them from the observer too.
facade = threading.Lock()

def reply(**fields):
    print(json.dumps(fields), flush=True)

def on_observation(n):
    global requests
    info = n.userInfo or {}
    if info.get("type") != 3:
        return
    requests += 1
    if answer is not None:
        with facade:
            sync.setIconType(answer, info["path"])

center.addObserver(on_observation, "kVRKDirectoryObservationNotification")
sync.sharedInstance()
reply(event="ready")
for line in sys.stdin:
    words = json.loads(line)
    if words[0] == "root":
        with facade:
            sync.setRootFolderPath(words[1])
        reply(ok=True)
    elif words[0] == "answer":
        answer = words[1]
        reply(ok=True)
    elif words[0] == "set-many":
        badge, prefix, count = words[1:]
        start = time.perf_counter()
        for i in range(count):
            with facade:
                sync.setIconType(badge, "%s%07d" % (prefix, i))
        reply(seconds=time.perf_counter() - start)
    elif words[0] == "requests":
        reply(requests=requests)
)py";

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// ---- The baseline: plain signals from this process to a sink process on the same bus.

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;

// The sink (this binary with --signal-sink N): prints "ready" once it listens and "done" once
// N signals have arrived.
int SignalSinkMain(long expected) {
  sd_bus* raw = nullptr;
  if (sd_bus_open_user(&raw) < 0) return 1;
  Bus bus(raw);
  long seen = 0;
  if (sd_bus_match_signal(
          bus.get(), nullptr, nullptr, kSignalPath, kSignalInterface, "Badge",
          [](sd_bus_message*, void* count, sd_bus_error*) {
            ++*static_cast<long*>(count);
            return 0;
          },
          &seen) < 0) {
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  while (seen < expected) {
    int r = sd_bus_process(bus.get(), nullptr);
    if (r < 0) return 1;
    if (r == 0 && sd_bus_wait(bus.get(), 30'000'000) <= 0) return 1;
  }
  std::printf("done\n");
  std::fflush(stdout);
  return 0;
}

// Signals per second, sender to receiver, or 0 when the measurement failed.
double SignalRate() {
  BenchChild sink(BenchChild::Options{
      .argv = {"/proc/self/exe", "--signal-sink", std::to_string(kBaselineSignals)},
      .env = vrk::bench::EnvironmentWith({}),
  });
  sd_bus* raw = nullptr;
  if (sink.readLine(10s) != "ready" || sd_bus_open_user(&raw) < 0) return 0;
  Bus bus(raw);
  const auto t0 = Clock::now();
  for (int i = 0; i < kBaselineSignals; ++i) {
    // The payload of a badge change: a path and a type.
    if (sd_bus_emit_signal(bus.get(), kSignalPath, kSignalInterface, "Badge", "sx",
                           "/home/user/Sync/folder/file-0000001.txt", std::int64_t{2}) < 0) {
      return 0;
    }
    if (i % 256 == 255) sd_bus_flush(bus.get());
  }
  sd_bus_flush(bus.get());
  if (sink.readLine(60s) != "done") return 0;
  return kBaselineSignals / Seconds(Clock::now() - t0);
}

// ---- The processes of one case.

class EndToEnd {
 public:
  EndToEnd() {
    if (!root_.ok()) {
      error_ = "no private root";
      return;
    }
    sync_ = root_.path() / "home" / "Sync";
    std::error_code ec;
    std::filesystem::create_directories(sync_, ec);
    std::filesystem::remove(logDir() / "client.log", ec);
    std::filesystem::remove(finderLog(), ec);
    const auto build = vrk::bench::BuildDir();
    const std::string rootVar = "VRK_ROOT=" + root_.path().string();
    client_ = std::make_unique<BenchChild>(BenchChild::Options{
        .argv = {"/usr/bin/python3", "-c", kClientScript},
        .env = vrk::bench::EnvironmentWith({rootVar,
                                            "VRK_MAIN_BUNDLE=" + (build / "Sync.app").string(),
                                            "PYTHONPATH=" + (build / "Python").string()}),
        .stderrPath = (logDir() / "client.log").string(),
    });
    if (!client(nullptr, 30s)) {
      error_ = "the Python client did not start (is the build at " + build.string() + "?)";
      return;
    }
    if (!client(json::array({"root", sync_.string()}))) {
      error_ = "the client could not set the root";
      return;
    }
    // The library registers its port on the listener's thread. A folder shown before that
    // would lose every badge request ("Failed to find bootstrap port"), so wait for it.
    const auto port = root_.path() / "var/run/bootstrap/group.com.mirelta.sync.machport";
    for (const auto portLimit = Clock::now() + 15s; !std::filesystem::exists(port, ec);) {
      if (Clock::now() > portLimit) {
        error_ = "the library never registered its port";
        return;
      }
      std::this_thread::sleep_for(5ms);
    }
    const auto appex = build / "Sync.app/Contents/PlugIns/VRKFinderSyncExtension.appex";
    finder_ = std::make_unique<BenchChild>(BenchChild::Options{
        .argv = {(build / "Tools/vrk-finder").string(), "--extension", appex.string()},
        .env = vrk::bench::EnvironmentWith({rootVar}),
        .stderrPath = finderLog().string(),
    });
    // The extension picks the stored root up at start; the host observes it once told.
    const auto limit = Clock::now() + 15s;
    for (;;) {
      auto state = finder(json::array({"state"}));
      if (state && state->at("directories").dump().find(sync_.string()) != std::string::npos) {
        break;
      }
      if (Clock::now() > limit) {
        error_ = "the host never observed the root (vrk-finder and the extension built?)";
        return;
      }
      std::this_thread::sleep_for(20ms);
    }
  }

  ~EndToEnd() {
    if (finder_) finder_->writeLine(R"(["quit"])");
    finder_.reset();
    client_.reset();
  }

  const std::string& error() const { return error_; }
  const std::filesystem::path& syncFolder() const { return sync_; }

  // One command to the client and its answer; with a null command, the next line only.
  std::optional<json> client(const json& command, std::chrono::milliseconds timeout = 30s) {
    return exchange(*client_, command, timeout);
  }
  std::optional<json> finder(const json& command, std::chrono::milliseconds timeout = 30s) {
    return exchange(*finder_, command, timeout);
  }

  // How many of `paths` carry `badge` at the host.
  std::size_t badgedAtHost(const std::vector<std::string>& paths, const std::string& badge,
                           std::string* firstMissing) {
    auto reply = finder(json::array({"badges"}));
    if (!reply) return 0;
    const json& badges = reply->at("badges");
    std::size_t count = 0;
    firstMissing->clear();
    for (const std::string& path : paths) {
      auto it = badges.find(path);
      if (it != badges.end() && *it == badge) {
        ++count;
      } else if (firstMissing->empty()) {
        *firstMissing = path;
      }
    }
    return count;
  }

  // Waits until every path carries `badge` at the host; between checks, the host waits on the
  // first item still missing. `stalled` runs after 10 s in which neither the host got a badge
  // nor the client a request; false when the limit passed first.
  bool waitAllBadged(const std::vector<std::string>& paths, const std::string& badge,
                     Clock::time_point limit, const std::function<void()>& stalled) {
    std::string missing = paths.back();
    double last = -1;
    auto progressed = Clock::now();
    while (Clock::now() < limit) {
      finder(json::array({"wait-badge", missing, badge, 2000}), 10s);
      const std::size_t count = badgedAtHost(paths, badge, &missing);
      if (count == paths.size()) return true;
      // The extension may hand every request on before it applies any badge that came back,
      // so for a while only the client sees progress.
      const double progress = static_cast<double>(count) + requests();
      if (std::getenv("VRK_BENCH_TRACE")) {
        std::fprintf(stderr, "badged %zu of %zu, %.0f requests\n", count, paths.size(),
                     progress - static_cast<double>(count));
      }
      if (progress != last) {
        last = progress;
        progressed = Clock::now();
      } else if (Clock::now() - progressed > 10s) {
        stalled();
        progressed = Clock::now();
      }
    }
    return false;
  }

  // The badge requests the client has seen.
  double requests() {
    auto reply = client(json::array({"requests"}));
    return reply ? reply->value("requests", 0.0) : 0;
  }

  // Badge requests the extension could not hand to the library (its 100 ms send time-out),
  // counted in the extension's log.
  std::size_t lostRequests() const {
    std::ifstream log(finderLog());
    std::size_t lost = 0;
    for (std::string line; std::getline(log, line);) {
      if (line.find("failed to send command 3 to Dylib") != std::string::npos) ++lost;
    }
    return lost;
  }

 private:
  // The logs stay in the private root unless VRK_BENCH_LOG_DIR names a folder to keep them in.
  std::filesystem::path logDir() const {
    const char* dir = std::getenv("VRK_BENCH_LOG_DIR");
    return dir && *dir ? std::filesystem::path(dir) : root_.path();
  }
  std::filesystem::path finderLog() const { return logDir() / "vrk-finder.log"; }

  // The key that marks the answer to `command`, of the client or of the host.
  static const char* ReplyKey(const json& command) {
    if (command.is_null()) return "event";
    const std::string word = command[0].get<std::string>();
    if (word == "set-many") return "seconds";
    if (word == "requests") return "requests";
    if (word == "state") return "directories";
    if (word == "badges") return "badges";
    if (word == "show") return "dir";
    return "ok";
  }

  // Sends `command` and reads up to its answer. A late answer to an earlier command that timed
  // out is skipped, so that the exchanges stay in step.
  static std::optional<json> exchange(BenchChild& child, const json& command,
                                      std::chrono::milliseconds timeout) {
    if (!command.is_null() && !child.writeLine(command.dump())) return std::nullopt;
    const char* key = ReplyKey(command);
    const auto limit = Clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now());
      auto line = child.readLine(std::max(left, 0ms));
      if (!line) return std::nullopt;
      json reply = json::parse(*line, nullptr, false);
      if (reply.is_object() && reply.contains("error")) return std::nullopt;
      if (reply.is_object() && reply.contains(key)) return reply;
    }
  }

  PrivateRoot root_;
  std::filesystem::path sync_;
  std::unique_ptr<BenchChild> client_;
  std::unique_ptr<BenchChild> finder_;
  std::string error_;
};

void ReportRates(benchmark::State& state, std::int64_t items, double seconds, double signalRate) {
  state.counters["items"] = static_cast<double>(items);
  state.counters["seconds"] = seconds;
  state.counters["items_per_s"] = items / seconds;
  state.counters["dbus_signals_per_s"] = signalRate;
  state.counters["share_of_dbus_rate"] = signalRate > 0 ? items / seconds / signalRate : 0;
}

void BM_FolderShownUntilAllBadged(benchmark::State& state) {
  const std::int64_t items = state.range(0);
  for (auto _ : state) {
    const double signalRate = SignalRate();
    EndToEnd e2e;
    if (!e2e.error().empty()) {
      state.SkipWithError(e2e.error().c_str());
      return;
    }
    const auto folder = e2e.syncFolder() / "Photos";
    std::filesystem::create_directories(folder);
    std::vector<std::string> paths;
    for (std::int64_t i = 0; i < items; ++i) {
      char name[48];
      std::snprintf(name, sizeof name, "IMG_%07lld.jpg", static_cast<long long>(i));
      paths.push_back((folder / name).string());
      std::ofstream(paths.back()).put('x');
    }
    if (!e2e.client(json::array({"answer", 2}))) {
      state.SkipWithError("the client refused the answer mode");
      return;
    }
    int shows = 1;
    const auto t0 = Clock::now();
    if (!e2e.finder(json::array({"show", folder.string()}), 600s)) {
      state.SkipWithError("the host did not show the folder");
      return;
    }
    const double shown = Seconds(Clock::now() - t0);
    if (std::getenv("VRK_BENCH_TRACE")) std::fprintf(stderr, "shown after %.1f s\n", shown);
    // A request that found the library's queue full for 100 ms is lost, as Finder's would be;
    // Finder asks again when the folder is shown again. Only a loss the extension logged leads
    // to showing it again: showing it asks every item's badge once more.
    std::size_t lost = 0;
    const bool all = e2e.waitAllBadged(paths, "2", t0 + 900s, [&] {
      if (e2e.lostRequests() == lost) return;
      lost = e2e.lostRequests();
      e2e.finder(json::array({"show", folder.string()}), 600s);
      ++shows;
      if (std::getenv("VRK_BENCH_TRACE")) std::fprintf(stderr, "shown again\n");
    });
    const double seconds = Seconds(Clock::now() - t0);
    state.SetIterationTime(seconds);
    if (!all) {
      state.SkipWithError("not every item got its badge in time");
      return;
    }
    ReportRates(state, items, seconds, signalRate);
    state.counters["shows"] = shows;
    // The host's show waits at most 25 s for the extension to take every request.
    state.counters["show_reply_s"] = shown;
    state.counters["lost_requests"] = static_cast<double>(e2e.lostRequests());
    state.counters["requests"] = e2e.requests();
  }
}

void BM_BadgesFromClientCall(benchmark::State& state) {
  const std::int64_t items = state.range(0);
  for (auto _ : state) {
    const double signalRate = SignalRate();
    EndToEnd e2e;
    if (!e2e.error().empty()) {
      state.SkipWithError(e2e.error().c_str());
      return;
    }
    const std::string prefix = (e2e.syncFolder() / "Documents" / "file-").string();
    std::vector<std::string> paths;
    for (std::int64_t i = 0; i < items; ++i) {
      char suffix[24];
      std::snprintf(suffix, sizeof suffix, "%07lld", static_cast<long long>(i));
      paths.push_back(prefix + suffix);
    }
    const auto t0 = Clock::now();
    auto called = e2e.client(json::array({"set-many", 5, prefix, items}), 900s);
    if (!called) {
      state.SkipWithError("the client's calls did not finish");
      return;
    }
    const auto called_at = Clock::now();
    const bool all = e2e.waitAllBadged(paths, "5", t0 + 900s, [] {});
    const double seconds = Seconds(Clock::now() - t0);
    state.SetIterationTime(seconds);
    if (!all) {
      state.SkipWithError("the host did not get every badge in time");
      return;
    }
    ReportRates(state, items, seconds, signalRate);
    state.counters["client_calls_per_s"] = items / called->value("seconds", 1.0);
    // How far the host was behind the client's last call.
    state.counters["host_lag_s"] = Seconds(Clock::now() - called_at);
  }
}

// The item counts: VRK_BENCH_SIZES="1000,3000,10000" replaces the default 1k and 10k.
void Sizes(benchmark::internal::Benchmark* b) {
  const char* sizes = std::getenv("VRK_BENCH_SIZES");
  std::string list = sizes && *sizes ? sizes : "1000,10000";
  for (std::size_t start = 0; start < list.size();) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const long long n = std::atoll(list.substr(start, end - start).c_str());
    if (n > 0) b->Arg(n);
    start = end + 1;
  }
  b->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
}
BENCHMARK(BM_FolderShownUntilAllBadged)->Apply(Sizes);
BENCHMARK(BM_BadgesFromClientCall)->Apply(Sizes);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--signal-sink") {
    return SignalSinkMain(std::stol(argv[2]));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
