// Helpers shared by the benchmarks that drive other processes: a child process spoken to in
// lines over pipes, a private emulated root, and where the build tree is.
//
// Contract:
// - BenchChild owns its process and both pipe ends. readLine waits at most the time it is
//   given and returns nullopt on time-out or when the child closed its output. The destructor
//   closes the child's input (a child that reads it sees the end), waits a bounded time and
//   kills the child if it is still there. Everything is for one thread.
// - PrivateRoot makes a fresh folder in /tmp and removes it, whole, when destroyed.
// - Percentile and ReportAgainstPingPong summarize round-trip samples as p50/p99 counters
//   against a ping-pong baseline timed in the same run.
// - BuildDir is the build tree the running benchmark belongs to: $VRK_BUILD_DIR when set,
//   else the folder above the one holding the executable (build/bench/x_bench).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace vrk::bench {

inline std::filesystem::path BuildDir() {
  if (const char* dir = std::getenv("VRK_BUILD_DIR"); dir && *dir) return dir;
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return exe.parent_path().parent_path();
}

// The value below which `p` (0 to 1) of the samples lie.
inline double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::size_t index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                   samples.end());
  return samples[index];
}

// Reports the p50 and p99 of `measuredUs` against the same percentiles of `pingPongUs` (a plain
// datagram ping-pong timed in the same run), and their ratios, as the benchmark's counters.
inline void ReportAgainstPingPong(benchmark::State& state, const std::vector<double>& measuredUs,
                                  const std::vector<double>& pingPongUs) {
  const double p50 = Percentile(measuredUs, 0.50), p99 = Percentile(measuredUs, 0.99);
  const double b50 = Percentile(pingPongUs, 0.50), b99 = Percentile(pingPongUs, 0.99);
  state.counters["p50_us"] = p50;
  state.counters["p99_us"] = p99;
  state.counters["pingpong_p50_us"] = b50;
  state.counters["pingpong_p99_us"] = b99;
  state.counters["ratio_p50"] = b50 > 0 ? p50 / b50 : 0;
  state.counters["ratio_p99"] = b99 > 0 ? p99 / b99 : 0;
}

// The disk's floor under every synchronized settings write: the median time to write a small
// file, flush it, rename it over another and flush the folder, in `dir`. 0 on failure.
inline double SyncedWriteMicros(const std::filesystem::path& dir, int rounds = 21) {
  const std::string temp = (dir / ".floor.tmp").string(), target = (dir / ".floor").string();
  const std::string bytes(1024, 'x');
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                    ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) return 0;
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
      ::fsync(dirFd);
      ::close(dirFd);
    }
    samples.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  ::unlink(target.c_str());
  return Percentile(samples, 0.5);
}

class PrivateRoot {
 public:
  PrivateRoot() {
    char tmpl[] = "/tmp/vrk.XXXXXX";
    if (::mkdtemp(tmpl)) path_ = tmpl;
  }
  ~PrivateRoot() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  PrivateRoot(const PrivateRoot&) = delete;
  PrivateRoot& operator=(const PrivateRoot&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The environment of this process with `changes` ("NAME=value") replacing or adding entries.
// Sends this process's standard error to /dev/null: the library logs a line for every request
// it serves, and the lines would bury the results.
inline void DiscardStandardError() {
  int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0) return;
  ::dup2(devNull, STDERR_FILENO);
  ::close(devNull);
}

inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    const bool replaced = std::any_of(changes.begin(), changes.end(), [&](const std::string& c) {
      const std::size_t eq = c.find('=');
      return entry.substr(0, entry.find('=')) == std::string_view(c).substr(0, eq);
    });
    if (!replaced) env.emplace_back(entry);
  }
  env.insert(env.end(), changes.begin(), changes.end());
  return env;
}

class BenchChild {
 public:
  struct Options {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // the whole environment
    // Where the child's standard error goes; /dev/null when empty.
    std::string stderrPath;
    // A descriptor handed to the child as its descriptor 3, or -1.
    int extraFd = -1;
  };

  explicit BenchChild(const Options& options) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copy, so only these reach the child.
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string err = options.stderrPath.empty() ? "/dev/null" : options.stderrPath;
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    // dup2 onto the same number would leave close-on-exec set, so hand over a copy.
    int extra = options.extraFd == 3 ? ::fcntl(3, F_DUPFD_CLOEXEC, 10) : options.extraFd;
    if (extra >= 0) posix_spawn_file_actions_adddup2(&actions, extra, 3);
    std::vector<char*> argv, envp;
    for (const std::string& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : options.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (extra != options.extraFd) ::close(extra);
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
  }

  ~BenchChild() {
    if (toChild_ >= 0) ::close(toChild_);
    if (pid_ > 0) {
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > limit) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, nullptr, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    if (fromChild_ >= 0) ::close(fromChild_);
  }
  BenchChild(const BenchChild&) = delete;
  BenchChild& operator=(const BenchChild&) = delete;

  bool running() const { return pid_ > 0; }

  bool writeLine(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    std::string_view rest(text);
    while (!rest.empty()) {
      ssize_t n = ::write(toChild_, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
    const auto limit = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (std::size_t nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          limit - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{fromChild_, POLLIN, 0};
      int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return std::nullopt;
      char chunk[64 * 1024];
      ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string buffer_;
};

}  // namespace vrk::bench
