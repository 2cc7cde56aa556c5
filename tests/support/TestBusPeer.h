// For tests: another peer on the session bus, served by a thread of its own. It owns a
// well-known name and hands every method call to one path to a handler; closing it (or
// destroying it) drops the name as a process that exits would.
#pragma once

#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "Platform/Foundation/SdBus.h"

namespace vrk {

class TestBusPeer {
 public:
  // Returns the sd-bus result of the handled call: reply with sd_bus_reply_method_return or
  // sd_bus_reply_method_errorf and return what it returned (or 1).
  using Handler = std::function<int(sd_bus_message*)>;

  TestBusPeer(std::string name, std::string path, Handler handler)
      : name_(std::move(name)), path_(std::move(path)), handler_(std::move(handler)) {
    int r = dbus::OpenSessionBus(&bus_);
    sd_bus_slot* slot = nullptr;
    if (r >= 0) r = sd_bus_add_object(bus_.get(), &slot, path_.c_str(), &TestBusPeer::OnCall, this);
    slot_.reset(slot);
    if (r >= 0) r = sd_bus_request_name(bus_.get(), name_.c_str(), 0);
    if (r < 0) std::abort();
    const char* unique = nullptr;
    sd_bus_get_unique_name(bus_.get(), &unique);
    unique_ = unique;
    if (::pipe(stop_) != 0) std::abort();
    thread_ = std::thread([this] { serve(); });
  }
  ~TestBusPeer() { close(); }

  // Drops the connection, and with it the name.
  void close() {
    if (!thread_.joinable()) return;
    (void)!::write(stop_[1], "x", 1);
    thread_.join();
    slot_.reset();
    bus_.reset();
    ::close(stop_[0]);
    ::close(stop_[1]);
  }

  const std::string& uniqueName() const { return unique_; }

 private:
  void serve() {
    for (;;) {
      int r;
      while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
      }
      if (r < 0) return;
      pollfd fds[2] = {
          {sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0},
          {stop_[0], POLLIN, 0}};
      ::poll(fds, 2, -1);
      if (fds[1].revents != 0) return;
    }
  }

  static int OnCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (sd_bus_message_is_method_call(m, nullptr, nullptr) <= 0) return 0;
    return static_cast<TestBusPeer*>(userdata)->handler_(m);
  }

  std::string name_;
  std::string path_;
  Handler handler_;
  dbus::BusPtr bus_;
  dbus::SlotPtr slot_;
  std::string unique_;
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace vrk
