// The emulated launchd: where privileged Mach services listen, which job provides a service,
// starting a job on demand, and a job's check-in (its listening socket).
//
// A privileged Mach service NAME is a Unix stream socket at $VRK_ROOT/var/run/xpc/NAME. A job
// is a property list in $VRK_ROOT/Library/LaunchDaemons with the keys Label, Program or
// ProgramArguments (macOS paths, resolved beneath the root), MachServices (a dictionary whose
// keys are the service names) and optionally EnvironmentVariables and StandardErrorPath (a
// macOS path). launchd starts a job with only those variables and VRK_ROOT in its environment,
// standard input on /dev/null and standard error appended to StandardErrorPath (or /dev/null),
// detached from the caller (it is not the caller's child).
//
// Contract:
// - ConnectMachService connects to the service. When nothing listens it starts the job that
//   names the service, serialised across processes by a lock on the job's property list, and
//   waits up to `timeout` for the job to listen. On failure it returns an empty descriptor and
//   the reason in `error`. The socket's folder must be a real directory owned by root or the
//   caller and writable by nobody else, and a job's property list a regular file of root or
//   the caller that group and others cannot write; anything else is refused.
// - CheckIn is for the job: it takes the service's instance lock (so two instances never
//   serve at once; the lock file, MachServiceSocketPath(name) + ".lock", holds the serving
//   process's pid), replaces a stale socket and listens. It returns the listening socket
//   (close-on-exec, non-blocking) and the lock, or nothing with the reason.
// - Blocking calls; any thread. Descriptors are close-on-exec and belong to the caller.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/UniqueFd.h"

namespace vrk::launchd {

std::filesystem::path MachServiceSocketPath(std::string_view name);

struct Job {
  std::string label;
  std::filesystem::path plist;
  std::vector<std::string> programArguments;  // [0] resolved beneath the root
  std::vector<std::string> machServices;
  std::map<std::string, std::string> environment;
  std::optional<std::filesystem::path> standardErrorPath;  // resolved beneath the root
};

// Reads and checks a job's property list; nullopt with the reason for a bad one.
[[nodiscard]] std::optional<Job> LoadJob(const std::filesystem::path& plist, std::string* error);
// The job in LaunchDaemons that names `service` under MachServices.
[[nodiscard]] std::optional<Job> FindJobForService(std::string_view service, std::string* error);
// Starts the job detached; false with the reason when it could not be spawned.
[[nodiscard]] bool StartJob(const Job& job, std::string* error);

UniqueFd ConnectMachService(std::string_view name, std::chrono::milliseconds timeout,
                            std::string* error);

// launchctl stop: asks the instance serving `name` to exit (SIGTERM) and waits until it has.
// True when no instance serves it any more; false when it is still there after `timeout`.
[[nodiscard]] bool StopService(std::string_view name, std::chrono::milliseconds timeout);
// Whether an instance holds the service's instance lock.
bool ServiceRunning(std::string_view name);

struct CheckedIn {
  UniqueFd listener;
  UniqueFd instanceLock;
};
[[nodiscard]] std::optional<CheckedIn> CheckIn(std::string_view name, std::string* error);

}  // namespace vrk::launchd
