// Copying a 256 MB file through the privileged helper (the XPC request, the helper's checks and
// its copy in the kernel) against `cp` of the same file in the same run. Each is run several
// times; the report shows min and median of each and their speed ratio.
//
// Then the round trip of one small copy request of the blessed user (root, whom the installed
// job serves), first alone and then while a process of uid nobody holds 600 connections to the
// helper and opens each one it closes again at once; min and median of each.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BenchChild.h"
#include "Platform/ServiceManagement/SMJobBless.h"
#include "Platform/XPC/Launchd.h"
#include "Platform/XPC/xpc.h"
#include "Tools/helper/ConnectionHolder.h"

namespace vrk::bench {
namespace {

namespace fs = std::filesystem;
constexpr std::size_t kFileBytes = 256u << 20;
constexpr const char* kLabel = "com.mirelta.sync.VRKLaunchDaemon";

// One private root with the helper installed and a 256 MB source, for the whole run.
struct Setup {
  PrivateRoot root;
  fs::path source, dest, small, smallDest;
  bool ok = false;

  Setup() {
    // Open to other users, as a real root is, so that the other uid reaches the helper.
    ::chmod(root.path().c_str(), 0755);
    ::setenv("VRK_ROOT", root.path().c_str(), 1);
    ::setenv("VRK_MAIN_BUNDLE", (BuildDir() / "Sync.app").c_str(), 1);
    source = root.path() / "source.bin";
    dest = root.path() / "dest.bin";
    small = root.path() / "small.txt";
    smallDest = root.path() / "small-copy.txt";
    AuthorizationRef auth = nullptr;
    AuthorizationItem item{kSMRightBlessPrivilegedHelper, 0, nullptr, 0};
    AuthorizationRights rights{1, &item};
    CFErrorRef error;
    ok = AuthorizationCreate(nullptr, nullptr, 0, &auth) == 0 &&
         AuthorizationCopyRights(auth, &rights, nullptr, 19, nullptr) == 0 &&
         SMJobBless(kSMDomainSystemLaunchd, kLabel, auth, &error) && writeSource();
    if (auth) AuthorizationFree(auth, 0);
  }
  ~Setup() { (void)launchd::StopService(kLabel, std::chrono::seconds(20)); }

  bool writeSource() {
    if (FILE* f = std::fopen(small.c_str(), "wb")) {
      std::fputs("a small document\n", f);
      if (std::fclose(f) != 0) return false;
    }
    FILE* f = std::fopen(source.c_str(), "wb");
    if (!f) return false;
    std::vector<unsigned char> block(1 << 20);
    for (std::size_t i = 0; i < kFileBytes / block.size(); ++i) {
      for (std::size_t j = 0; j < block.size(); j += 4096)
        block[j] = static_cast<unsigned char>(i + j);
      std::fwrite(block.data(), 1, block.size(), f);
    }
    return std::fclose(f) == 0;
  }
};

// Destroyed at exit, which stops the helper and removes the root.
Setup& Shared() {
  static Setup setup;
  return setup;
}

// One request through the helper, as the library sends it, waiting for the reply.
std::optional<std::string> CopyThroughHelper(const fs::path& from, const fs::path& to) {
  auto connection =
      xpc_connection_create_mach_service(kLabel, nullptr, XPC_CONNECTION_MACH_SERVICE_PRIVILEGED);
  xpc_connection_set_event_handler(connection, [](xpc_object_t) {});
  xpc_connection_resume(connection);
  auto message = xpc_dictionary_create(nullptr, nullptr, 0);
  xpc_dictionary_set_string(message, "sourcePath", from.c_str());
  xpc_dictionary_set_string(message, "destPath", to.c_str());
  xpc_object_t reply = xpc_connection_send_message_with_reply_sync(connection, message);
  const char* text = xpc_dictionary_get_string(reply, "reply");
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

bool RunCp(const fs::path& from, const fs::path& to) {
  const char* argv[] = {"cp", from.c_str(), to.c_str(), nullptr};
  pid_t pid;
  if (::posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return false;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Prepare(benchmark::State& state, Setup& s) {
  state.PauseTiming();
  fs::remove(s.dest);
  state.ResumeTiming();
}

void BM_CopyThroughHelper(benchmark::State& state) {
  Setup& s = Shared();
  if (!s.ok) return state.SkipWithError("the helper could not be installed");
  // The first request starts the helper; that start is not part of a copy's cost.
  if (!CopyThroughHelper(s.source, s.dest)) return state.SkipWithError("no reply");
  for (auto _ : state) {
    Prepare(state, s);
    auto reply = CopyThroughHelper(s.source, s.dest);
    if (!reply || reply->rfind("Copied ", 0) != 0) {
      return state.SkipWithError(reply ? reply->c_str() : "no reply");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
}

void BM_CpBaseline(benchmark::State& state) {
  Setup& s = Shared();
  if (!s.ok) return state.SkipWithError("the helper could not be installed");
  for (auto _ : state) {
    Prepare(state, s);
    if (!RunCp(s.source, s.dest)) return state.SkipWithError("cp failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
}

// The nobody process stays from its first use to the end of the run, so it is registered last.
void BM_SmallRequest(benchmark::State& state) {
  Setup& s = Shared();
  if (!s.ok) return state.SkipWithError("the helper could not be installed");
  if (!CopyThroughHelper(s.small, s.smallDest)) return state.SkipWithError("no reply");
  static std::unique_ptr<helper::NobodyHoldingConnections> nobody;
  if (state.range(0) != 0 && !nobody) {
    nobody = std::make_unique<helper::NobodyHoldingConnections>(
        launchd::MachServiceSocketPath(kLabel), 600);
    if (!nobody->holding()) return state.SkipWithError("the other uid could not connect");
  }
  for (auto _ : state) {
    auto reply = CopyThroughHelper(s.small, s.smallDest);
    if (!reply || reply->rfind("Copied ", 0) != 0) {
      return state.SkipWithError(reply ? reply->c_str() : "no reply");
    }
  }
}

double Min(const std::vector<double>& v) {
  return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

BENCHMARK(BM_CpBaseline)
    ->Iterations(1)
    ->Repetitions(7)
    ->ComputeStatistics("min", Min)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CopyThroughHelper)
    ->Iterations(1)
    ->Repetitions(7)
    ->ComputeStatistics("min", Min)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK(BM_SmallRequest)
    ->ArgName("another_uid_holds_600")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Repetitions(25)
    ->ComputeStatistics("min", Min)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace vrk::bench

int main(int argc, char** argv) {
  if (argc == 4 && std::string_view(argv[1]) == "--hold-connections") {
    return vrk::helper::HoldConnections(argv[2], std::atoi(argv[3]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
