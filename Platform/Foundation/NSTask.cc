// NSTask and NSPipe on posix_spawn, a pipe and a pidfd.
#include "Platform/Foundation/NSTask.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Platform/Foundation/NSLog.h"

extern char** environ;

namespace vrk {
namespace {

using Clock = std::chrono::steady_clock;

// Without a pidfd (an old kernel or a filter that forbids it) the wait looks at the child this
// often instead of being woken when it ends.
constexpr int kReapTickMs = 10;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Spawn attributes that give the child default signal handling and an empty signal mask, so
// that what the host process ignores or blocks (SIGPIPE in Python, the run loop threads' masks)
// does not leak into the tools it runs.
struct SpawnAttributes {
  posix_spawnattr_t attr;
  SpawnAttributes() {
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
};

struct FileActions {
  posix_spawn_file_actions_t actions;
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// NSPipe

std::shared_ptr<NSPipe> NSPipe::pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    NSLog("[Platform] NSPipe: cannot make a pipe: %s", std::strerror(errno));
    return nullptr;
  }
  return std::make_shared<NSPipe>(Token{}, UniqueFd(fds[0]), UniqueFd(fds[1]));
}

NSPipe::NSPipe(Token, UniqueFd read, UniqueFd write)
    : read_(std::move(read)), write_(std::move(write)) {}

void NSPipe::keep(const std::byte* bytes, std::size_t count) {
  std::size_t room = kMaxPipeBytes - buffer_.size();
  if (count > room) {
    if (!overflowLogged_) {
      NSLog("[Platform] NSPipe: output beyond %zu bytes dropped", kMaxPipeBytes);
      overflowLogged_ = true;
    }
    count = room;
  }
  buffer_.insert(buffer_.end(), bytes, bytes + count);
}

bool NSPipe::drainAvailable() {
  if (!read_) return false;
  std::byte chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(read_.get(), chunk, sizeof chunk);
    if (n > 0) {
      keep(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    if (n < 0) NSLog("[Platform] NSPipe: read failed: %s", std::strerror(errno));
    read_.reset();
    return false;
  }
}

std::vector<std::byte> NSPipe::readDataToEndOfFile(std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  if (read_) {
    // Non-blocking, so that a read never outlasts the deadline.
    ::fcntl(read_.get(), F_SETFL, ::fcntl(read_.get(), F_GETFL) | O_NONBLOCK);
  }
  while (drainAvailable()) {
    pollfd p{read_.get(), POLLIN, 0};
    int left = RemainingMs(deadline);
    if (left == 0 || (::poll(&p, 1, left) == 0 && RemainingMs(deadline) == 0)) {
      NSLog("[Platform] NSPipe: no end of file after %lld ms; returning what was read",
            static_cast<long long>(limit.count()));
      break;
    }
  }
  return std::move(buffer_);
}

// ---------------------------------------------------------------------------------------------
// NSTask

NSTask::~NSTask() {
  if (pid_ <= 0) return;
  NSLog("[Platform] NSTask: %s (pid %d) still running when released; killing it", launchPath_,
        static_cast<int>(pid_));
  ::kill(pid_, SIGKILL);
  reap(true);
}

bool NSTask::launch() {
  if (launched_) {
    NSLog("[Platform] NSTask: %s was launched before", launchPath_);
    return false;
  }
  launched_ = true;

  std::vector<char*> argv;
  argv.push_back(launchPath_.data());
  for (std::string& argument : arguments_) argv.push_back(argument.data());
  argv.push_back(nullptr);

  FileActions files;
  if (standardOutput_) {
    if (standardOutput_->fileHandleForWriting() < 0) {
      NSLog("[Platform] NSTask: the standard-output pipe of %s is closed", launchPath_);
      return false;
    }
    posix_spawn_file_actions_adddup2(&files.actions, standardOutput_->fileHandleForWriting(),
                                     STDOUT_FILENO);
  }
  SpawnAttributes attributes;
  pid_t pid = -1;
  int error = ::posix_spawn(&pid, launchPath_.c_str(), &files.actions, &attributes.attr,
                            argv.data(), environ);
  // The child has its copy of the write end now (or never will): the reader must see the end
  // of the file once the child is done, so the parent's copy goes.
  if (standardOutput_) standardOutput_->closeFileHandleForWriting();
  if (error != 0) {
    NSLog("[Platform] NSTask: cannot launch %s: %s", launchPath_, std::strerror(error));
    return false;
  }
  pid_ = pid;
  pidfd_ = OpenProcessHandle(pid);
  if (standardOutput_) {
    int fd = standardOutput_->fileHandleForReading();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  return true;
}

UniqueFd OpenProcessHandle(pid_t pid) {
#ifdef SYS_pidfd_open
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return UniqueFd(fd);
  }
#else
  (void)pid;
#endif
  return UniqueFd();
}

bool ReapProcess(pid_t pid, const UniqueFd& handle, Clock::time_point deadline, int* status) {
  for (;;) {
    const pid_t r = ::waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return false;
    const int left = RemainingMs(deadline);
    if (left == 0) return false;
    pollfd fd = {handle.get(), POLLIN, 0};
    if (handle) {
      ::poll(&fd, 1, left);
    } else {
      ::poll(nullptr, 0, std::min(left, kReapTickMs));
    }
  }
}

bool NSTask::reap(bool block) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  if (r < 0) {
    // Someone else reaped it (SIGCHLD ignored by the host); its end is unknown.
    NSLog("[Platform] NSTask: cannot wait for %s (pid %d): %s", launchPath_, static_cast<int>(pid_),
          std::strerror(errno));
  } else if (WIFEXITED(status)) {
    status_ = WEXITSTATUS(status);
    reason_ = NSTaskTerminationReasonExit;
  } else if (WIFSIGNALED(status)) {
    status_ = WTERMSIG(status);
    reason_ = NSTaskTerminationReasonUncaughtSignal;
  }
  pid_ = -1;
  pidfd_.reset();
  return true;
}

void NSTask::waitUntilExit(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return;
  const Clock::time_point deadline = Clock::now() + limit;
  NSPipe* out = standardOutput_.get();
  bool reading = out && out->fileHandleForReading() >= 0;
  while (!reap(false)) {
    int left = RemainingMs(deadline);
    if (left == 0) {
      NSLog("[Platform] NSTask: %s (pid %d) still running after %lld ms; killing it", launchPath_,
            static_cast<int>(pid_), static_cast<long long>(limit.count()));
      ::kill(pid_, SIGKILL);
      reap(true);
      return;
    }
    pollfd fds[2];
    nfds_t count = 0;
    if (pidfd_) fds[count++] = {pidfd_.get(), POLLIN, 0};
    if (reading) fds[count++] = {out->fileHandleForReading(), POLLIN, 0};
    int timeout = pidfd_ ? left : std::min(left, kReapTickMs);
    if (::poll(fds, count, timeout) > 0 && reading) reading = out->drainAvailable();
  }
}

}  // namespace vrk
