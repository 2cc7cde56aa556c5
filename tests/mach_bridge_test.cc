// The Mach bridge across two processes: the library's listener runs in this test process with
// a recording target, the extension's end in mach_extension_helper, driven over pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/SanitizerBuild.h"
#include "Platform/Mach/PortSpace.h"
#include "VRKFinderSync/VRKFinderSyncMachBridgeClientSide.h"
#include "VRKFinderSync/VRKMachBridgeTargetRecorder.h"
#include "tests/support/TemporaryRoot.h"

extern char** environ;

namespace vrk {
namespace {

namespace fs = std::filesystem;
using Call = VRKMachBridgeTargetRecorder::Call;

struct Response {
  std::vector<std::string> logs;
  std::string result;
  bool logged(std::string_view line) const {
    return std::find(logs.begin(), logs.end(), line) != logs.end();
  }
  std::size_t loggedContaining(std::string_view part) const {
    return std::count_if(logs.begin(), logs.end(),
                         [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }
};

// The extension process.
class ExtensionProcess {
 public:
  ExtensionProcess() {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char* argv[] = {const_cast<char*>(MACH_EXTENSION_HELPER), nullptr};
    EXPECT_EQ(::posix_spawn(&pid_, MACH_EXTENSION_HELPER, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
  }
  ~ExtensionProcess() {
    ::close(toChild_);  // end of input: the helper leaves
    ::close(fromChild_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

  Response run(const std::string& line) {
    std::string text = line + "\n";
    EXPECT_EQ(::write(toChild_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    Response response;
    for (std::string reply = readLine(); reply != "END"; reply = readLine()) {
      if (reply.starts_with("LOG ")) response.logs.push_back(reply.substr(4));
      if (reply.starts_with("RESULT ")) response.result = reply.substr(7);
      if (reply.empty() && eof_) {
        ADD_FAILURE() << "the extension process ended during: " << line;
        break;
      }
    }
    return response;
  }

 private:
  std::string readLine() {
    for (;;) {
      if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd pfd{fromChild_, POLLIN, 0};
      char chunk[4096];
      ssize_t n = ::poll(&pfd, 1, 120000) == 1 ? ::read(fromChild_, chunk, sizeof chunk) : 0;
      if (n <= 0) {
        eof_ = true;
        return "";
      }
      buffer_.append(chunk, n);
    }
  }

  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string buffer_;
  bool eof_ = false;
};

bool WaitForLog(const LogCapture& log, std::string_view line) {
  for (int i = 0; i < 2000 && !log.contains(line); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return log.contains(line);
}

// AddressSanitizer keeps freed memory in quarantine, so the resident size grows with every
// allocation there; the name table still shows whether rights leak.
constexpr bool kResidentSizeIsMeaningful = !kBuiltWithAddressSanitizer;

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

class MachBridgeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (listening_) StopListener();
  }

  void StartListener() {
    LogCapture log;
    startMachBridge(recorder_.get());
    ASSERT_TRUE(WaitForLog(log, "[FinderSync] mach port registered"));
    listening_ = true;
  }
  void StopListener() {
    LogCapture log;
    stopMachBridge();
    ASSERT_TRUE(WaitForLog(log, "[FinderSync] mach port unregistered"));
    listening_ = false;
  }
  void AnswerLockQuestions(bool showLock, bool showUnlock, bool isFile) {
    recorder_->onLockQuestion = [=](const std::optional<std::string>&, const void* msg) {
      replyShouldShowLockMenuItemMachMsg(msg, showLock, showUnlock, isFile);
    };
  }

  TemporaryRoot root_;
  bool listening_ = false;
  std::shared_ptr<VRKMachBridgeTargetRecorder> recorder_ =
      std::make_shared<VRKMachBridgeTargetRecorder>();
};

TEST_F(MachBridgeTest, EveryCommandReachesItsOperation) {
  AnswerLockQuestions(true, false, true);
  StartListener();
  LogCapture libraryLog;
  ExtensionProcess extension;
  Response first = extension.run("begin /d 1");
  EXPECT_EQ(first.logs, (std::vector<std::string>{
                            "[Finder Sync Extension] Create local port succeeded",
                            "[Finder Sync Extension] connected to dylib",
                        }));
  for (const char* line :
       {"end /d2", "badge /i3", "click 4 /s4", "click 5 /w5", "send 0 /x0", "send 7 /x7",
        "send 11 /x11", "click 8 /l8", "click 9 /u9", "send 9 /u9", "click 10 /h10"}) {
    EXPECT_TRUE(extension.run(line).logs.empty()) << line;
  }
  // The answer comes only after everything sent before it was handled, in order.
  Response lock = extension.run("lock /q 6");
  EXPECT_EQ(lock.result, "1 0 1");
  EXPECT_TRUE(
      lock.logged("[Finder Sync Extension] extension中收到的Mach msg showLock = 1, showUnlock = 0, "
                  "isFile = 1"));

  const std::vector<Call> expected = {
      {"notifyPythonBeginObserve", "/d 1"},
      {"notifyPythonEndObserve", "/d2"},
      {"notifyPythonBadgeNotExist4ItemAtPath", "/i3"},
      {"shareLink", "/s4"},
      {"viewOnWebsite", "/w5"},
      {"lockFile", "/l8"},
      {"unlockFile", "/u9"},
      {"unlockFile", "/u9"},
      {"viewHistoryVersions", "/h10"},
      {"requestPythonItemLockPermissionAtPath", "/q 6"},
  };
  EXPECT_EQ(recorder_->calls(), expected);
  for (const char* command : {"0", "7", "11"}) {
    EXPECT_EQ(libraryLog.count(std::string("[FinderSync] handleMachMessage, command = ") + command),
              1u);
  }
}

TEST_F(MachBridgeTest, RequestIsByteExactAndLongPathsAreRefused) {
  // The library's socket, read raw so that the request is seen exactly as it travels.
  fs::path dir = root_ / "var/run/bootstrap";
  ASSERT_TRUE(emulated::EnsurePrivateDirectory(dir));
  int library = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, (dir / kVRKMachServiceName).c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(library, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  auto receive = [&](unsigned char* bytes, std::size_t size) -> ssize_t {
    pollfd pfd{library, POLLIN, 0};
    if (::poll(&pfd, 1, 300) != 1) return -1;
    return ::recv(library, bytes, size, 0);
  };

  ExtensionProcess extension;
  extension.run("click 4 /a/b");
  unsigned char wire[2048];
  ASSERT_EQ(receive(wire, sizeof wire), 1056);
  VRKMachRequestMessage expected;
  std::memset(&expected, 0, sizeof expected);
  expected.header.msgh_bits = 5395;
  expected.header.msgh_size = 1056;
  expected.command = 4;
  std::memcpy(expected.path, "/a/b", 4);
  // The port fields hold the extension's own names: set, but meaningless here.
  std::memcpy(&expected.header.msgh_remote_port, wire + 8, 8);
  EXPECT_NE(expected.header.msgh_remote_port, 0u);
  EXPECT_NE(expected.header.msgh_local_port, 0u);
  EXPECT_EQ(std::memcmp(wire, &expected, sizeof expected), 0);

  extension.run("long 4 1023");
  ASSERT_EQ(receive(wire, sizeof wire), 1056);
  EXPECT_EQ(::strnlen(reinterpret_cast<char*>(wire) + 32, 1024), 1023u);

  Response refused = extension.run("long 4 1024");
  EXPECT_EQ(refused.loggedContaining("does not fit the message"), 1u);
  EXPECT_EQ(receive(wire, sizeof wire), -1);
  ::close(library);
}

TEST_F(MachBridgeTest, LibraryNotRunning) {
  ExtensionProcess extension;
  Response begin = extension.run("begin /x");
  EXPECT_TRUE(begin.logged("[Finder Sync Extension] Failed to find bootstrap port"));
  EXPECT_FALSE(begin.logged("[Finder Sync Extension] Lost connection with dylib"));
  Response lock = extension.run("lock /x");
  EXPECT_EQ(lock.result, "null");
  EXPECT_TRUE(lock.logged("[Finder Sync Extension] Failed to find bootstrap port"));
}

TEST_F(MachBridgeTest, LibraryRestartedIsFoundAgainAfterOneLostRequest) {
  StartListener();
  ExtensionProcess extension;
  extension.run("badge /1");
  ASSERT_TRUE(recorder_->waitForCount(1));
  StopListener();
  StartListener();

  Response lost = extension.run("badge /2");
  EXPECT_EQ(lost.logs, (std::vector<std::string>{
                           "[Finder Sync Extension] failed to send command 3 to Dylib, error = "
                           "(ipc/send) invalid destination port",
                           "[Finder Sync Extension] Lost connection with dylib",
                       }));
  Response found = extension.run("badge /3");
  EXPECT_EQ(found.logs, (std::vector<std::string>{"[Finder Sync Extension] connected to dylib"}));
  ASSERT_TRUE(recorder_->waitForCount(2));
  EXPECT_EQ(recorder_->calls(), (std::vector<Call>{
                                    {"notifyPythonBadgeNotExist4ItemAtPath", "/1"},
                                    {"notifyPythonBadgeNotExist4ItemAtPath", "/3"},
                                }));
}

TEST_F(MachBridgeTest, FullQueueTimesSendsOutAndKeepsTheConnection) {
  std::mutex mutex;
  std::condition_variable released;
  bool busy = true;
  recorder_->onBeginObserve = [&](const std::optional<std::string>& path) {
    if (path != "/busy") return;
    std::unique_lock lock(mutex);
    released.wait(lock, [&] { return !busy; });
  };
  StartListener();
  ExtensionProcess extension;
  extension.run("begin /busy");
  ASSERT_TRUE(recorder_->waitForCount(1));

  Response flood = extension.run("flood 3 20 /queued");
  std::istringstream result(flood.result);
  long failures = 0, slowestMs = 0;
  result >> failures >> slowestMs;
  // The first time-out starts a stall: one failure line, and later sends no longer wait.
  EXPECT_EQ(failures, 1);
  EXPECT_GE(slowestMs, 90);
  EXPECT_LT(slowestMs, 2000);
  {
    std::lock_guard lock(mutex);
    busy = false;
  }
  released.notify_all();

  // Lets the library drain what was queued: while the queue is full, sends during a stall are
  // dropped without waiting.
  for (std::size_t before = 0; before != recorder_->count();) {
    before = recorder_->count();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  // Still connected: no new lookup, and the request after the stall arrives. The stall ended
  // with the first send that went through, during the flood or with this one.
  Response after = extension.run("badge /after");
  EXPECT_EQ(after.loggedContaining("connected to dylib"), 0u);
  EXPECT_LE(after.logs.size(), 1u);
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < limit &&
         recorder_->calls().back().path != std::optional<std::string>("/after")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(recorder_->calls().back(), (Call{"notifyPythonBadgeNotExist4ItemAtPath", "/after"}));
}

TEST_F(MachBridgeTest, LateAndMadeUpAnswersAreIgnored) {
  std::atomic<const void*> late{nullptr};
  recorder_->onLockQuestion = [&](const std::optional<std::string>& path, const void* msg) {
    if (path == "/late") {
      late = msg;
    } else if (path == "/made-up") {
      static const int madeUp = 0;
      replyShouldShowLockMenuItemMachMsg(&madeUp, true, true, true);
    } else {
      replyShouldShowLockMenuItemMachMsg(msg, false, true, false);
    }
  };
  StartListener();
  LogCapture libraryLog;
  ExtensionProcess extension;

  Response unanswered = extension.run("lock /late");
  EXPECT_EQ(unanswered.result, "null");
  EXPECT_TRUE(unanswered.logged(
      "[Finder Sync Extension] failed to receive shouldShowLockMenuItem reply, error = (ipc/rcv) "
      "timed out"));
  replyShouldShowLockMenuItemMachMsg(late.load(), true, true, true);
  EXPECT_EQ(extension.run("lock /made-up").result, "null");
  EXPECT_EQ(libraryLog.countContaining("[FinderSync] ignoring a lock reply"), 2u);

  // Had either answer been sent, it would wait on the extension's port as a stale message.
  Response answered = extension.run("lock /ok");
  EXPECT_EQ(answered.result, "0 1 0");
  EXPECT_EQ(answered.loggedContaining("stale"), 0u);
}

TEST_F(MachBridgeTest, FloodLeavesMemoryFlatAndTheNextRequestIsServed) {
  recorder_->countOnly = true;
  AnswerLockQuestions(true, true, false);
  StartListener();
  ExtensionProcess extension;
  // One log line per request would swamp the test's output.
  int savedStderr = ::dup(2);
  int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(devNull, 2);

  extension.run("flood 3 2000 /warm-up");
  bool warmed = recorder_->waitForCount(2000, std::chrono::seconds(60));
  const long before = ResidentBytes();
  const std::size_t names = mach_internal::PortSpace::shared().sizeForTesting();
  Response flood = extension.run("flood 3 100000 /flood");
  long failures = std::atol(flood.result.c_str());
  bool flooded = recorder_->waitForCount(2000 + 100000 - failures, std::chrono::seconds(120));
  const long after = ResidentBytes();
  // Every request brought a reply right; none may stay behind (the last request's may still be
  // in its dispatch).
  EXPECT_LE(mach_internal::PortSpace::shared().sizeForTesting(), names + 1);

  ::dup2(savedStderr, 2);
  ::close(savedStderr);
  ::close(devNull);
  ASSERT_TRUE(warmed);
  ASSERT_TRUE(flooded);
  EXPECT_LT(failures, 100000);
  if (kResidentSizeIsMeaningful) {
    EXPECT_LT(after - before, 4L << 20) << "resident size grew from " << before << " to " << after;
  }
  EXPECT_EQ(extension.run("lock /next").result, "1 1 0");
}

}  // namespace
}  // namespace vrk

namespace vrk {
namespace {

TEST_F(MachBridgeTest, AnAnswerKeptFromAnEarlierQuestionDoesNotAnswerTheNextOne) {
  // Every question reaches the listener in the same receive buffer, so only a handle of its
  // own tells two questions apart.
  std::atomic<const void*> kept{nullptr};
  recorder_->onLockQuestion = [&](const std::optional<std::string>& path, const void* msg) {
    if (path == "/first") {
      kept = msg;
      replyShouldShowLockMenuItemMachMsg(msg, true, false, false);
    } else {
      EXPECT_NE(msg, kept.load());
      replyShouldShowLockMenuItemMachMsg(kept.load(), true, true, true);  // ignored
      replyShouldShowLockMenuItemMachMsg(msg, false, true, false);
    }
  };
  StartListener();
  LogCapture libraryLog;
  ExtensionProcess extension;
  EXPECT_EQ(extension.run("lock /first").result, "1 0 0");
  EXPECT_EQ(extension.run("lock /second").result, "0 1 0");
  EXPECT_EQ(libraryLog.countContaining("[FinderSync] ignoring a lock reply"), 1u);
}

TEST_F(MachBridgeTest, AReplyThatComesAfterTheWaitIsNotTakenForTheNextAnswer) {
  // The first answer comes after the extension gave up waiting; by then the second question
  // is queued behind it and answered at once with other flags.
  std::promise<void> gaveUp;
  std::shared_future<void> waitOver = gaveUp.get_future().share();
  recorder_->onLockQuestion = [&](const std::optional<std::string>& path, const void* msg) {
    if (path == "/slow") {
      // Answered only once the extension has stopped waiting for this answer.
      waitOver.wait_for(std::chrono::seconds(10));
      replyShouldShowLockMenuItemMachMsg(msg, true, true, true);
    } else {
      replyShouldShowLockMenuItemMachMsg(msg, false, false, true);
    }
  };
  StartListener();
  ExtensionProcess extension;
  Response slow = extension.run("lock /slow");
  gaveUp.set_value();
  EXPECT_EQ(slow.result, "null");
  Response next = extension.run("lock /next");
  EXPECT_EQ(next.result, "0 0 1");
  EXPECT_TRUE(next.logged("[Finder Sync Extension] Create local port succeeded"));
}

}  // namespace
}  // namespace vrk
