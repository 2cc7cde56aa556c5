// For tests: the processes the calling process started and that still run, read from /proc, so
// a test can find (and stop) the extension a host started on its own.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace vrk {

inline std::vector<pid_t> ChildProcesses() {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // The command name may hold spaces and parentheses; the fields after it start past the last
    // closing one.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent == ::getpid() && state != "Z") children.push_back(std::stoi(name));
  }
  return children;
}

}  // namespace vrk
