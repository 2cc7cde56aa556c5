// The extension's end of the Mach bridge in a process of its own, driven line by line on
// standard input by the cross-process tests. For each command it prints the log lines the
// command produced ("LOG <line>"), its result ("RESULT <text>") and "END".
//
//   begin|end|badge PATH       beginObserve / endObserve / badgeNotExist4ItemAtPath
//   send|click N PATH          sendMachMsg / menuItemClicked with command N
//   lock PATH                  requestLockableWhenSelectItemAtPath: "a b c" or "null"
//   long N LENGTH              sendMachMsg with a path of LENGTH bytes
//   flood N COUNT PATH         COUNT x sendMachMsg; result "<failures> <slowest failure ms>"
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "Platform/Foundation/NSLog.h"
#include "VRKFinderSyncExtension/VRKFinderSyncMachBridgeExtensionSide.h"

namespace {

using vrk::VRKFinderSyncMachBridgeExtensionSide;

std::string Rest(std::istringstream& in) {
  std::string rest;
  std::getline(in >> std::ws, rest);
  return rest;
}

std::string Run(VRKFinderSyncMachBridgeExtensionSide& bridge, const std::string& verb,
                std::istringstream& in, bool* quiet) {
  long command = 0;
  if (verb == "begin") bridge.beginObserve(Rest(in));
  if (verb == "end") bridge.endObserve(Rest(in));
  if (verb == "badge") bridge.badgeNotExist4ItemAtPath(Rest(in));
  if (verb == "send" && in >> command) bridge.sendMachMsg(command, Rest(in));
  if (verb == "click" && in >> command) {
    bridge.menuItemClicked(static_cast<vrk::VRKExtensionAndDylibMachCommandType>(command),
                           Rest(in));
  }
  if (verb == "long") {
    std::size_t length = 0;
    in >> command >> length;
    bridge.sendMachMsg(command, "/" + std::string(length - 1, 'p'));
  }
  if (verb == "lock") {
    vrk::VRKLockAnswer answer = bridge.requestLockableWhenSelectItemAtPath(Rest(in));
    if (!answer) return "null";
    return std::to_string(answer[0]) + " " + std::to_string(answer[1]) + " " +
           std::to_string(answer[2]);
  }
  if (verb == "flood") {
    long count = 0;
    in >> command >> count;
    std::string path = Rest(in);
    *quiet = true;
    vrk::LogCapture failures;
    long slowest = 0;
    for (long i = 0; i < count; ++i) {
      auto start = std::chrono::steady_clock::now();
      std::size_t before = failures.lines().size();
      bridge.sendMachMsg(command, path);
      if (failures.lines().size() != before) {
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
        slowest = std::max<long>(slowest, took);
      }
    }
    return std::to_string(failures.countContaining("failed to send command")) + " " +
           std::to_string(slowest);
  }
  return "";
}

}  // namespace

int main() {
  VRKFinderSyncMachBridgeExtensionSide bridge{std::weak_ptr<vrk::FinderSync>()};
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "quit") break;
    vrk::LogCapture log;
    bool quiet = false;
    std::string result = Run(bridge, verb, in, &quiet);
    if (!quiet) {
      for (const std::string& logged : log.lines()) std::cout << "LOG " << logged << "\n";
    }
    std::cout << "RESULT " << result << "\nEND" << std::endl;
  }
  return 0;
}
