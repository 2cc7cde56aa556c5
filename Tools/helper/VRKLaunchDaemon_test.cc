// The helper as installed by SMJobBless into a private root and started by launchd on demand:
// what it serves, and attacks by other users (run with setpriv) and by bad frames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "Platform/Foundation/UniqueFd.h"
#include "Platform/ServiceManagement/SMJobBless.h"
#include "Platform/XPC/Launchd.h"
#include "Platform/XPC/XPCWire.h"
#include "Platform/XPC/xpc.h"
#include "Tools/helper/ConnectionHolder.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr const char* kLabel = "com.mirelta.sync.VRKLaunchDaemon";
constexpr uid_t kUser = 12345;
constexpr uid_t kStranger = 23456;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class InstalledHelper : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    ::chmod(root_.path().c_str(), 0755);
    ::setenv("VRK_MAIN_BUNDLE", VRK_SYNC_APP, 1);
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &auth_), errAuthorizationSuccess);
    AuthorizationItem item{kSMRightBlessPrivilegedHelper, 0, nullptr, 0};
    AuthorizationRights rights{1, &item};
    ASSERT_EQ(AuthorizationCopyRights(auth_, &rights, nullptr, 19, nullptr), 0);
    CFErrorRef error;
    ASSERT_TRUE(SMJobBless(kSMDomainSystemLaunchd, kLabel, auth_, &error));
    EXPECT_EQ(error, nullptr);
    home_ = root_ / "users";
    ASSERT_EQ(::mkdir(home_.c_str(), 0755), 0);
  }
  void TearDown() override {
    stopDaemon();
    if (auth_) AuthorizationFree(auth_, 0);
    ::unsetenv("VRK_MAIN_BUNDLE");
  }

  // The installed job, changed to serve `user` and to exit after `idle` seconds.
  void serve(uid_t user, int idle = 60) {
    const fs::path plist = root_ / "Library/LaunchDaemons" / (std::string(kLabel) + ".plist");
    std::string xml = ReadFile(plist);
    const std::string from = "<key>VRK_BLESSING_UID</key>\n\t\t<string>0</string>";
    auto at = xml.find(from);
    ASSERT_NE(at, std::string::npos) << xml;
    xml.replace(at, from.size(),
                "<key>VRK_BLESSING_UID</key><string>" + std::to_string(user) +
                    "</string><key>VRK_HELPER_IDLE_SECONDS</key><string>" + std::to_string(idle) +
                    "</string>");
    std::ofstream(plist) << xml;
    // launchd runs as root; the first request here is root's, so the helper runs as root too.
    std::string why;
    ASSERT_TRUE(launchd::ConnectMachService(kLabel, 20s, &why)) << why;
  }

  fs::path userDir(uid_t user) {
    fs::path dir = home_ / std::to_string(user);
    if (!fs::exists(dir)) {
      ::mkdir(dir.c_str(), 0755);
      EXPECT_EQ(::chown(dir.c_str(), user, user), 0);
    }
    return dir;
  }
  void writeAs(uid_t user, const fs::path& p, const std::string& text, mode_t mode) {
    std::ofstream(p) << text;
    ASSERT_EQ(::chown(p.c_str(), user, user), 0);
    ASSERT_EQ(::chmod(p.c_str(), mode), 0);
  }

  // The helper's answer to a copy request made by a process of `user`.
  std::string copyAs(uid_t user, const std::string& from, const std::string& to) {
    std::string cmd;
    if (user != 0) {
      cmd = "setpriv --reuid=" + std::to_string(user) + " --regid=" + std::to_string(user) +
            " --clear-groups ";
    }
    cmd += std::string(VRK_HELPER_COPY) + " '" + from + "' '" + to + "' 2>/dev/null";
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
      char buf[4096];
      while (std::fgets(buf, sizeof buf, p)) out += buf;
      ::pclose(p);
    }
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  bool waitUntilGone(std::chrono::seconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (launchd::ServiceRunning(kLabel)) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }
  void stopDaemon() { EXPECT_TRUE(launchd::StopService(kLabel, 20s)); }
  std::string log() { return ReadFile(root_ / "var/log" / (std::string(kLabel) + ".log")); }

  TemporaryRoot root_;
  AuthorizationRef auth_ = nullptr;
  fs::path home_;
};

TEST_F(InstalledHelper, BlessingInstallsTheHelperAndItsJobWithTheirModes) {
  struct stat st;
  ASSERT_EQ(::stat((root_ / "Library/PrivilegedHelperTools" / kLabel).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0544u);
  const fs::path plist = root_ / "Library/LaunchDaemons" / (std::string(kLabel) + ".plist");
  ASSERT_EQ(::stat(plist.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  std::string why;
  auto job = launchd::LoadJob(plist, &why);
  ASSERT_TRUE(job) << why;
  EXPECT_EQ(job->programArguments.at(0),
            (root_ / "Library/PrivilegedHelperTools" / kLabel).string());
  EXPECT_EQ(job->machServices, std::vector<std::string>{kLabel});
  EXPECT_EQ(job->environment.at("VRK_BLESSING_UID"), "0");
  // No temporary file is left beside either.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "Library/LaunchDaemons"), {}), 1);

  AuthorizationRef bare = nullptr;
  ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &bare), 0);
  CFErrorRef error;
  EXPECT_FALSE(SMJobBless(kSMDomainSystemLaunchd, kLabel, bare, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain, kSMErrorDomainLaunchd);
  EXPECT_EQ(error->code, kSMErrorAuthorizationFailure);
  EXPECT_FALSE(SMJobBless(kSMDomainSystemLaunchd, "com.example.NotOurs", auth_, &error));
  EXPECT_EQ(error->code, kSMErrorToolNotValid);
  EXPECT_FALSE(SMJobBless(kSMDomainUserLaunchd, kLabel, auth_, &error));
  EXPECT_EQ(error->code, kSMErrorInternalFailure);
  AuthorizationFree(bare, 0);
}

TEST_F(InstalledHelper, StartsOnDemandAndAgainAfterItHasExited) {
  serve(kUser, 1);
  fs::path dir = userDir(0);
  writeAs(0, dir / "a", "hello", 0644);
  EXPECT_EQ(copyAs(0, (dir / "a").string(), (dir / "b").string()),
            "Copied " + (dir / "a").string() + " to " + (dir / "b").string() + ".");
  EXPECT_EQ(ReadFile(dir / "b"), "hello");
  ASSERT_TRUE(waitUntilGone(30s)) << "the idle helper did not exit";
  EXPECT_FALSE(fs::exists(launchd::MachServiceSocketPath(kLabel)));
  EXPECT_EQ(copyAs(0, (dir / "a").string(), (dir / "c").string()).rfind("Copied ", 0), 0u);
  std::string text = log();
  std::size_t starts = 0;
  for (auto at = text.find("serving uid"); at != std::string::npos;
       at = text.find("serving uid", at + 1))
    ++starts;
  EXPECT_EQ(starts, 2u) << text;
}

TEST_F(InstalledHelper, OtherUsersAndOtherPeoplesFilesAreRefused) {
  serve(kUser);
  fs::path mine = userDir(kUser), theirs = userDir(kStranger);
  writeAs(kUser, mine / "doc", "doc", 04750);
  writeAs(kStranger, theirs / "secret", "secret", 0600);
  writeAs(kStranger, theirs / "own", "own", 0644);

  // A stranger is refused even for a copy of its own file into its own folder.
  EXPECT_EQ(copyAs(kStranger, (theirs / "own").string(), (theirs / "copy").string()),
            "Refused: this helper serves only the user who installed it.");
  EXPECT_FALSE(fs::exists(theirs / "copy"));

  // The blessed user gets exactly its own rights.
  EXPECT_EQ(copyAs(kUser, (theirs / "secret").string(), (mine / "loot").string()),
            "Refused: the source: permission denied.");
  EXPECT_EQ(copyAs(kUser, (mine / "doc").string(), (theirs / "planted").string()),
            "Refused: the destination folder: permission denied.");
  ASSERT_EQ(::link((theirs / "secret").c_str(), (mine / "hard").c_str()), 0);
  EXPECT_EQ(copyAs(kUser, (mine / "hard").string(), (mine / "loot").string()),
            "Refused: the source has other hard links.");
  fs::create_symlink(theirs / "own", mine / "trap");
  EXPECT_EQ(copyAs(kUser, (mine / "doc").string(), (mine / "trap").string()),
            "Refused: the destination is a symbolic link.");
  ASSERT_EQ(::mkfifo((mine / "fifo").c_str(), 0644), 0);
  EXPECT_EQ(copyAs(kUser, (mine / "fifo").string(), (mine / "loot").string()),
            "Refused: the source is not a regular file.");
  EXPECT_EQ(copyAs(kUser, "/dev/zero", (mine / "loot").string()),
            "Refused: the source is not a regular file.");
  EXPECT_EQ(copyAs(kUser, "doc", (mine / "loot").string()), "Refused: the path is not absolute.");
  EXPECT_FALSE(fs::exists(mine / "loot"));
  EXPECT_EQ(ReadFile(theirs / "own"), "own");

  EXPECT_EQ(copyAs(kUser, (mine / "doc").string(), (mine / "copy").string()).rfind("Copied ", 0),
            0u);
  struct stat st;
  ASSERT_EQ(::stat((mine / "copy").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kUser);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_NE(log().find("refusing uid 23456"), std::string::npos);
}

// Sends raw bytes on a new connection and tells whether the helper closed it.
bool ClosedAfter(const std::vector<std::byte>& bytes) {
  std::string why;
  UniqueFd fd = launchd::ConnectMachService(kLabel, 20s, &why);
  if (!fd) return false;
  ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  pollfd p{fd.get(), POLLIN, 0};
  if (::poll(&p, 1, 15000) != 1) return false;
  char c;
  return ::recv(fd.get(), &c, 1, 0) == 0;
}

TEST_F(InstalledHelper, BadFramesCloseTheirConnectionAndTheHelperKeepsServing) {
  serve(0);
  fs::path dir = userDir(0);
  writeAs(0, dir / "a", "a", 0644);
  auto header = [](std::uint32_t length, int kind) {
    std::vector<std::byte> h(8);
    for (int i = 0; i < 4; ++i) h[i] = std::byte((length >> (8 * i)) & 0xff);
    h[4] = std::byte(kind);
    return h;
  };
  EXPECT_TRUE(ClosedAfter(header(1 << 20, 2))) << "a 1 MB frame";
  EXPECT_TRUE(ClosedAfter(header(10, 9))) << "an unknown kind";
  auto garbage = header(6, 2);
  for (int b : {int('d'), 9, 9, 9, 9, 0}) garbage.push_back(std::byte(b));
  EXPECT_TRUE(ClosedAfter(garbage)) << "a dictionary count past the end";
  auto reply = xpcwire::EncodeFrame(xpcwire::FrameKind::Reply, Object(ObjectDictionary{}));
  EXPECT_TRUE(ClosedAfter(*reply)) << "a reply sent to the helper";
  // A request with other keys is answered, not served.
  EXPECT_EQ(copyAs(0, "", (dir / "b").string()), "Refused: the path is empty.");
  EXPECT_EQ(copyAs(0, (dir / "a").string(), (dir / "b").string()).rfind("Copied ", 0), 0u);
}

TEST_F(InstalledHelper, AHundredClientsAtOnceAreAllServed) {
  serve(0);
  fs::path dir = userDir(0);
  writeAs(0, dir / "src", "payload", 0644);
  constexpr int kClients = 100;
  // Shared with the connections' threads, which may outlive a failed wait.
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    int answered = 0, copied = 0;
  };
  auto state = std::make_shared<State>();
  for (int i = 0; i < kClients; ++i) {
    auto c =
        xpc_connection_create_mach_service(kLabel, nullptr, XPC_CONNECTION_MACH_SERVICE_PRIVILEGED);
    xpc_connection_set_event_handler(c, [](xpc_object_t) {});
    xpc_connection_resume(c);
    auto m = xpc_dictionary_create(nullptr, nullptr, 0);
    xpc_dictionary_set_string(m, "sourcePath", (dir / "src").c_str());
    xpc_dictionary_set_string(m, "destPath", (dir / ("dst" + std::to_string(i))).c_str());
    xpc_connection_send_message_with_reply(c, m, nullptr, [state](xpc_object_t r) {
      const char* text = xpc_dictionary_get_string(r, "reply");
      std::lock_guard lock(state->mutex);
      ++state->answered;
      if (text && std::string_view(text).starts_with("Copied ")) ++state->copied;
      state->cv.notify_all();
    });
  }
  std::unique_lock lock(state->mutex);
  ASSERT_TRUE(state->cv.wait_for(lock, 120s, [&] { return state->answered == kClients; }));
  EXPECT_EQ(state->copied, kClients);
  EXPECT_EQ(ReadFile(dir / "dst99"), "payload");
}

TEST_F(InstalledHelper, AnotherUserHoldingManyConnectionsDoesNotLockTheBlessedUserOut) {
  serve(kUser);
  fs::path mine = userDir(kUser), theirs = userDir(kStranger);
  writeAs(kUser, mine / "doc", "doc", 0644);
  writeAs(kStranger, theirs / "own", "own", 0644);
  // More connections than the whole table, each opened again as soon as it is closed.
  helper::NobodyHoldingConnections nobody(launchd::MachServiceSocketPath(kLabel), 600);
  ASSERT_TRUE(nobody.holding());
  for (int i = 0; i < 5; ++i) {
    const fs::path copy = mine / ("copy" + std::to_string(i));
    EXPECT_EQ(copyAs(kUser, (mine / "doc").string(), copy.string()),
              "Copied " + (mine / "doc").string() + " to " + copy.string() + ".");
    EXPECT_EQ(ReadFile(copy), "doc");
  }
  // A stranger who asks is still told why it is not served. Its connection competes with the
  // flood's in the socket's queue, where a slow build (ThreadSanitizer) may lose it; what
  // matters is that the answer, when it comes, is the refusal.
  std::string told;
  for (int i = 0; i < 5 && told.empty(); ++i) {
    told = copyAs(kStranger, (theirs / "own").string(), (theirs / "copy").string());
  }
  EXPECT_EQ(told, "Refused: this helper serves only the user who installed it.");
  EXPECT_FALSE(fs::exists(theirs / "copy"));
  // Hundreds of refusals are logged as a few lines with counts, not a line each.
  for (int i = 0; i < 600 && log().find("since the last line)") == std::string::npos; ++i)
    std::this_thread::sleep_for(50ms);
  std::string text = log();
  std::size_t lines = 0;
  for (auto at = text.find("uid 65534"); at != std::string::npos;
       at = text.find("uid 65534", at + 1))
    ++lines;
  EXPECT_GE(lines, 1u) << text;
  EXPECT_LT(lines, 100u);
  EXPECT_NE(text.find("since the last line)"), std::string::npos);
}

TEST_F(InstalledHelper, OneUidCannotTakeTheWholeConnectionTable) {
  serve(kUser);
  fs::path mine = userDir(kUser);
  writeAs(kUser, mine / "doc", "doc", 0644);
  // Root's own idle connections, more than the table holds.
  std::vector<UniqueFd> held;
  for (int i = 0; i < 600; ++i) {
    std::string why;
    held.push_back(launchd::ConnectMachService(kLabel, 20s, &why));
    ASSERT_TRUE(held.back()) << why;
  }
  const fs::path copy = mine / "copy";
  EXPECT_EQ(copyAs(kUser, (mine / "doc").string(), copy.string()),
            "Copied " + (mine / "doc").string() + " to " + copy.string() + ".");
  EXPECT_EQ(ReadFile(copy), "doc");
}

TEST_F(InstalledHelper, APathWithALineBreakIsLoggedAsOneEscapedLine) {
  serve(kUser);
  fs::path mine = userDir(kUser);
  writeAs(kUser, mine / "doc", "doc", 0644);
  const std::string forged = "x\n2030-01-01 00:00:00.000 " + std::string(kLabel) + "[1:1] forged";
  const fs::path dest = mine / forged;
  EXPECT_EQ(copyAs(kUser, (mine / "doc").string(), dest.string()).rfind("Copied ", 0), 0u);
  EXPECT_EQ(ReadFile(dest), "doc");
  std::string text = log();
  EXPECT_EQ(text.find("\n2030-01-01"), std::string::npos) << text;
  const std::string shown =
      (mine / "x").string() + "\\n2030-01-01 00:00:00.000 " + kLabel + "[1:1] forged";
  std::size_t lines = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines += line.find(shown) != std::string::npos;
  EXPECT_EQ(lines, 1u) << text;
}

}  // namespace
}  // namespace vrk

int main(int argc, char** argv) {
  if (argc == 4 && std::string_view(argv[1]) == "--hold-connections") {
    return vrk::helper::HoldConnections(argv[2], std::atoi(argv[3]));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
