#include "Platform/Foundation/NSDistributedNotificationCenter.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/DBusCenterSignal.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/SanitizerBuild.h"
#include "tests/support/ObjectSamples.h"
#include "tests/support/PrivateBusDaemon.h"
#include "tests/support/RunLoopUntil.h"

extern char** environ;

namespace vrk {
namespace {

using namespace std::chrono_literals;
using Behavior = NSNotificationSuspensionBehavior;

constexpr char kDropped[] = "NSDistributedNotificationCenter: dropped a Post signal: ";

// ---- The center on the private session bus ----

bool HaveBus() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  return address != nullptr && *address != '\0';
}

// Shortens the center's waits for one test, and puts the product's values back after it.
class ScopedTimings {
 public:
  explicit ScopedTimings(DistributedCenterTimings timings) {
    SetDistributedCenterTimingsForTesting(timings);
  }
  ~ScopedTimings() { SetDistributedCenterTimingsForTesting(DistributedCenterDefaultTimings()); }
  ScopedTimings(const ScopedTimings&) = delete;
  ScopedTimings& operator=(const ScopedTimings&) = delete;
};

// Records what an observer receives, on the thread that runs it.
struct Inbox {
  std::vector<NSNotification> notes;
  NotificationCallback callback() {
    return [this](const NSNotification& n) { notes.push_back(n); };
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& n : notes) {
      std::string name = n.name;
      if (n.object) name.append("/").append(n.object.description());
      out.push_back(std::move(name));
    }
    return out;
  }
};

class DistributedCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveBus()) GTEST_SKIP() << "needs a session bus (run under dbus-run-session)";
  }
  void TearDown() override {
    center().removeObserver(this);
    center().setSuspended(false);
  }
  static NSDistributedNotificationCenter& center() {
    return NSDistributedNotificationCenter::defaultCenter();
  }
  // Posts a marker that `this` observes, and runs the loop until it arrives. The bus keeps one
  // sender's signals in order, so whatever was posted before has been received by then.
  void Sync(Inbox& inbox, const std::string& marker) {
    center().postNotificationName(marker, Object(), Object(), true);
    ASSERT_TRUE(
        RunLoopUntil([&] { return !inbox.notes.empty() && inbox.notes.back().name == marker; }));
    inbox.notes.pop_back();
  }
};

TEST_F(DistributedCenterTest, DeliversOwnPostsOnTheRegisteringThreadsLoop) {
  Inbox onMain;
  center().addObserver(this, onMain.callback(), "deliver.a", Object(),
                       Behavior::DeliverImmediately);

  // A second observer registers on a thread of its own and records where it is called.
  std::mutex mutex;
  std::condition_variable cv;
  bool registered = false;
  std::vector<std::thread::id> calledOn;
  std::thread::id workerId;
  auto worker = Thread::create([&] {
    workerId = std::this_thread::get_id();
    center().addObserver(
        this,
        [&](const NSNotification&) {
          std::lock_guard lock(mutex);
          calledOn.push_back(std::this_thread::get_id());
          cv.notify_all();
        },
        "deliver.a", Object(), Behavior::DeliverImmediately);
    {
      std::lock_guard lock(mutex);
      registered = true;
    }
    cv.notify_all();
    RunLoop::current().run();
  });
  worker->start();
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return registered; });
  }

  center().postNotificationName("deliver.a", Object("x"), SampleUserInfo(), true);
  // Delivery is queued on the observer's loop, never made on the poster's stack.
  EXPECT_TRUE(onMain.notes.empty());
  ASSERT_TRUE(RunLoopUntil([&] { return onMain.notes.size() == 1; }));
  EXPECT_EQ(onMain.notes[0].object, Object("x"));
  EXPECT_EQ(Shape(onMain.notes[0].userInfo), Shape(SampleUserInfo(), true));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return !calledOn.empty(); }));
    EXPECT_EQ(calledOn, std::vector<std::thread::id>{workerId});
  }
  worker->perform([] { RunLoop::current().stop(); }, false);
  worker->join();

  // Posts of other threads arrive too, and a thread that has ended is no longer called.
  std::thread([] {
    NSDistributedNotificationCenter::defaultCenter().postNotificationName("deliver.a", Object("y"),
                                                                          Object(), false);
  }).join();
  ASSERT_TRUE(RunLoopUntil([&] { return onMain.notes.size() == 2; }));
  EXPECT_EQ(onMain.notes[1].object, Object("y"));
  std::lock_guard lock(mutex);
  EXPECT_EQ(calledOn.size(), 1u);
}

// Watches the center's signals on a connection of its own, as another receiver would, and
// counts them by member.
class SignalSpy {
 public:
  SignalSpy() {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) return;
    bus_.reset(raw);
    for (const char* member : {dbus::kPostMember, dbus::kPostsMember}) {
      if (sd_bus_match_signal(bus_.get(), nullptr, nullptr, dbus::kPostPath, dbus::kPostInterface,
                              member, &SignalSpy::OnSignal, this) < 0) {
        bus_.reset();
        return;
      }
    }
  }
  bool ok() const { return bus_ != nullptr; }

  // Reads signals until `notes` notifications have come, or 10 s passed.
  bool waitForNotes(std::size_t notes) {
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (names.size() < notes && std::chrono::steady_clock::now() < limit) {
      if (sd_bus_process(bus_.get(), nullptr) == 0) sd_bus_wait(bus_.get(), 100'000);
    }
    return names.size() >= notes;
  }

  int postSignals = 0;
  int postsSignals = 0;
  std::vector<std::string> names;

 private:
  // Other tests may share the bus: only notifications named with the prefix count.
  static int OnSignal(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* spy = static_cast<SignalSpy*>(self);
    const bool post = sd_bus_message_is_signal(m, nullptr, dbus::kPostMember) > 0;
    std::vector<NSNotification> notes =
        dbus::DecodeCenterSignal(m).value_or(std::vector<NSNotification>{});
    bool ours = false;
    for (const NSNotification& note : notes) {
      if (!note.name.starts_with(kPrefix)) continue;
      spy->names.push_back(note.name);
      ours = true;
    }
    if (ours) ++(post ? spy->postSignals : spy->postsSignals);
    return 0;
  }
  static constexpr char kPrefix[] = "burst.";
  dbus::BusPtr bus_;
};

TEST_F(DistributedCenterTest, GathersABurstIntoFewSignalsAndSendsALonePostAtOnce) {
  SignalSpy spy;
  ASSERT_TRUE(spy.ok());
  Inbox inbox;
  // By name: other tests' processes may post on the same bus meanwhile.
  for (const char* name : {"burst.n", "burst.deep", "burst.lone"}) {
    center().addObserver(this, inbox.callback(), name, Object(), Behavior::DeliverImmediately);
  }
  // A burst as a sync client makes when it badges a folder, with one notification too deep to
  // travel inside a Posts signal in the middle of it.
  constexpr int kBurst = 3000;
  for (int i = 0; i < kBurst; ++i) {
    if (i == kBurst / 2) {
      center().postNotificationName("burst.deep", Nested(31), Object(), true);
    }
    center().postNotificationName("burst.n", Object::numberWithInteger(i), Object(), true);
  }
  ASSERT_TRUE(RunLoopUntil([&] { return inbox.notes.size() == kBurst + 1; }));
  for (int i = 0, n = 0; i <= kBurst; ++i) {
    const NSNotification& note = inbox.notes[i];
    if (i == kBurst / 2) {
      EXPECT_EQ(note.name, "burst.deep");
      EXPECT_EQ(note.object, Nested(31));
      continue;
    }
    ASSERT_EQ(note.object, Object::numberWithInteger(n)) << i;
    ++n;
  }
  ASSERT_TRUE(spy.waitForNotes(kBurst + 1));
  EXPECT_EQ(spy.names.size(), static_cast<std::size_t>(kBurst + 1));
  // Gathered: far fewer signals than notifications, and the deep one went as a Post.
  EXPECT_LT(spy.postSignals + spy.postsSignals, kBurst / 4);
  EXPECT_GE(spy.postSignals, 1);
  EXPECT_GE(spy.postsSignals, 1);

  // After a pause, a lone post leaves at once as a Post, which receivers that know only that
  // member still get. The pause is past the gathering window, which is made to be over at once.
  const ScopedTimings windowOver({0us, DistributedCenterDefaultTimings().observerStuckWait});
  const int postsBefore = spy.postSignals;
  const int gatheredBefore = spy.postsSignals;
  center().postNotificationName("burst.lone", Object(), Object(), true);
  ASSERT_TRUE(spy.waitForNotes(kBurst + 2));
  EXPECT_EQ(spy.names.back(), "burst.lone");
  EXPECT_EQ(spy.postSignals, postsBefore + 1);
  EXPECT_EQ(spy.postsSignals, gatheredBefore);
}

// An observer whose thread is busy for a while gets every notification afterwards, in order:
// reading from the bus waits for it instead of dropping what its queue cannot hold.
TEST_F(DistributedCenterTest, ASlowObserverLosesNothing) {
  LogCapture log;
  Inbox inbox;
  center().addObserver(this, inbox.callback(), "slow.n", Object(), Behavior::DeliverImmediately);
  const int count = static_cast<int>(kMaxQueuedDistributedNotifications) * 3;
  for (int i = 0; i < count; ++i) {
    center().postNotificationName("slow.n", Object::numberWithInteger(i), Object(), true);
  }
  // Busy: the loop of this thread does not run while the notifications come back, until the
  // reading from the bus has had to wait for it.
  const auto limit = std::chrono::steady_clock::now() + 20s;
  while (log.countContaining("reading from the bus waits for them") == 0 &&
         std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(RunLoopUntil([&] { return inbox.notes.size() == static_cast<std::size_t>(count); }))
      << inbox.notes.size();
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(inbox.notes[i].object, Object::numberWithInteger(i)) << i;
  }
  EXPECT_GE(log.countContaining("reading from the bus waits for them"), 1u);
  EXPECT_EQ(log.countContaining("dropped"), 0u);
}

// An observer whose thread never runs its loop costs one wait of a few seconds, after which
// what finds no room is dropped (with a line) and the other observers go on receiving.
TEST_F(DistributedCenterTest, AStuckObserverHoldsTheOthersUpOnlyOnce) {
  // The wait for the stuck observer is shortened: the test waits for its end, not the clock.
  const ScopedTimings timings({DistributedCenterDefaultTimings().gatherWindow, 300ms});
  LogCapture log;
  Inbox inbox;
  for (const char* name : {"stuck.n", "stuck.last"}) {
    center().addObserver(this, inbox.callback(), name, Object(), Behavior::DeliverImmediately);
  }
  std::mutex mutex;
  std::condition_variable cv;
  bool registered = false;
  bool release = false;
  auto stuck = Thread::create([&] {
    center().addObserver(
        this, [](const NSNotification&) {}, "stuck.n", Object(), Behavior::DeliverImmediately);
    std::unique_lock lock(mutex);
    registered = true;
    cv.notify_all();
    // Never runs its loop: what is delivered to it only piles up.
    cv.wait(lock, [&] { return release; });
  });
  stuck->start();
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return registered; });
  }
  const int count = static_cast<int>(kMaxQueuedDistributedNotifications) * 2;
  for (int i = 0; i < count; ++i) {
    center().postNotificationName("stuck.n", Object::numberWithInteger(i), Object(), true);
  }
  const auto gaveUp = [&] { return log.countContaining("dropped") > 0; };
  const auto limit = RunLoop::Clock::now() + 20s;
  while (!gaveUp() && RunLoop::Clock::now() < limit) {
    RunLoop::current().runOnce(RunLoop::Clock::now() + 100ms);
  }
  ASSERT_TRUE(gaveUp());
  EXPECT_GE(log.countContaining("reading from the bus waits for them"), 1u);
  // From now on the stuck observer holds nobody up: what finds no room is dropped at once (the
  // stuck observer may hold all of it), so reading never pauses for it again.
  const std::size_t waits = log.countContaining("reading from the bus waits for them");
  const std::size_t drops = log.countContaining("dropped");
  std::this_thread::sleep_for(1100ms);  // past the one-a-second limit of the pause's line
  for (int i = 0; i < 100; ++i) {
    center().postNotificationName("stuck.n", Object::numberWithInteger(i), Object(), true);
  }
  std::this_thread::sleep_for(10ms);
  center().postNotificationName("stuck.last", Object(), Object(), true);
  const auto heard = [&] {
    return log.countContaining("dropped") > drops ||
           std::any_of(inbox.notes.begin(), inbox.notes.end(),
                       [](const NSNotification& n) { return n.name == "stuck.last"; });
  };
  EXPECT_TRUE(RunLoopUntil(heard));
  RunLoop::current().runUntil(RunLoop::Clock::now() + 500ms);
  EXPECT_EQ(log.countContaining("reading from the bus waits for them"), waits);
  center().removeObserver(this);
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  cv.notify_all();
  stuck->join();
}

TEST_F(DistributedCenterTest, MatchesAndRemovesByObserverNameAndObject) {
  Inbox inbox;
  int other = 0;  // a second observer identity
  center().addObserver(this, inbox.callback(), "match.sync", Object(), Behavior::Hold);
  center().addObserver(&other, inbox.callback(), "match.x", Object("1"), Behavior::Hold);
  center().addObserver(&other, inbox.callback(), "match.x", Object("2"), Behavior::Hold);
  center().addObserver(&other, inbox.callback(), "match.y", Object(), Behavior::Hold);
  center().addObserver(&other, inbox.callback(), std::nullopt, Object("all"), Behavior::Hold);

  auto postAll = [&](const std::string& marker) {
    for (const char* name : {"match.x", "match.y"}) {
      for (const char* object : {"1", "2", "all"}) {
        center().postNotificationName(name, Object(object), Object(), true);
      }
    }
    Sync(inbox, marker);
    std::vector<std::string> got = inbox.names();
    inbox.notes.clear();
    return got;
  };

  EXPECT_EQ(postAll("match.sync"),
            (std::vector<std::string>{"match.x/1", "match.x/2", "match.x/all", "match.y/1",
                                      "match.y/2", "match.y/all", "match.y/all"}));
  center().removeObserver(&other, "match.x", Object("1"));
  EXPECT_EQ(postAll("match.sync"),
            (std::vector<std::string>{"match.x/2", "match.x/all", "match.y/1", "match.y/2",
                                      "match.y/all", "match.y/all"}));
  // A removal for one name leaves the registration made for every name.
  center().removeObserver(&other, "match.y");
  EXPECT_EQ(postAll("match.sync"),
            (std::vector<std::string>{"match.x/2", "match.x/all", "match.y/all"}));
  center().removeObserver(&other, std::nullopt, Object("all"));
  EXPECT_EQ(postAll("match.sync"), (std::vector<std::string>{"match.x/2"}));
  center().removeObserver(&other);
  EXPECT_EQ(postAll("match.sync"), std::vector<std::string>{});
}

TEST_F(DistributedCenterTest, SuspensionFollowsEachObserversBehaviour) {
  Inbox drop, coalesce, hold, immediate;
  center().addObserver(this, drop.callback(), std::nullopt, Object("s"), Behavior::Drop);
  center().addObserver(this, coalesce.callback(), std::nullopt, Object("s"), Behavior::Coalesce);
  center().addObserver(this, hold.callback(), std::nullopt, Object("s"), Behavior::Hold);
  center().addObserver(this, immediate.callback(), std::nullopt, Object("s"),
                       Behavior::DeliverImmediately);

  center().setSuspended(true);
  EXPECT_TRUE(center().suspended());
  for (const char* name : {"susp.a", "susp.b", "susp.a", "susp.c"}) {
    center().postNotificationName(name, Object("s"), ObjectDictionary{{"n", Object(name)}}, true);
  }
  center().postNotificationName("susp.end", Object("s"), Object(), true);
  ASSERT_TRUE(RunLoopUntil([&] { return immediate.notes.size() == 5; }));
  EXPECT_TRUE(drop.notes.empty());
  EXPECT_TRUE(coalesce.notes.empty());
  EXPECT_TRUE(hold.notes.empty());

  center().setSuspended(false);
  EXPECT_FALSE(center().suspended());
  ASSERT_TRUE(RunLoopUntil([&] { return hold.notes.size() == 5; }));
  RunLoopUntil([&] { return coalesce.notes.size() == 4; });
  EXPECT_TRUE(drop.notes.empty());
  EXPECT_EQ(hold.names(), (std::vector<std::string>{"susp.a/s", "susp.b/s", "susp.a/s", "susp.c/s",
                                                    "susp.end/s"}));
  // Coalescing keeps the last of each name, in the order the kept ones arrived.
  EXPECT_EQ(coalesce.names(),
            (std::vector<std::string>{"susp.b/s", "susp.a/s", "susp.c/s", "susp.end/s"}));

  // Resumed: everything is delivered again.
  center().postNotificationName("susp.after", Object("s"), Object(), true);
  ASSERT_TRUE(RunLoopUntil([&] { return drop.notes.size() == 1; }));
}

TEST_F(DistributedCenterTest, MalformedSignalIsDroppedAndTheNextOneDelivered) {
  Inbox inbox;
  center().addObserver(this, inbox.callback(), "raw.good", Object(), Behavior::Hold);
  LogCapture log;

  sd_bus* raw = nullptr;
  ASSERT_GE(sd_bus_open_user(&raw), 0);
  dbus::BusPtr bus(raw);
  ASSERT_GE(sd_bus_emit_signal(bus.get(), dbus::kPostPath, dbus::kPostInterface, dbus::kPostMember,
                               "s", "raw.good"),
            0);
  sd_bus_message* m = nullptr;
  ASSERT_GE(sd_bus_message_new_signal(bus.get(), &m, dbus::kPostPath, dbus::kPostInterface,
                                      dbus::kPostMember),
            0);
  dbus::MessagePtr twoObjects(m);
  sd_bus_message_append(m, "sav", "raw.good", 2, "s", "a", "s", "b");
  sd_bus_message_append(m, "aa{sv}", 0);
  ASSERT_GE(sd_bus_send(bus.get(), m, nullptr), 0);
  ASSERT_GE(sd_bus_emit_signal(bus.get(), dbus::kPostPath, dbus::kPostInterface, dbus::kPostMember,
                               "savaa{sv}", "raw.good", 1, "x", INT64_C(42), 0),
            0);
  ASSERT_GE(sd_bus_flush(bus.get()), 0);

  ASSERT_TRUE(RunLoopUntil([&] { return inbox.notes.size() == 1; }));
  EXPECT_EQ(inbox.notes[0].object, Object::numberWithInteger(42));
  EXPECT_TRUE(inbox.notes[0].userInfo.isNil());
  EXPECT_EQ(log.count(std::string(kDropped) + "signature is 's', not 'savaa{sv}'"), 1u);
  EXPECT_EQ(log.count(std::string(kDropped) + "object holds more than one element"), 1u);
}

// ---- Other processes ----

// Starts this test binary as a helper. `busAddress` null keeps the session bus of this process,
// "" removes it from the helper's environment, anything else replaces it.
pid_t SpawnHelper(const std::string& mode, const char* busAddress = nullptr) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (busAddress && std::string_view(*e).starts_with("DBUS_SESSION_BUS_ADDRESS=")) continue;
    env.emplace_back(*e);
  }
  if (busAddress && *busAddress)
    env.push_back(std::string("DBUS_SESSION_BUS_ADDRESS=") + busAddress);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe";
  std::string flag = "--distributed-helper";
  std::string modeArg = mode;
  char* argv[] = {self.data(), flag.data(), modeArg.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0) return -1;
  return pid;
}

// The helper's exit status, or -1 when it did not end within 20 s (it is then killed).
int WaitHelper(pid_t pid) {
  for (int i = 0; i < 2000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(10ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

TEST_F(DistributedCenterTest, AnotherProcessReceivesEveryValueType) {
  Inbox inbox;
  // By name: other tests' processes may post on the same bus meanwhile.
  for (const char* name : {"echo.ready", "echo.back"}) {
    center().addObserver(this, inbox.callback(), name, Object(), Behavior::Hold);
  }
  pid_t echo = SpawnHelper("echo");
  ASSERT_GT(echo, 0);
  ASSERT_TRUE(RunLoopUntil(
      [&] { return !inbox.notes.empty() && inbox.notes.back().name == "echo.ready"; }));
  inbox.notes.clear();

  struct Sent {
    Object object;
    Object userInfo;
  };
  const std::vector<Sent> sent = {
      {Object("string"), SampleUserInfo()},
      {Object::numberWithBool(true), Object(ObjectDictionary{})},
      {Object::numberWithInteger(-1), Object()},
      {SampleUserInfo(), ObjectDictionary{{"list", ObjectArray{Object::numberWithInt(1)}}}},
      {Object(), Object()},
  };
  // The helper posts each one back under "echo.back"; our own posts come to us too.
  for (const Sent& s : sent) center().postNotificationName("echo.this", s.object, s.userInfo, true);
  center().postNotificationName("echo.quit", Object(), Object(), true);
  ASSERT_TRUE(RunLoopUntil([&] {
    return std::count_if(inbox.notes.begin(), inbox.notes.end(),
                         [](const auto& n) { return n.name == "echo.back"; }) == 5;
  }));
  std::size_t i = 0;
  for (const NSNotification& n : inbox.notes) {
    if (n.name != "echo.back") continue;
    EXPECT_EQ(n.object, sent[i].object) << i;
    EXPECT_EQ(Shape(n.object), Shape(sent[i].object, true)) << i;
    EXPECT_EQ(n.userInfo, sent[i].userInfo) << i;
    EXPECT_EQ(Shape(n.userInfo), Shape(sent[i].userInfo, true)) << i;
    ++i;
  }
  EXPECT_EQ(WaitHelper(echo), 0);
}

// A Post as another program sends it: gdbus turns a list of strings into `as` and 1.5 into `d`.
TEST_F(DistributedCenterTest, PostFromGdbusKeepsTheListAndLeavesOutOnlyTheDouble) {
  Inbox inbox;
  center().addObserver(this, inbox.callback(), "from.gdbus", Object(), Behavior::Hold);
  LogCapture log;
  const std::string signal = std::string(dbus::kPostInterface) + "." + dbus::kPostMember;
  const char* argv[] = {
      "gdbus",         "emit",
      "--session",     "--object-path",
      dbus::kPostPath, "--signal",
      signal.c_str(),  "'from.gdbus'",
      "@av []",        "[{'tags': <['a', 'b']>, 'scale': <1.5>, 'path': <'/home/me'>}]",
      nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawnp(&pid, "gdbus", nullptr, nullptr, const_cast<char**>(argv), environ), 0)
      << "gdbus (libglib2.0-bin) is needed";
  EXPECT_EQ(WaitHelper(pid), 0);
  ASSERT_TRUE(RunLoopUntil([&] { return !inbox.notes.empty(); }));
  EXPECT_TRUE(inbox.notes[0].object.isNil());
  EXPECT_EQ(inbox.notes[0].userInfo,
            Object(ObjectDictionary{{"tags", ObjectArray{Object("a"), Object("b")}},
                                    {"path", Object("/home/me")}}));
  EXPECT_EQ(log.countContaining("Post from.gdbus: left out 1 value(s) that cannot be held: "
                                "userInfo \"scale\" (type 'd')"),
            1u);
}

TEST_F(DistributedCenterTest, ProcessThatPostsAndExitsAtOnceDeliversAndExitsCleanly) {
  Inbox inbox;
  center().addObserver(this, inbox.callback(), "exit.bye", Object(), Behavior::Hold);
  for (int round = 0; round < 3; ++round) {
    inbox.notes.clear();
    pid_t pid = SpawnHelper("post-and-exit");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitHelper(pid), 0);
    ASSERT_TRUE(RunLoopUntil([&] { return !inbox.notes.empty(); }));
    EXPECT_EQ(inbox.notes[0].object, Object("bye"));
  }
}

TEST(DistributedCenterWithoutBus, LogsOnceAndDoesNothing) {
  // The helper checks its own log; an unreachable address and a missing one behave alike.
  pid_t unset = SpawnHelper("no-bus", "");
  pid_t unreachable = SpawnHelper("no-bus", "unix:path=/nonexistent/vrk-bus");
  ASSERT_GT(unset, 0);
  ASSERT_GT(unreachable, 0);
  EXPECT_EQ(WaitHelper(unset), 0);
  EXPECT_EQ(WaitHelper(unreachable), 0);
}

// A private bus daemon that the test can stop and start again on the same address, with a
// connection of the test's own that decodes every Post signal it sees.
class PrivateBus {
 public:
  const std::string& address() const { return daemon_.address(); }

  bool start() { return daemon_.start() && connect(); }
  void stop() {
    bus_.reset();
    daemon_.stop();
  }

  bool connect() {
    bus_ = daemon_.connect();
    return bus_ &&
           sd_bus_match_signal(bus_.get(), nullptr, nullptr, dbus::kPostPath, dbus::kPostInterface,
                               dbus::kPostMember, &PrivateBus::OnPost, this) >= 0;
  }
  void post(std::string_view name, const Object& userInfo = Object()) {
    dbus::MessagePtr m = dbus::NewPostSignal(bus_.get());
    dbus::AppendPostArguments(m.get(), name, Object(), userInfo);
    sd_bus_send(bus_.get(), m.get(), nullptr);
    sd_bus_flush(bus_.get());
  }
  // Sends `posts` as one Posts signal.
  void postAll(const std::vector<NSNotification>& posts) {
    dbus::MessagePtr m = dbus::NewPostsSignal(bus_.get());
    std::size_t failedAt = 0;
    dbus::AppendPostsArguments(m.get(), posts, &failedAt);
    sd_bus_send(bus_.get(), m.get(), nullptr);
    sd_bus_flush(bus_.get());
  }
  // Serves the connection for up to `time`; true once a post named `name` has arrived.
  bool await(std::string_view name, std::chrono::milliseconds time) {
    const auto limit = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < limit) {
      if (std::find(seen_.begin(), seen_.end(), name) != seen_.end()) return true;
      if (sd_bus_process(bus_.get(), nullptr) == 0) sd_bus_wait(bus_.get(), 20'000);
    }
    return std::find(seen_.begin(), seen_.end(), name) != seen_.end();
  }

 private:
  static int OnPost(sd_bus_message* m, void* self, sd_bus_error*) {
    if (auto note = dbus::DecodePostSignal(m))
      static_cast<PrivateBus*>(self)->seen_.push_back(note->name);
    return 0;
  }

  PrivateBusDaemon daemon_;
  dbus::BusPtr bus_;
  std::vector<std::string> seen_;
};

// Pings the "restart" helper until it answers (its bus connection is back), then ends it.
void PingUntilAnsweredThenQuit(PrivateBus& bus, pid_t helper) {
  bool answered = false;
  for (int i = 0; i < 40 && !answered; ++i) {
    bus.post("restart.ping");
    answered = bus.await("restart.pong", 250ms);
  }
  EXPECT_TRUE(answered);
  bus.post("restart.quit");
  EXPECT_EQ(WaitHelper(helper), 0);
}

TEST(DistributedCenterOnPrivateBus, ReconnectsAfterTheBusRestarts) {
  PrivateBus bus;
  ASSERT_TRUE(bus.start());
  pid_t helper = SpawnHelper("restart", bus.address().c_str());
  ASSERT_GT(helper, 0);
  ASSERT_TRUE(bus.await("restart.ready", 10s));

  bus.stop();
  ASSERT_TRUE(bus.start());
  // The helper tries again every second; until then our pings are lost.
  PingUntilAnsweredThenQuit(bus, helper);
}

TEST(DistributedCenterOnPrivateBus, ConnectsWhenTheBusAppearsAfterStart) {
  PrivateBus bus;  // not started: the helper finds no bus
  pid_t helper = SpawnHelper("restart", bus.address().c_str());
  ASSERT_GT(helper, 0);
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(bus.start());
  PingUntilAnsweredThenQuit(bus, helper);
}

// Any process of the user can send Post signals. While the receiver's main thread is blocked,
// 200 signals of 1 MB and 2,000 of 16 KB arrive: the large ones are refused and the queue to the
// main thread is capped, so the receiver's peak resident memory stays under 96 MB (holding the
// whole flood would take over 230 MB), and it serves normally afterwards.
TEST(DistributedCenterOnPrivateBus, AFloodWhileTheObserverIsBlockedKeepsMemoryBounded) {
  PrivateBus bus;
  ASSERT_TRUE(bus.start());
  const std::string go =
      std::filesystem::temp_directory_path() / ("vrk-flood-go." + std::to_string(::getpid()));
  std::filesystem::remove(go);
  setenv("VRK_FLOOD_GO", go.c_str(), 1);
  pid_t helper = SpawnHelper("flood", bus.address().c_str());
  ASSERT_GT(helper, 0);
  ASSERT_TRUE(bus.await("flood.ready", 10s));
  const Object large(ObjectDictionary{{"blob", Object(std::string(1 << 20, 'x'))}});
  const Object medium(ObjectDictionary{{"blob", Object(std::string(16 << 10, 'y'))}});
  for (int i = 0; i < 200; ++i) bus.post("flood.large", large);
  for (int i = 0; i < 2000; ++i) bus.post("flood.medium", medium);
  bus.post("flood.end");
  { std::ofstream(go).put('1'); }
  EXPECT_TRUE(bus.await("flood.done", 20s));
  EXPECT_EQ(WaitHelper(helper), 0);
  std::filesystem::remove(go);
}

// A signal far over the cap, from another process of the user: a Post, and a Posts signal in
// which the large notification travels with a small one. The receiver refuses the large ones
// without decoding them, delivers the small one, and keeps serving; its peak resident memory
// stays near the size of one signal (decoding would copy each one at least once more). Under a
// sanitizer, where resident memory says nothing, a smaller signal keeps the test quick.
constexpr std::size_t kLargeSignalBytes =
    !kBuiltWithAddressSanitizer && !kBuiltWithThreadSanitizer ? 48 << 20 : 4 << 20;

TEST(DistributedCenterOnPrivateBus, ASignalOverTheCapIsRefusedBeforeItIsDecoded) {
  PrivateBus bus;
  ASSERT_TRUE(bus.start());
  pid_t helper = SpawnHelper("large", bus.address().c_str());
  ASSERT_GT(helper, 0);
  ASSERT_TRUE(bus.await("large.ready", 10s));
  {
    const Object large(ObjectDictionary{{"blob", Object(std::string(kLargeSignalBytes, 'x'))}});
    bus.post("large.big", large);
    bus.postAll({NSNotification{"large.big", Object(), large},
                 NSNotification{"large.small", Object("kept"), Object()}});
  }
  bus.post("large.end");
  EXPECT_TRUE(bus.await("large.done", 20s));
  EXPECT_EQ(WaitHelper(helper), 0);
}

// ---- Helper processes ----

// Sanitizers keep freed memory aside (AddressSanitizer's quarantine alone holds up to 256 MB)
// and add shadow memory, so a resident-size bound means something only in a plain build.
constexpr bool kResidentSizeIsMeaningful =
    !kBuiltWithAddressSanitizer && !kBuiltWithThreadSanitizer;

// The peak resident memory of this process, in kB.
long PeakResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

// Blocks the main thread until the test says go, then drains what was queued to it.
int FloodHelper() {
  LogCapture log;
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  int received = 0;
  int token = 0;
  center.addObserver(
      &token, [&](const NSNotification&) { ++received; }, std::nullopt, Object(), Behavior::Hold);
  center.postNotificationName("flood.ready", Object(), Object(), true);
  const char* go = std::getenv("VRK_FLOOD_GO");
  for (int i = 0; i < 6000 && go && !std::filesystem::exists(go); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  // The bus thread may still be reading the end of the flood.
  std::this_thread::sleep_for(500ms);
  const long peak = PeakResidentKilobytes();
  // Drains the queue: runs the loop until it stays quiet for a moment.
  for (int before = -1; before != received;) {
    before = received;
    RunLoop::current().runOnce(RunLoop::Clock::now() + 300ms);
  }
  center.postNotificationName("flood.done", Object(), Object(), true);
  std::fprintf(stderr, "flood: peak %ld kB, %d delivered, %zu refusal and %zu drop lines\n", peak,
               received, log.countContaining("refused flood.large"),
               log.countContaining("observers are behind"));
  const bool bounded = !kResidentSizeIsMeaningful || (peak > 0 && peak < 96 * 1024);
  const bool capped = received <= static_cast<int>(kMaxQueuedDistributedNotifications) + 1;
  const bool fewLines = log.countContaining("refused flood.large") <= 20 &&
                        log.countContaining("observers are behind") <= 20;
  return bounded && capped && fewLines ? 0 : 4;
}

// Observes until "large.end", then checks what arrived, what was logged and its peak memory.
int LargeHelper() {
  LogCapture log;
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  std::vector<NSNotification> received;
  int token = 0;
  center.addObserver(
      &token, [&](const NSNotification& n) { received.push_back(n); }, std::nullopt, Object(),
      Behavior::Hold);
  center.postNotificationName("large.ready", Object(), Object(), true);
  const auto limit = RunLoop::Clock::now() + 30s;
  while ((received.empty() || received.back().name != "large.end") &&
         RunLoop::Clock::now() < limit) {
    RunLoop::current().runOnce(limit);
  }
  const long peak = PeakResidentKilobytes();
  std::vector<std::string> names;
  for (const NSNotification& n : received) names.push_back(n.name);
  const bool delivered =
      names == std::vector<std::string>{"large.ready", "large.small", "large.end"} &&
      received[1].object == Object("kept");
  const bool logged = log.countContaining("refused large.big: its payload of ") >= 1;
  // The bound leaves room for the process itself and the socket's buffers beside one signal.
  const long bound = static_cast<long>(kLargeSignalBytes / 1024) + 24 * 1024;
  const bool bounded = !kResidentSizeIsMeaningful || (peak > 0 && peak < bound);
  std::fprintf(stderr, "large: peak %ld kB (bound %ld kB), %zu delivered, %zu refusal lines\n",
               peak, bound, received.size(), log.countContaining("refused large.big"));
  center.postNotificationName("large.done", Object(), Object(), true);
  return delivered && logged && bounded ? 0 : 5;
}

int HelperMain(const std::string& mode) {
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  if (mode == "echo") {
    bool quit = false;
    int token = 0;
    center.addObserver(
        &token,
        [&](const NSNotification& n) {
          if (n.name == "echo.quit") quit = true;
          if (n.name == "echo.this")
            center.postNotificationName("echo.back", n.object, n.userInfo, true);
        },
        std::nullopt, Object(), Behavior::Hold);
    center.postNotificationName("echo.ready", Object(), Object(), true);
    return RunLoopUntil([&] { return quit; }) ? 0 : 1;
  }
  if (mode == "restart") {
    bool quit = false;
    int token = 0;
    center.addObserver(
        &token,
        [&](const NSNotification& n) {
          if (n.name == "restart.ping")
            center.postNotificationName("restart.pong", Object(), Object(), true);
          if (n.name == "restart.quit") quit = true;
        },
        std::nullopt, Object(), Behavior::Hold);
    center.postNotificationName("restart.ready", Object(), Object(), true);
    const auto limit = RunLoop::Clock::now() + 30s;
    while (!quit && RunLoop::Clock::now() < limit) RunLoop::current().runOnce(limit);
    return quit ? 0 : 1;
  }
  if (mode == "post-and-exit") {
    // Another thread keeps posting while the process exits under it.
    std::thread([&center] {
      for (;;) center.postNotificationName("exit.noise", Object(), Object(), true);
    }).detach();
    center.postNotificationName("exit.bye", Object("bye"), Object(), true);
    return 0;
  }
  return 2;
}

int NoBusHelper() {
  LogCapture log;
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  Inbox inbox;
  center.addObserver(&inbox, inbox.callback(), std::nullopt, Object(), Behavior::Hold);
  center.postNotificationName("nobus", Object("x"), Object(), true);
  center.postNotificationName("nobus", Object("y"), SampleUserInfo(), true);
  center.setSuspended(true);
  center.setSuspended(false);
  center.removeObserver(&inbox);
  RunLoop::current().runOnce(RunLoop::Clock::now() + 100ms);
  const bool once = log.countContaining("NSDistributedNotificationCenter: no session bus (") == 1 &&
                    log.lines().size() == 1;
  return once && inbox.notes.empty() ? 0 : 3;
}

}  // namespace
}  // namespace vrk

int main(int argc, char** argv) {
  if (argc > 2 && std::string_view(argv[1]) == "--distributed-helper") {
    if (std::string_view(argv[2]) == "no-bus") return vrk::NoBusHelper();
    if (std::string_view(argv[2]) == "flood") return vrk::FloodHelper();
    if (std::string_view(argv[2]) == "large") return vrk::LargeHelper();
    return vrk::HelperMain(argv[2]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
