// A hostile neighbour of the privileged helper, for its tests and benchmark: a process that
// opens many connections to a service's socket, sends nothing, and opens a new one for each the
// service closes.
//
// Contract:
// - NobodyHoldingConnections runs this program again as uid nobody (through setpriv) with the
//   arguments "--hold-connections SOCKET COUNT", which the program's main hands to
//   HoldConnections. holding() waits (a minute at most) until the child reports that it holds
//   its connections; false when it never does. The destructor kills the child. One thread.
// - HoldConnections connects `count` times to the Unix stream socket at `socketPath`, writes
//   "holding\n" to standard output once all are open ("cannot connect\n" when one could not
//   be opened, the socket's folder closed to the child, say), then keeps the
//   connections open for as long as it runs: each one the service closes is opened again at
//   once. It returns only when standard input reaches its end, with 0; 1 when the arguments are
//   bad. Meant to be the whole of a child process (run under another uid with setpriv).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Platform/Foundation/UniqueFd.h"

extern char** environ;

namespace vrk::helper {

inline int ConnectTo(const sockaddr_un& addr) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline int HoldConnections(const char* socketPath, int count) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (count <= 0 || std::strlen(socketPath) >= sizeof addr.sun_path) return 1;
  std::strcpy(addr.sun_path, socketPath);
  std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
  fds[0] = {STDIN_FILENO, POLLIN, 0};
  bool all = true;
  for (std::size_t i = 1; i < fds.size(); ++i) {
    fds[i] = {ConnectTo(addr), POLLIN, 0};
    all = all && fds[i].fd >= 0;
  }
  std::fputs(all ? "holding\n" : "cannot connect\n", stdout);
  std::fflush(stdout);
  char buf[4096];
  for (;;) {
    if (::poll(fds.data(), fds.size(), 100) < 0) continue;
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) return 0;
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      // Whatever the service says is read and dropped; a closed connection is opened again.
      if (fds[i].fd >= 0 && !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (fds[i].fd >= 0 && ::read(fds[i].fd, buf, sizeof buf) > 0) continue;
      if (fds[i].fd >= 0) ::close(fds[i].fd);
      fds[i].fd = ConnectTo(addr);
    }
  }
}

// The running program started again as uid nobody with "--hold-connections SOCKET COUNT", which
// its main hands to HoldConnections; it is killed when this is destroyed.
class NobodyHoldingConnections {
 public:
  NobodyHoldingConnections(const std::string& socket, int count) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string n = std::to_string(count);
    const char* argv[] = {"setpriv",        "--reuid=nobody", "--regid=nogroup",
                          "--clear-groups", self.c_str(),     "--hold-connections",
                          socket.c_str(),   n.c_str(),        nullptr};
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    if (::posix_spawnp(&pid_, "setpriv", &actions, nullptr, const_cast<char**>(argv), environ) !=
        0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in_.reset(toChild[1]);
    out_.reset(fromChild[0]);
  }
  ~NobodyHoldingConnections() {
    in_.reset();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // Waits until the child has opened all its connections.
  bool holding() {
    std::string line;
    char c;
    pollfd p{out_.get(), POLLIN, 0};
    while (pid_ > 0 && ::poll(&p, 1, 60000) == 1 && ::read(out_.get(), &c, 1) == 1) {
      if (c == '\n') return line == "holding";
      line += c;
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd in_, out_;
};

}  // namespace vrk::helper
