// Tests of the extension installer against the real pluginkit in a private emulated root (and
// stand-ins for it where a test needs a registry that misbehaves). Each test case runs in its
// own process, so the main bundle that a test sets up is the one the installer sees.
#include "VRKFinderSync/VRKYosemiteFindSyncExtensionHelper.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSTask.h"
#include "VRKFinderSync/VRKFinderSync.h"
#include "VRKFinderSync/VRKFinderSyncMachBridgeClientSide.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

using namespace std::chrono_literals;
using Helper = VRKYosemiteFindSyncExtensionHelper;

constexpr std::string_view kRunCommand = "[VRK Finder sync client] Run command:";
constexpr char kIdentifier[] = "com.mirelta.sync.extension";

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override { UseSyncApp(root_ / "Applications/Sync.app"); }

  // Makes `app` the sync client's bundle, with its copy of the extension inside.
  void UseSyncApp(const std::filesystem::path& app) {
    own_ = MakeExtension(app / "Contents/PlugIns/VRKFinderSyncExtension.appex");
    setenv("VRK_MAIN_BUNDLE", app.c_str(), 1);
  }

  std::string MakeExtension(const std::filesystem::path& bundle) {
    std::filesystem::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<plist><dict><key>CFBundleIdentifier</key><string>" << kIdentifier
        << "</string><key>CFBundleShortVersionString</key><string>1.0</string>"
        << "<key>NSExtension</key><dict><key>NSExtensionPointIdentifier</key>"
        << "<string>com.apple.FinderSync</string></dict></dict></plist>";
    return bundle.string();
  }

  // A copy of the extension somewhere else, registered.
  std::string Stale(const std::string& folder) {
    std::string path = MakeExtension(root_ / folder / "VRKFinderSyncExtension.appex");
    EXPECT_EQ(Pluginkit({"-a", path}), 0);
    return path;
  }

  static int Pluginkit(std::vector<std::string> arguments) {
    NSTask task;
    task.setLaunchPath(VRK_PLUGINKIT);
    task.setArguments(std::move(arguments));
    if (!task.launch()) return -1;
    task.waitUntilExit();
    return task.terminationStatus();
  }

  // The registered paths, newest first, as the registry file holds them.
  std::vector<std::string> Registered() {
    std::ifstream file(root_ / "var/db/pluginkit/registry.json");
    if (!file) return {};
    std::vector<std::string> paths;
    nlohmann::json registry = nlohmann::json::parse(file);
    for (const auto& entry : registry["plugins"]) paths.push_back(entry["path"]);
    return paths;
  }

  // Puts a stand-in registry tool into the root: a shell script with `body`.
  void StandIn(const std::string& body) {
    std::filesystem::path tool = root_ / "usr/bin/pluginkit";
    std::filesystem::create_directories(tool.parent_path());
    std::filesystem::remove(tool);
    std::ofstream(tool) << "#!/bin/sh\n" << body << "\n";
    ::chmod(tool.c_str(), 0755);
  }

  // The commands run so far, with the tool's path written as "pluginkit".
  std::vector<std::string> Commands() {
    const std::string tool = (root_ / "usr/bin/pluginkit").string();
    std::vector<std::string> commands;
    for (std::string line : log_.lines()) {
      if (!line.starts_with(kRunCommand)) continue;
      line.erase(0, kRunCommand.size());
      if (line.starts_with(tool)) line.replace(0, tool.size(), "pluginkit");
      commands.push_back(line);
    }
    return commands;
  }

  // inject makes the controller, which starts the library's listener; tests stop it again.
  void StopListener() {
    stopMachBridge();
    auto limit = std::chrono::steady_clock::now() + 5s;
    while (!log_.contains("[FinderSync] mach port unregistered") &&
           std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(2ms);
    }
  }

  TemporaryRoot root_;
  LogCapture log_;
  std::string own_;
};

TEST_F(InstallerTest, AnInstalledCopyNeedsOnlyTheQuery) {
  ASSERT_EQ(Pluginkit({"-a", own_}), 0);
  EXPECT_EQ(Helper::_pluginPath(), own_);
  EXPECT_TRUE(Helper::isInstalled());
  log_.clear();
  EXPECT_FALSE(Helper::tryReinstall());
  EXPECT_TRUE(log_.contains("[VRK Finder sync client] No need to reinstall extension"));
  EXPECT_EQ(Commands(), std::vector<std::string>{"pluginkit -m -v -i com.mirelta.sync.extension"});
}

TEST_F(InstallerTest, StaleCopiesAreRemovedInTheOrderReportedThenTheOwnCopyIsAdded) {
  std::string first = Stale("One");
  std::string second = Stale("Two");  // the newest, so reported first
  EXPECT_EQ(Helper::_installedPluginPath(), second);
  log_.clear();
  EXPECT_TRUE(Helper::tryReinstall());
  const std::string query = "pluginkit -m -v -i com.mirelta.sync.extension";
  EXPECT_EQ(Commands(),
            (std::vector<std::string>{query, query, "pluginkit -r " + second, query,
                                      "pluginkit -r " + first, query, "pluginkit -a " + own_}));
  EXPECT_EQ(Registered(), std::vector<std::string>{own_});
  EXPECT_TRUE(Helper::isInstalled());
}

TEST_F(InstallerTest, ARemovalThatBringsTheOwnCopyFirstStillEndsWithTheAdd) {
  ASSERT_EQ(Pluginkit({"-a", own_}), 0);
  std::string stale = Stale("Old");
  log_.clear();
  EXPECT_TRUE(Helper::tryReinstall());
  const std::string query = "pluginkit -m -v -i com.mirelta.sync.extension";
  EXPECT_EQ(Commands(), (std::vector<std::string>{query, query, "pluginkit -r " + stale, query,
                                                  "pluginkit -a " + own_}));
  EXPECT_EQ(Registered(), std::vector<std::string>{own_});
}

// A registry tool that keeps reporting a stale copy however often it is removed.
TEST_F(InstallerTest, ARemovalThatTakesNoEffectEndsTheLoop) {
  const std::string stale = (root_ / "Old/VRKFinderSyncExtension.appex").string();
  StandIn("[ \"$1\" = -m ] && printf '?    x(1)\\t%s\\n' '" + stale + "'; exit 0");
  log_.clear();
  EXPECT_TRUE(Helper::tryReinstall());
  EXPECT_TRUE(log_.contains("[VRK Finder sync client] Removing stale extension " + stale +
                            " took no effect"));
  const std::string query = "pluginkit -m -v -i com.mirelta.sync.extension";
  EXPECT_EQ(Commands(), (std::vector<std::string>{query, query, "pluginkit -r " + stale, query,
                                                  "pluginkit -a " + own_}));
}

TEST_F(InstallerTest, TheRemovalLoopEndsAfterSixtyFourRemovals) {
  // Every removal takes effect, but there are more stale copies than the loop will remove.
  nlohmann::json plugins = nlohmann::json::array();
  for (int i = 0; i < 70; ++i) {
    plugins.push_back({{"path", "/stale/" + std::to_string(i) + "/VRKFinderSyncExtension.appex"},
                       {"identifier", kIdentifier},
                       {"version", "1"},
                       {"point", "com.apple.FinderSync"}});
  }
  std::filesystem::create_directories(root_ / "var/db/pluginkit");
  std::ofstream(root_ / "var/db/pluginkit/registry.json") << nlohmann::json{{"plugins", plugins}};
  log_.clear();
  EXPECT_TRUE(Helper::tryReinstall());
  EXPECT_TRUE(log_.contains(
      "[VRK Finder sync client] Stopped removing stale extensions after 64 removals"));
  EXPECT_EQ(Commands().size(), 2u + 64u * 2u + 1u);
  std::vector<std::string> left = Registered();
  ASSERT_EQ(left.size(), 7u);
  EXPECT_EQ(left.front(), own_);
}

TEST_F(InstallerTest, EnablingAsksFirstAndElectsOnlyWhenNeeded) {
  // Nothing registered: the query prints nothing, and the election fails with status 1, which
  // still counts as done.
  EXPECT_FALSE(Helper::isEnabled());
  EXPECT_TRUE(Helper::tryEnable());

  ASSERT_EQ(Pluginkit({"-a", own_}), 0);
  EXPECT_TRUE(Helper::isEnabled());  // undecided
  ASSERT_EQ(Pluginkit({"-e", "ignore", "-i", kIdentifier}), 0);
  EXPECT_FALSE(Helper::isEnabled());
  log_.clear();
  EXPECT_TRUE(Helper::tryEnable());
  EXPECT_EQ(Commands(),
            (std::vector<std::string>{"pluginkit -m -i com.mirelta.sync.extension",
                                      "pluginkit -e use -i com.mirelta.sync.extension"}));
  EXPECT_TRUE(Helper::isEnabled());

  log_.clear();
  EXPECT_FALSE(Helper::tryEnable());
  EXPECT_TRUE(log_.contains("[VRK Finder sync client] Extension is already enabled."));
  EXPECT_EQ(Commands(), std::vector<std::string>{"pluginkit -m -i com.mirelta.sync.extension"});
}

TEST_F(InstallerTest, AnAddThatFailsStillCountsAsDone) {
  std::filesystem::remove_all(own_);  // pluginkit -a then exits with status 1
  EXPECT_TRUE(Helper::tryReinstall());
  EXPECT_EQ(Registered(), std::vector<std::string>{});
}

TEST_F(InstallerTest, ACommandEndedByASignalCountsAsNotDone) {
  // The stand-in kills the shell that runs it (dash runs the tool as a child).
  StandIn("[ \"$(cat /proc/$PPID/comm)\" = sh ] && kill -KILL $PPID; exit 0");
  std::int64_t reason = 1;
  EXPECT_EQ(Helper::_runCommand(root_.string() + "/usr/bin/pluginkit -m", &reason), "");
  ASSERT_EQ(reason, NSTaskTerminationReasonUncaughtSignal);
  EXPECT_FALSE(Helper::isEnabled());
  EXPECT_FALSE(Helper::tryEnable());
  EXPECT_FALSE(Helper::tryReinstall());
}

TEST_F(InstallerTest, QueryOutputIsReadAsTheRegistryMeantIt) {
  struct Case {
    std::string output;
    std::optional<std::string> path;
    bool enabled;
  };
  const std::vector<Case> cases = {
      {"+    com.mirelta.sync.extension(1.0)\t/a/b.appex\n     x\t/c\n", "/a/b.appex", true},
      {"?    x\n", std::nullopt, true},
      {"-    x\t/a\n", "/a", false},
      {"header line\n+    x(1)\t/after/header\n", "/after/header", false},
      {"+    x\t/no/line/feed", std::nullopt, true},
      {"", std::nullopt, false},
      {"+    x\t/bad/\xff\n", std::nullopt, false},  // not UTF-8: nil
  };
  std::filesystem::path output = root_ / "output";
  StandIn("cat '" + output.string() + "'");
  for (const Case& c : cases) {
    std::ofstream(output, std::ios::trunc) << c.output;
    EXPECT_EQ(Helper::_installedPluginPath(), c.path) << c.output;
    EXPECT_EQ(Helper::isEnabled(), c.enabled) << c.output;
  }
}

TEST_F(InstallerTest, WithoutARegistryToolNothingRunsAndNothingCountsAsDone) {
  StandIn("exit 0");
  ::chmod((root_ / "usr/bin/pluginkit").c_str(), 0644);
  EXPECT_FALSE(Helper::tryReinstall());
  EXPECT_FALSE(Helper::tryEnable());
  EXPECT_EQ(Commands(), std::vector<std::string>{});
  EXPECT_GE(log_.countContaining("usr/bin/pluginkit is not an executable file"), 1u);
}

TEST_F(InstallerTest, InjectInstallsAndEnablesAndAlwaysSaysYes) {
  std::string stale = Stale("Old");
  ASSERT_EQ(Pluginkit({"-e", "ignore", "-i", kIdentifier}), 0);
  EXPECT_TRUE(VRKFinderSync::inject());
  EXPECT_EQ(Registered(), std::vector<std::string>{own_});
  EXPECT_TRUE(Helper::isEnabled());
  log_.clear();
  EXPECT_TRUE(VRKFinderSync::inject());  // nothing to do
  EXPECT_EQ(Commands().size(), 2u);
  StopListener();
}

TEST_F(InstallerTest, InjectBeforeYosemiteTakesTheLegacyWay) {
  setenv("VRK_MACOS_VERSION", "10.9", 1);
  // No Finder is running to load the bundle into; inject reports it only by its result.
  EXPECT_FALSE(VRKFinderSync::inject());
  EXPECT_EQ(Commands(), std::vector<std::string>{});
  EXPECT_EQ(log_.countContaining("[VRK Finder sync client]"), 0u);
  StopListener();
}

// Paths reach pluginkit as single arguments: nothing in them runs.
class InstallerPathTest : public InstallerTest,
                          public ::testing::WithParamInterface<std::string> {};

TEST_P(InstallerPathTest, TheRegistryHoldsTheExactPathAndNothingElseRuns) {
  ASSERT_EQ(::chdir(root_.path().c_str()), 0);  // where a "touch sentinel" would land
  UseSyncApp(root_ / GetParam() / "Sync.app");
  // pluginkit refuses a path with a line feed, so a stale copy with one is in the registry as
  // an earlier version wrote it.
  const bool lineFeed = GetParam().find('\n') != std::string::npos;
  if (lineFeed) {
    std::string stale =
        MakeExtension(root_ / (GetParam() + " old") / "VRKFinderSyncExtension.appex");
    std::filesystem::create_directories(root_ / "var/db/pluginkit");
    nlohmann::json copy = {{"path", stale},
                           {"identifier", kIdentifier},
                           {"version", "1"},
                           {"point", "com.apple.FinderSync"}};
    std::ofstream(root_ / "var/db/pluginkit/registry.json")
        << nlohmann::json{{"plugins", nlohmann::json::array({copy})}};
  } else {
    Stale(GetParam() + " old");
  }
  EXPECT_TRUE(Helper::tryReinstall());
  EXPECT_FALSE(std::filesystem::exists(root_ / "sentinel"));
  std::vector<std::string> registered = Registered();
  if (lineFeed) {
    // The stale copy, listed escaped, is removed by what the listing shows; the client's own
    // copy, whose path holds the line feed too, is refused.
    EXPECT_TRUE(registered.empty());
    EXPECT_FALSE(Helper::isEnabled());
    return;
  }
  EXPECT_TRUE(Helper::isEnabled());
  ASSERT_FALSE(registered.empty());
  EXPECT_EQ(registered.front(), own_);
  EXPECT_EQ(registered.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Metacharacters, InstallerPathTest,
                         ::testing::Values("with blank", "single'quote", "double\"quote",
                                           "$(touch sentinel)", "`touch sentinel`",
                                           "semi;touch sentinel", "pipe|touch sentinel",
                                           "amp&touch sentinel", "new\ntouch sentinel", "star*",
                                           "-leading dash", "back\\slash", "ünïcode"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return "Path" + std::to_string(info.index);
                         });

}  // namespace
}  // namespace vrk
