// The shared sd-bus owners and the session bus connection they open.
#include "Platform/Foundation/SdBus.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "tests/support/PrivateBusDaemon.h"

namespace vrk {
namespace {

// Sets or unsets DBUS_SESSION_BUS_ADDRESS for one scope, and puts the old value back.
class ScopedAddress {
 public:
  explicit ScopedAddress(const char* value) {
    if (const char* old = std::getenv(kName)) old_ = old;
    if (value) {
      ::setenv(kName, value, 1);
    } else {
      ::unsetenv(kName);
    }
  }
  ~ScopedAddress() {
    if (old_) {
      ::setenv(kName, old_->c_str(), 1);
    } else {
      ::unsetenv(kName);
    }
  }

 private:
  static constexpr char kName[] = "DBUS_SESSION_BUS_ADDRESS";
  std::optional<std::string> old_;
};

TEST(OpenSessionBus, WithoutAnAddressFailsAndLeavesTheOwnerAlone) {
  for (const char* address : {static_cast<const char*>(nullptr), ""}) {
    ScopedAddress scoped(address);
    dbus::BusPtr bus;
    EXPECT_EQ(dbus::OpenSessionBus(&bus), -ENOENT);
    EXPECT_FALSE(bus);
  }
  // An address where no daemon listens is sd-bus's own failure, still with nothing handed out.
  ScopedAddress nowhere("unix:path=/nonexistent/vrk-no-bus");
  dbus::BusPtr bus;
  EXPECT_LT(dbus::OpenSessionBus(&bus), 0);
  EXPECT_FALSE(bus);
}

TEST(OpenSessionBus, ConnectsAsADescribedClientOfTheSessionBus) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr || *address == '\0') GTEST_SKIP() << "needs a session bus";
  dbus::BusPtr bus;
  ASSERT_EQ(dbus::OpenSessionBus(&bus, "vrk test"), 0);
  ASSERT_TRUE(bus);
  const char* unique = nullptr;
  ASSERT_GE(sd_bus_get_unique_name(bus.get(), &unique), 0);
  EXPECT_EQ(std::string(unique).rfind(':', 0), 0u) << unique;
  const char* description = nullptr;
  ASSERT_GE(sd_bus_get_description(bus.get(), &description), 0);
  EXPECT_STREQ(description, "vrk test");
}

// What a process sends just before it closes its connection is only safe once the daemon has
// answered; a daemon that does not answer costs the bound and no more.
TEST(WaitUntilRouted, ReturnsOnceTheDaemonAnswersAndGivesUpAfterTheBound) {
  PrivateBusDaemon daemon;
  ASSERT_TRUE(daemon.start());
  dbus::BusPtr bus = daemon.connect();
  ASSERT_TRUE(bus);
  EXPECT_EQ(dbus::WaitUntilRouted(bus.get(), 5'000'000), 0);

  daemon.freeze();
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(dbus::WaitUntilRouted(bus.get(), 200'000), -ETIMEDOUT);
  const auto waited = std::chrono::steady_clock::now() - before;
  daemon.thaw();
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(dbus::WaitUntilRouted(bus.get(), 5'000'000), 0);
}

TEST(BusError, SaysTheErrorItHoldsOrTheErrnoItWasGiven) {
  dbus::BusError unset;
  EXPECT_EQ(unset.message(-ENOENT), std::strerror(ENOENT));
  EXPECT_EQ(unset.message(EPIPE), std::strerror(EPIPE));
  dbus::BusError set;
  sd_bus_error_set(set.get(), "org.vrk.Test.Failed", "it broke");
  EXPECT_EQ(set.message(-EIO), "org.vrk.Test.Failed: it broke");
}

}  // namespace
}  // namespace vrk
