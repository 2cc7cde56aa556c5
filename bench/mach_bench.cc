// The Mach bridge on Unix datagram sockets, measured end to end: the extension's bridge object
// sends, the library's listener thread receives, logs and dispatches to a target.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "VRKFinderSync/VRKFinderSyncMachBridgeClientSide.h"
#include "VRKFinderSync/VRKMachBridgeTargetRecorder.h"
#include "VRKFinderSyncExtension/VRKFinderSyncMachBridgeExtensionSide.h"
#include "bench/BenchChild.h"

namespace {

using namespace vrk;
using bench::ReportAgainstPingPong;
using Clock = std::chrono::steady_clock;

// The library side, started once for all benchmarks in a private emulated root.
struct Library {
  Library() {
    char tmpl[] = "/tmp/vrk.XXXXXX";
    root = ::mkdtemp(tmpl);
    ::setenv("VRK_ROOT", tmpl, 1);
    recorder->countOnly = true;
    recorder->onLockQuestion = [](const std::optional<std::string>&, const void* msg) {
      replyShouldShowLockMenuItemMachMsg(msg, true, false, true);
    };
    startMachBridge(recorder.get());
    for (int i = 0; i < 1000; ++i) {
      mach_port_t probe = MACH_PORT_NULL;
      if (bootstrap_look_up(bootstrap_port, kVRKMachServiceName, &probe) == BOOTSTRAP_SUCCESS) {
        mach_port_deallocate(mach_task_self(), probe);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  ~Library() {
    stopMachBridge();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  std::filesystem::path root;
  std::shared_ptr<VRKMachBridgeTargetRecorder> recorder =
      std::make_shared<VRKMachBridgeTargetRecorder>();
};

Library& TheLibrary() {
  static Library library;
  return library;
}

// The baseline: the same 1056 bytes there and back over a plain datagram socket pair, echoed
// by a thread.
class PingPong {
 public:
  PingPong() {
    ::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds_);
    echo_ = std::thread([fd = fds_[1]] {
      char buffer[2048];
      for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;  // the empty datagram ends it
        ::send(fd, buffer, n, 0);
      }
    });
  }
  ~PingPong() {
    ::send(fds_[0], "", 0, 0);
    echo_.join();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  void roundTrip() {
    ::send(fds_[0], message_, sizeof message_, 0);
    ::recv(fds_[0], message_, sizeof message_, 0);
  }

 private:
  int fds_[2];
  std::thread echo_;
  char message_[1056] = {};
};

void BM_OneWayCommands(benchmark::State& state) {
  Library& library = TheLibrary();
  VRKFinderSyncMachBridgeExtensionSide bridge{std::weak_ptr<FinderSync>()};
  bridge.connect();
  const std::size_t start = library.recorder->count();
  std::size_t sent = 0;
  for (auto _ : state) {
    bridge.badgeNotExist4ItemAtPath("/Users/me/Sync/folder/item.txt");
    ++sent;
  }
  // The queue holds a dozen requests at most, so the sender cannot run far ahead: the rate
  // measured is the listener's.
  library.recorder->waitForCount(start + sent, std::chrono::seconds(30));
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}
BENCHMARK(BM_OneWayCommands)->UseRealTime();

void BM_LockRoundTripAgainstDatagramPingPong(benchmark::State& state) {
  TheLibrary();
  VRKFinderSyncMachBridgeExtensionSide bridge{std::weak_ptr<FinderSync>()};
  bridge.connect();
  PingPong baseline;
  std::vector<double> bridgeUs, baselineUs;
  for (auto _ : state) {
    auto t0 = Clock::now();
    VRKLockAnswer answer = bridge.requestLockableWhenSelectItemAtPath("/Users/me/Sync/item.txt");
    auto t1 = Clock::now();
    baseline.roundTrip();
    auto t2 = Clock::now();
    if (!answer) state.SkipWithError("no lock answer");
    bridgeUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    baselineUs.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  ReportAgainstPingPong(state, bridgeUs, baselineUs);
}
BENCHMARK(BM_LockRoundTripAgainstDatagramPingPong)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Every request writes log lines; they would bury the results.
  int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(devNull, 2);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
