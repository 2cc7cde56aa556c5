// For tests: a bus daemon of the test's own, on an address in a fresh folder, that the test can
// stop, start again on the same address, or freeze to play a daemon that does not answer.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "Platform/Foundation/SdBus.h"

extern char** environ;

namespace vrk {

class PrivateBusDaemon {
 public:
  PrivateBusDaemon() {
    char dir[] = "/tmp/vrk.XXXXXX";
    if (::mkdtemp(dir)) dir_ = dir;
    address_ = "unix:path=" + dir_ + "/bus";
  }
  ~PrivateBusDaemon() {
    stop();
    std::filesystem::remove_all(dir_);
  }
  PrivateBusDaemon(const PrivateBusDaemon&) = delete;
  PrivateBusDaemon& operator=(const PrivateBusDaemon&) = delete;

  const std::string& address() const { return address_; }

  // Starts the daemon and returns once a client can connect to it (false when it did not within
  // 5 s).
  bool start() {
    std::filesystem::remove(dir_ + "/bus");
    std::string exe = "/usr/bin/dbus-daemon";
    std::string session = "--session";
    std::string nofork = "--nofork";
    std::string address = "--address=" + address_;
    char* argv[] = {exe.data(), session.data(), nofork.data(), address.data(), nullptr};
    if (posix_spawn(&pid_, exe.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
    for (int i = 0; i < 500; ++i) {
      if (connect()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // A frozen daemon keeps its connections open and answers nothing until it is thawed.
  void freeze() const { ::kill(pid_, SIGSTOP); }
  void thaw() const { ::kill(pid_, SIGCONT); }

  // A new client connection to the daemon, or none when it cannot be made.
  dbus::BusPtr connect() const {
    dbus::BusPtr bus;
    if (dbus::OpenBus(&bus, address_.c_str()) < 0) return {};
    // sd_bus_start only begins connecting; a first call finds out whether a daemon answers.
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus.get(), &unique) < 0) return {};
    return bus;
  }

 private:
  std::string dir_;
  std::string address_;
  pid_t pid_ = -1;
};

}  // namespace vrk
