// NSTask and NSPipe: running a program as a child process (posix_spawn) with its standard
// output connected to a pipe.
//
// Contract:
// - NSPipe::pipe() makes a pipe whose two ends are close-on-exec; null with a log line when the
//   system has no descriptors left. The pipe owns both ends.
// - NSTask runs `launchPath` with `arguments` (argv[0] is the launch path) and the environment
//   of the calling process. Standard input and standard error are the caller's; standard output
//   is the caller's too unless setStandardOutput() names a pipe. The launch path is used as it
//   stands: no search of PATH.
// - launch() returns false with a log line when the program cannot be started (missing, not
//   executable, no processes left) or when it was launched before; the task then never runs and
//   its termination reason stays 0. (The platform raises an exception there; nothing throws
//   here.) Either way the parent's copy of the pipe's write end is closed, so the reader sees
//   the end of the file once the task and anything it started have closed theirs.
// - waitUntilExit() blocks until the task has ended and reaps it. While it waits it reads the
//   task's standard-output pipe into the pipe's buffer, so a task that prints more than the
//   pipe holds never blocks on a full pipe. The wait is bounded: a task still running after
//   `limit` is killed with SIGKILL (with a log line) and ends as killed by a signal.
// - terminationReason() is 1 (NSTaskTerminationReasonExit) for a task that exited, whatever
//   its status, 2 (NSTaskTerminationReasonUncaughtSignal) for one ended by a signal, and 0 while
//   it has not been launched or has not been waited for. terminationStatus() is the exit status
//   or the signal number.
// - NSPipe::readDataToEndOfFile() returns what the task's wait buffered plus everything read
//   until the end of the file, waiting at most `limit` for that end (a process the task left
//   behind may hold the write end open); after the limit it logs and returns what it has.
//   Output beyond kMaxPipeBytes is read and dropped with one log line, so memory stays bounded.
// - A task and its pipe are used from one thread at a time; different tasks may run on
//   different threads at once. Destroying a task that is still running kills and reaps it, so
//   no child process outlives its owner unnoticed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/UniqueFd.h"

namespace vrk {

inline constexpr std::int64_t NSTaskTerminationReasonExit = 1;
inline constexpr std::int64_t NSTaskTerminationReasonUncaughtSignal = 2;

// The most output a pipe keeps for its reader: far above what any tool this system runs
// prints, and small enough that a runaway child cannot exhaust memory.
inline constexpr std::size_t kMaxPipeBytes = 16 * 1024 * 1024;

// How long a task may run, and how long a reader waits for the end of a pipe, unless told.
inline constexpr std::chrono::milliseconds kDefaultTaskLimit{60'000};

class NSPipe final {
  struct Token {};

 public:
  static std::shared_ptr<NSPipe> pipe();

  NSPipe(Token, UniqueFd read, UniqueFd write);
  NSPipe(const NSPipe&) = delete;
  NSPipe& operator=(const NSPipe&) = delete;

  // The descriptors of the two ends; -1 once that end is closed.
  int fileHandleForReading() const { return read_.get(); }
  int fileHandleForWriting() const { return write_.get(); }
  void closeFileHandleForWriting() { write_.reset(); }

  std::vector<std::byte> readDataToEndOfFile(std::chrono::milliseconds limit = kDefaultTaskLimit);

  // Reads what is available now without blocking. Returns false at the end of the file or on
  // an error (the read end is then closed). Used by NSTask while it waits.
  bool drainAvailable();

 private:
  void keep(const std::byte* bytes, std::size_t count);

  UniqueFd read_;
  UniqueFd write_;
  std::vector<std::byte> buffer_;
  bool overflowLogged_ = false;
};

// The process handle that NSTask and other owners of a child share: a descriptor that becomes
// readable when the child `pid` ends (a pidfd), close-on-exec; empty where the kernel gives
// none (an old kernel, or a filter that forbids it).
UniqueFd OpenProcessHandle(pid_t pid);

// Waits for the child `pid` to end, sleeping on `handle` (from OpenProcessHandle; when empty,
// looking at the child every few milliseconds), and reaps it. True, with its wait status in
// `status`, once it has ended; false when it still runs at `deadline` or cannot be waited for
// (someone else reaped it).
[[nodiscard]] bool ReapProcess(pid_t pid, const UniqueFd& handle,
                               std::chrono::steady_clock::time_point deadline, int* status);

class NSTask final {
 public:
  NSTask() = default;
  NSTask(const NSTask&) = delete;
  NSTask& operator=(const NSTask&) = delete;
  ~NSTask();

  void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
  void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
  void setStandardOutput(std::shared_ptr<NSPipe> pipe) { standardOutput_ = std::move(pipe); }
  const std::string& launchPath() const { return launchPath_; }

  bool launch();
  void waitUntilExit(std::chrono::milliseconds limit = kDefaultTaskLimit);

  bool isRunning() const { return pid_ > 0; }
  pid_t processIdentifier() const { return pid_; }
  int terminationStatus() const { return status_; }
  std::int64_t terminationReason() const { return reason_; }

 private:
  // Reaps the child if it has ended; true once it has (or cannot be waited for).
  bool reap(bool block);

  std::string launchPath_;
  std::vector<std::string> arguments_;
  std::shared_ptr<NSPipe> standardOutput_;
  bool launched_ = false;
  pid_t pid_ = -1;
  UniqueFd pidfd_;
  int status_ = 0;
  std::int64_t reason_ = 0;
};

}  // namespace vrk
