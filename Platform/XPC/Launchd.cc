// The emulated launchd: job property lists, on-demand start and the job's check-in.
#include "Platform/XPC/Launchd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/PropertyList.h"

namespace vrk::launchd {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(10);

bool Fail(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return false;
}

std::string Errno(std::string_view what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// Something that only root or the caller may have written: not a symlink, owned by one of
// them, not writable by group or others.
bool Trusted(const struct stat& st) {
  return (st.st_uid == 0 || st.st_uid == ::geteuid()) && (st.st_mode & 022) == 0;
}

bool FillAddress(const std::filesystem::path& path, sockaddr_un* addr, std::string* error) {
  *addr = {};
  addr->sun_family = AF_UNIX;
  const std::string& s = path.native();
  if (s.size() >= sizeof(addr->sun_path)) return Fail(error, "socket path too long: " + s);
  std::memcpy(addr->sun_path, s.c_str(), s.size() + 1);
  return true;
}

// One connection attempt. On failure errno tells whether nobody listens (ENOENT, ECONNREFUSED).
UniqueFd TryConnect(const std::filesystem::path& path, std::string* error) {
  struct stat st;
  if (::lstat(path.parent_path().c_str(), &st) != 0) {
    errno = ENOENT;
    return {};
  }
  if (!S_ISDIR(st.st_mode) || !Trusted(st)) {
    Fail(error, "refusing " + path.parent_path().string() +
                    ": not a directory of root or the caller that only its owner can write");
    errno = EPERM;
    return {};
  }
  sockaddr_un addr;
  if (!FillAddress(path, &addr, error)) {
    errno = ENAMETOOLONG;
    return {};
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return {};
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int saved = errno;
    Fail(error, Errno("connect " + path.string()));
    errno = saved;
    return {};
  }
  return fd;
}

std::optional<std::string> StringFor(const Object& plist, std::string_view key) {
  return plist.objectForKey(key).stringOrNil();
}

}  // namespace

std::filesystem::path MachServiceSocketPath(std::string_view name) {
  return emulated::Resolve("/var/run/xpc") / std::string(name);
}

std::optional<Job> LoadJob(const std::filesystem::path& plist, std::string* error) {
  struct stat st;
  if (::lstat(plist.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !Trusted(st)) {
    Fail(error, "refusing job " + plist.string() +
                    ": not a regular file of root or the caller that only its owner can write");
    return std::nullopt;
  }
  Object dict = PropertyListWithContentsOfFile(plist);
  if (dict.kind() != Object::Kind::Dictionary) {
    Fail(error, "job " + plist.string() + " is not a property list dictionary");
    return std::nullopt;
  }
  Job job;
  job.plist = plist;
  auto label = StringFor(dict, "Label");
  if (!label || label->empty()) {
    Fail(error, "job " + plist.string() + " has no Label");
    return std::nullopt;
  }
  job.label = *label;
  if (const ObjectArray* args = dict.objectForKey("ProgramArguments").array()) {
    for (const Object& a : *args) {
      if (!a.string()) {
        Fail(error, "job " + job.label + ": ProgramArguments holds a non-string");
        return std::nullopt;
      }
      job.programArguments.push_back(*a.string());
    }
  }
  if (auto program = StringFor(dict, "Program")) {
    if (job.programArguments.empty())
      job.programArguments.push_back(*program);
    else
      job.programArguments[0] = *program;
  }
  if (job.programArguments.empty() || job.programArguments[0].empty() ||
      job.programArguments[0].front() != '/') {
    Fail(error, "job " + job.label + " names no absolute Program");
    return std::nullopt;
  }
  job.programArguments[0] = emulated::Resolve(job.programArguments[0]).string();
  if (const ObjectDictionary* services = dict.objectForKey("MachServices").dictionary()) {
    for (const auto& [name, value] : *services) job.machServices.push_back(name);
  }
  if (const ObjectDictionary* env = dict.objectForKey("EnvironmentVariables").dictionary()) {
    for (const auto& [name, value] : *env) {
      if (value.string()) job.environment[name] = *value.string();
    }
  }
  if (auto err = StringFor(dict, "StandardErrorPath"); err && !err->empty()) {
    job.standardErrorPath = emulated::Resolve(*err);
  }
  return job;
}

std::optional<Job> FindJobForService(std::string_view service, std::string* error) {
  std::error_code ec;
  std::filesystem::directory_iterator it(emulated::Resolve("/Library/LaunchDaemons"), ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (it->path().extension() != ".plist") continue;
    std::string why;
    auto job = LoadJob(it->path(), &why);
    if (!job) {
      NSLog("[launchd] %s", why);
      continue;
    }
    for (const auto& name : job->machServices) {
      if (name == service) return job;
    }
  }
  Fail(error, "no job provides the service " + std::string(service));
  return std::nullopt;
}

bool StartJob(const Job& job, std::string* error) {
  std::vector<std::string> envStrings{"VRK_ROOT=" + emulated::Root().string()};
  for (const auto& [k, v] : job.environment) {
    if (k != "VRK_ROOT") envStrings.push_back(k + "=" + v);
  }
  std::vector<char*> argv, envp;
  for (const auto& a : job.programArguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  UniqueFd devnull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!devnull) return Fail(error, Errno("open /dev/null"));
  UniqueFd err;
  if (job.standardErrorPath) {
    std::error_code ec;
    std::filesystem::create_directories(job.standardErrorPath->parent_path(), ec);
    err.reset(::open(job.standardErrorPath->c_str(),
                     O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644));
  }
  const int errFd = err ? err.get() : devnull.get();

  // Two forks, so that the job is not our child: launchd, not the caller, is its parent. Only
  // async-signal-safe calls happen between fork and exec, since the caller may have threads.
  pid_t child = ::fork();
  if (child < 0) return Fail(error, Errno("fork"));
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    ::dup2(devnull.get(), 0);
    ::dup2(devnull.get(), 1);
    ::dup2(errFd, 2);
    ::close_range(3, ~0U, 0);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return Fail(error, "could not start " + job.label);
  NSLog("[launchd] started %s on demand", job.label);
  return true;
}

UniqueFd ConnectMachService(std::string_view name, std::chrono::milliseconds timeout,
                            std::string* error) {
  const auto deadline = Clock::now() + timeout;
  const auto path = MachServiceSocketPath(name);
  UniqueFd fd = TryConnect(path, error);
  if (fd || (errno != ENOENT && errno != ECONNREFUSED)) return fd;

  auto job = FindJobForService(name, error);
  if (!job) return {};
  // The lock on the job's property list lets one caller start the job while the others wait
  // for it to listen, instead of every caller starting an instance of its own.
  UniqueFd lock(::open(job->plist.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
  if (!lock) {
    Fail(error, Errno("open " + job->plist.string()));
    return {};
  }
  while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (Clock::now() >= deadline) {
      Fail(error, "timed out waiting for another start of " + job->label);
      return {};
    }
    std::this_thread::sleep_for(kPollStep);
  }
  if ((fd = TryConnect(path, error))) return fd;
  if (!StartJob(*job, error)) return {};
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(kPollStep);
    if ((fd = TryConnect(path, error))) return fd;
    if (errno != ENOENT && errno != ECONNREFUSED) return {};
  }
  Fail(error, job->label + " did not listen on " + std::string(name) + " in time");
  return {};
}

bool ServiceRunning(std::string_view name) {
  const auto lockPath = MachServiceSocketPath(name).string() + ".lock";
  UniqueFd fd(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return false;
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) return true;
  return false;
}

bool StopService(std::string_view name, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const auto lockPath = MachServiceSocketPath(name).string() + ".lock";
  if (!ServiceRunning(name)) return true;
  if (auto pid = DataWithContentsOfFile(lockPath, 32)) {
    std::string text(reinterpret_cast<const char*>(pid->data()), pid->size());
    long n = std::strtol(text.c_str(), nullptr, 10);
    if (n > 1) ::kill(static_cast<pid_t>(n), SIGTERM);
  }
  while (ServiceRunning(name)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
  return true;
}

std::optional<CheckedIn> CheckIn(std::string_view name, std::string* error) {
  const auto path = MachServiceSocketPath(name);
  const auto dir = path.parent_path();
  std::error_code ec;
  std::filesystem::create_directories(dir.parent_path(), ec);
  if (::mkdir(dir.c_str(), 0755) == 0) ::chmod(dir.c_str(), 0755);
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 022) != 0) {
    Fail(error, "refusing " + dir.string() + ": not our directory, or writable by others");
    return std::nullopt;
  }
  CheckedIn out;
  const auto lockPath = path.string() + ".lock";
  out.instanceLock.reset(
      ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
  if (!out.instanceLock) {
    Fail(error, Errno("open " + lockPath));
    return std::nullopt;
  }
  // An instance that is exiting still holds the lock while it serves its last connections.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (::flock(out.instanceLock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (Clock::now() >= deadline) {
      Fail(error, "another instance serves " + std::string(name));
      return std::nullopt;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  // The holder's pid, so that launchd (and a test) can tell which process serves the job.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(out.instanceLock.get(), 0) != 0 ||
      ::pwrite(out.instanceLock.get(), pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
    Fail(error, Errno("write " + lockPath));
    return std::nullopt;
  }
  sockaddr_un addr;
  if (!FillAddress(path, &addr, error)) return std::nullopt;
  ::unlink(path.c_str());
  out.listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!out.listener ||
      ::bind(out.listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::chmod(path.c_str(), 0666) != 0 || ::listen(out.listener.get(), 256) != 0) {
    Fail(error, Errno("listen on " + path.string()));
    return std::nullopt;
  }
  return out;
}

}  // namespace vrk::launchd
