// The controller's helper installation and file copy against the real helper in a private root,
// and its sidebar entry. Each test case runs in its own process (CTest), so the shared instance
// and its _authRef are fresh.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/XPC/Launchd.h"
#include "Platform/XPC/XPCWire.h"
#include "VRKFinderSync/VRKFinderSync.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr const char* kLabel = "com.mirelta.sync.VRKLaunchDaemon";

// The controller's own lines; the listener thread may log its start at any moment.
std::vector<std::string> ClientLines(const LogCapture& log) {
  std::vector<std::string> out;
  for (const auto& line : log.lines()) {
    if (line.rfind("[FinderSync] ", 0) != 0) out.push_back(line);
  }
  return out;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class HelperInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VRK_MAIN_BUNDLE", VRK_SYNC_APP, 1);
    controller_ = VRKFinderSync::sharedInstance();
  }
  void TearDown() override {
    EXPECT_TRUE(launchd::StopService(kLabel, 20s));
    ::unsetenv("VRK_AUTHORIZATION");
  }
  fs::path plist() { return root_ / "Library/LaunchDaemons" / (std::string(kLabel) + ".plist"); }
  fs::path tool() { return root_ / "Library/PrivilegedHelperTools" / kLabel; }

  // Serves the main queue until `line` has been logged `times` times or `limit` passed.
  bool runMainQueueUntilLogged(const LogCapture& log, std::string_view line,
                               std::chrono::seconds limit, std::size_t times = 1) {
    auto end = RunLoop::Clock::now() + limit;
    while (log.count(line) < times && RunLoop::Clock::now() < end) {
      RunLoop::main().runUntil(std::min(end, RunLoop::Clock::now() + 50ms));
    }
    return log.count(line) >= times;
  }

  TemporaryRoot root_;
  std::shared_ptr<VRKFinderSync> controller_;
};

TEST_F(HelperInstall, AnInstalledHelperIsTakenAsItIsWithoutAsking) {
  fs::create_directories(plist().parent_path());
  fs::create_directories(tool().parent_path());
  std::ofstream(plist()) << "x";
  std::ofstream(tool()) << "x";
  ::setenv("VRK_AUTHORIZATION", "cancel", 1);
  LogCapture log;
  EXPECT_TRUE(controller_->tryInstallLaunchDaemon());
  EXPECT_EQ(controller_->_authRef(), nullptr);
  EXPECT_TRUE(ClientLines(log).empty());
}

TEST_F(HelperInstall, AMissingHelperIsInstalledOnceAuthorized) {
  fs::create_directories(plist().parent_path());
  std::ofstream(plist()) << "only the property list";
  LogCapture log;
  EXPECT_TRUE(controller_->tryInstallLaunchDaemon());
  EXPECT_NE(controller_->_authRef(), nullptr);
  EXPECT_EQ(ClientLines(log),
            std::vector<std::string>{"[VRK Finder sync client] Job is available!"});
  EXPECT_TRUE(fs::exists(tool()));
  EXPECT_NE(ReadFile(plist()).find("<key>MachServices</key>"), std::string::npos);
  // Installed now: the next call asks nothing and keeps the reference it has.
  auto ref = controller_->_authRef();
  EXPECT_TRUE(controller_->tryInstallLaunchDaemon());
  EXPECT_EQ(controller_->_authRef(), ref);
}

TEST_F(HelperInstall, ARefusedOrCancelledDialogReportsTheStatus) {
  for (auto [answer, line] :
       {std::pair{"cancel",
                  "[VRK Finder sync client] Something went wrong! NSOSStatusErrorDomain / -60006"},
        std::pair{
            "deny",
            "[VRK Finder sync client] Something went wrong! NSOSStatusErrorDomain / -60005"}}) {
    ::setenv("VRK_AUTHORIZATION", answer, 1);
    LogCapture log;
    EXPECT_FALSE(controller_->tryInstallLaunchDaemon()) << answer;
    EXPECT_EQ(ClientLines(log), std::vector<std::string>{line});
    EXPECT_FALSE(fs::exists(tool()));
  }
  NSErrorRef error;
  EXPECT_FALSE(controller_->blessHelperWithLabel(std::string(kLabel), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, NSOSStatusErrorDomain);
  EXPECT_EQ(error->code, -60005);
  EXPECT_FALSE(controller_->blessHelperWithLabel(std::string(kLabel), nullptr));
}

TEST_F(HelperInstall, AnUnreachableSecurityServiceIsNoCrash) {
  ::setenv("VRK_AUTHORIZATION", "unavailable", 1);
  LogCapture log;
  EXPECT_FALSE(controller_->tryInstallLaunchDaemon());
  EXPECT_EQ(ClientLines(log), std::vector<std::string>{
                                  "[VRK Finder sync client] AuthorizationCreate failed: -60008"});
}

TEST_F(HelperInstall, ACopyReturnsAtOnceAndItsReplyIsLoggedOnTheMainQueue) {
  ASSERT_TRUE(controller_->tryInstallLaunchDaemon());
  fs::path src = root_ / "a file", dst = root_ / "copy é";
  std::ofstream(src) << "contents";
  LogCapture log;
  VRKFinderSync::copyItemAtPath(src.string(), dst.string());
  // The reply can only be handled by the main queue, which this thread has not served yet.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(log.countContaining("Received response"), 0u);
  const std::string expected =
      "Received response: Copied " + src.string() + " to " + dst.string() + "..";
  ASSERT_TRUE(runMainQueueUntilLogged(log, expected, 60s)) << ::testing::PrintToString(log.lines());
  EXPECT_EQ(ReadFile(dst), "contents");
}

// This process stands in for the helper, to see the request as sent and to answer oddly.
TEST_F(HelperInstall, TheRequestCarriesExactlyTheTwoPathsAndAnOddReplyIsLogged) {
  std::string why;
  auto service = launchd::CheckIn(kLabel, &why);
  ASSERT_TRUE(service) << why;
  LogCapture log;
  VRKFinderSync::copyItemAtPath(std::nullopt, std::string("/tmp/x"));
  EXPECT_EQ(ClientLines(log), std::vector<std::string>{
                                  "Copy request not sent: source = (null), destination = /tmp/x"});
  VRKFinderSync::copyItemAtPath(std::string("/src"), std::string("/dst"));

  pollfd p{service->listener.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 20000), 1);
  UniqueFd peer(::accept4(service->listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(peer);
  xpcwire::FrameKind kind;
  Object request;
  ASSERT_EQ(xpcwire::ReadFrame(peer.get(), 10s, &kind, &request, &why), xpcwire::ReadStatus::Ok);
  EXPECT_EQ(kind, xpcwire::FrameKind::MessageWantsReply);
  EXPECT_EQ(request.description(),
            Object(ObjectDictionary{{"sourcePath", Object("/src")}, {"destPath", Object("/dst")}})
                .description());
  auto frame =
      xpcwire::EncodeFrame(xpcwire::FrameKind::Reply,
                           Object(ObjectDictionary{{"status", Object::numberWithInteger(1)}}));
  ASSERT_TRUE(xpcwire::WriteAll(peer.get(), *frame, 10s));
  EXPECT_TRUE(runMainQueueUntilLogged(log, "Received response: (null).", 30s));
  // A service that goes away after that is reported by the event handler.
  VRKFinderSync::copyItemAtPath(std::string("/src"), std::string("/dst"));
  ASSERT_EQ(::poll(&p, 1, 20000), 1);
  UniqueFd second(::accept4(service->listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_EQ(xpcwire::ReadFrame(second.get(), 10s, &kind, &request, &why), xpcwire::ReadStatus::Ok);
  second.reset();
  EXPECT_TRUE(runMainQueueUntilLogged(log, "XPC connection interupted.", 30s));
  // The event handler runs on the connection's own queue; the reply handler on the main queue.
  EXPECT_TRUE(runMainQueueUntilLogged(log, "Received response: (null).", 30s, 2));
}

TEST_F(HelperInstall, NoHelperToStartMakesTheConnectionInvalid) {
  LogCapture log;
  VRKFinderSync::copyItemAtPath(std::string("/src"), std::string("/dst"));
  EXPECT_TRUE(runMainQueueUntilLogged(log, "Received response: (null).", 30s));
  EXPECT_EQ(log.count("XPC connection invalid, releasing."), 1u);
}

class Sidebar : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("VRK_MACOS_VERSION", "10.9", 1);
    fs::create_directories(root_ / "config/gtk-3.0");
    fs::create_directories(root_ / "Sync Root é");
  }
  void TearDown() override {
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("VRK_MACOS_VERSION");
  }
  fs::path bookmarks() { return root_ / "config/gtk-3.0/bookmarks"; }
  TemporaryRoot root_;
};

TEST_F(Sidebar, ANewFolderGoesFirstOnceAndOtherLinesKeepTheirBytes) {
  const std::string folder = (root_ / "Sync Root é").string();
  const std::string others =
      "sftp://host/srv Server\nfile:///nonexistent%20dir Gone\nnot a uri\n\nfile://" +
      root_.string() + " Root label";  // no newline at the end
  std::ofstream(bookmarks()) << others;
  VRKFinderSync::addFolderToFinderSidebar(folder);
  const std::string entry = "file://" + root_.string() + "/Sync%20Root%20%C3%A9";
  EXPECT_EQ(ReadFile(bookmarks()), entry + "\n" + others);
  VRKFinderSync::addFolderToFinderSidebar(folder);
  EXPECT_EQ(ReadFile(bookmarks()), entry + "\n" + others) << "an existing favourite is not added";
  // The root, listed with a label, is already there too.
  VRKFinderSync::addFolderToFinderSidebar(root_.string());
  EXPECT_EQ(ReadFile(bookmarks()), entry + "\n" + others);
}

TEST_F(Sidebar, NothingChangesFromElCapitanOn) {
  ::setenv("VRK_MACOS_VERSION", "10.11", 1);
  VRKFinderSync::addFolderToFinderSidebar((root_ / "Sync Root é").string());
  EXPECT_FALSE(fs::exists(bookmarks()));
  ::setenv("VRK_MACOS_VERSION", "10.10", 1);
  VRKFinderSync::addFolderToFinderSidebar((root_ / "Sync Root é").string());
  EXPECT_TRUE(fs::exists(bookmarks()));
}

}  // namespace
}  // namespace vrk
