// The context menu's lock question, end to end as the product runs it: the extension's end of
// the bridge (here, in the benchmark process) sends command 6 and waits; the library, loaded
// into a Python sync client, relays the question to the client's observer, which answers from
// inside it; the library stores the menu list, synchronizes it and replies. Then, as the
// extension does once the reply is in, the list is read back from the shared settings suite.
// Each case first has the client badge N paths under its root (0, 1k, 100k), so that the store
// holds a badge cache of that size beside the list: neither the list's write nor its read may
// grow with it.
//
// The baseline is a plain datagram of the same size there and back between two processes
// (this binary with --echo), measured alternately with the round trip in the same run, so that
// both see the same machine load. Reported: p50 and p99 of the round trip alone (p50_us,
// p99_us), of the round trip with the read (with_read_p50_us, with_read_p99_us), of the
// ping-pong, and the ratios of the round trip with the read to the ping-pong.
// Run under a session bus: dbus-run-session -- menu_bench
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Contract/VRKContract.h"
#include "Platform/Foundation/NSUserDefaults.h"
#include "VRKFinderSyncExtension/VRKFinderSyncMachBridgeExtensionSide.h"
#include "bench/BenchChild.h"

namespace {

using vrk::bench::BenchChild;
using vrk::bench::PrivateRoot;
using vrk::bench::ReportAgainstPingPong;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The sync client: answers every lock question with a file that can be unlocked, and the
// entries a client typically offers. "fill ROOT N" on its input sets ROOT as the root (which
// empties the badge cache) and badges N paths under it; it answers "filled".
constexpr char kClientScript[] = R"py(
import sys
import vrkfindersync as v

center = v.NSNotificationCenter.defaultCenter()
description = {"show_share": True, "show_view_website": True, "show_lock_unlock": True,
               "show_unlock": True, "is_file": True, "show_history": True}

def on_click(n):
    info = n.userInfo or {}
    if info.get("type") == 3:
        center.postNotificationName("kVRKContextMenuClickNotification", None,
                                    {"type": 4, "mach": info["mach"], "msg": description})

center.addObserver(on_click, "kVRKContextMenuClickNotification")
v.VRKFinderSync.sharedInstance()
print("ready", flush=True)
for line in sys.stdin:
    _, root, n = line.split()
    sync = v.VRKFinderSync
    sync.setRootFolderPath(root)
    for i in range(int(n)):
        sync.setIconType(i % 8, f"{root}/Projects/folder{i // 100:04d}/document-{i:06d}.txt")
    print("filled", flush=True)
)py";

// Everything one run needs: the private root, the Python client and the echoing process.
class Setup {
 public:
  static Setup& instance() {
    static Setup setup;
    return setup;
  }
  const std::string& error() const { return error_; }
  double syncFloorUs() const { return syncFloorUs_; }

  // Has the client badge `count` paths under a fresh root; false when it did not finish.
  bool fillBadgeCache(std::int64_t count) {
    const std::string root = (root_.path() / "home/Sync").string();
    if (!client_->writeLine("fill " + root + " " + std::to_string(count))) return false;
    return client_->readLine(600s) == "filled";
  }

  // The extension's read after the reply: the list from its own object for the shared suite.
  bool readMenuList() {
    return defaults_ && defaults_->objectForKey(vrk::kVRKMenuItemsKey).isArray();
  }

  bool pingPong() {
    if (::send(echo_[0], message_, sizeof message_, 0) != sizeof message_) return false;
    return ::recv(echo_[0], message_, sizeof message_, 0) == sizeof message_;
  }

  ~Setup() {
    if (echo_[0] >= 0) ::send(echo_[0], "", 0, 0);  // the empty datagram ends the echo
    echoChild_.reset();
    client_.reset();
    for (int fd : echo_) {
      if (fd >= 0) ::close(fd);
    }
  }

 private:
  Setup() {
    if (!root_.ok()) {
      error_ = "no private root";
      return;
    }
    // The bridge in this process finds the library's port beneath the same root.
    ::setenv("VRK_ROOT", root_.path().c_str(), 1);
    const auto build = vrk::bench::BuildDir();
    client_ = std::make_unique<BenchChild>(BenchChild::Options{
        .argv = {"/usr/bin/python3", "-c", kClientScript},
        .env = vrk::bench::EnvironmentWith({"VRK_ROOT=" + root_.path().string(),
                                            "VRK_MAIN_BUNDLE=" + (build / "Sync.app").string(),
                                            "PYTHONPATH=" + (build / "Python").string()}),
    });
    if (client_->readLine(30s) != "ready") {
      error_ = "the Python client did not start (is the build at " + build.string() + "?)";
      return;
    }
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, echo_) != 0) {
      error_ = "no socket pair";
      return;
    }
    echoChild_ = std::make_unique<BenchChild>(BenchChild::Options{
        .argv = {"/proc/self/exe", "--echo"},
        .env = vrk::bench::EnvironmentWith({}),
        .extraFd = echo_[1],
    });
    ::close(echo_[1]);
    echo_[1] = -1;
    syncFloorUs_ = vrk::bench::SyncedWriteMicros(root_.path());
    defaults_ = vrk::NSUserDefaults::initWithSuiteName(vrk::kVRKSharedSuiteName);
    if (!defaults_) error_ = "the shared settings suite cannot be opened";
  }

  PrivateRoot root_;
  std::unique_ptr<BenchChild> client_;
  std::unique_ptr<BenchChild> echoChild_;
  std::shared_ptr<vrk::NSUserDefaults> defaults_;
  int echo_[2] = {-1, -1};
  char message_[1056] = {};
  std::string error_;
  double syncFloorUs_ = 0;
};

void BM_MenuRoundTripWithPythonObserver(benchmark::State& state) {
  Setup& setup = Setup::instance();
  if (!setup.error().empty()) {
    state.SkipWithError(setup.error().c_str());
    return;
  }
  if (!setup.fillBadgeCache(state.range(0))) {
    state.SkipWithError("the client did not badge its paths");
    return;
  }
  vrk::VRKFinderSyncMachBridgeExtensionSide bridge{std::weak_ptr<vrk::FinderSync>()};
  // The library registers its port once the client has loaded it; wait for it.
  const auto limit = Clock::now() + 10s;
  while (!bridge.connect()) {
    if (Clock::now() > limit) {
      state.SkipWithError("the library's port never appeared");
      return;
    }
    std::this_thread::sleep_for(10ms);
  }
  const std::string path = "/Users/me/Sync/Projects/report.txt";
  for (int i = 0; i < 20; ++i) {  // warm both paths up
    bridge.requestLockableWhenSelectItemAtPath(path);
    setup.readMenuList();
    setup.pingPong();
  }
  std::vector<double> menuUs, withReadUs, pingUs;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    vrk::VRKLockAnswer answer = bridge.requestLockableWhenSelectItemAtPath(path);
    const auto t1 = Clock::now();
    const bool listed = setup.readMenuList();
    const auto t2 = Clock::now();
    const bool echoed = setup.pingPong();
    const auto t3 = Clock::now();
    if (!answer || !listed || !echoed) {
      state.SkipWithError(!answer ? "no lock answer" : !listed ? "no menu list" : "no echo");
      return;
    }
    menuUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    withReadUs.push_back(std::chrono::duration<double, std::micro>(t2 - t0).count());
    pingUs.push_back(std::chrono::duration<double, std::micro>(t3 - t2).count());
  }
  ReportAgainstPingPong(state, withReadUs, pingUs);
  state.counters["with_read_p50_us"] = state.counters["p50_us"];
  state.counters["with_read_p99_us"] = state.counters["p99_us"];
  state.counters["p50_us"] = vrk::bench::Percentile(menuUs, 0.50);
  state.counters["p99_us"] = vrk::bench::Percentile(menuUs, 0.99);
  // The library stores the item's menu list and synchronizes it before it replies.
  state.counters["fsync_floor_us"] = setup.syncFloorUs();
}
// Enough rounds for the 99th percentile to rest on a few dozen samples. The argument is the
// number of badges the client holds.
BENCHMARK(BM_MenuRoundTripWithPythonObserver)
    ->Arg(0)
    ->Arg(1000)
    ->Arg(100000)
    ->Iterations(2000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The echoing end of the baseline: descriptor 3 is its end of the socket pair.
int EchoMain() {
  char buffer[2048];
  for (;;) {
    ssize_t n = ::recv(3, buffer, sizeof buffer, 0);
    if (n <= 0) return 0;
    ::send(3, buffer, static_cast<std::size_t>(n), 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--echo") return EchoMain();
  vrk::bench::DiscardStandardError();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
