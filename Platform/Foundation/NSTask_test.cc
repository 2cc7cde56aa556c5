// Tests of NSTask and NSPipe with real child processes, and of the emulated root's tools.
#include "Platform/Foundation/NSTask.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "Platform/Foundation/EmulatedTools.h"
#include "Platform/Foundation/NSLog.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

using namespace std::chrono_literals;

struct Ran {
  bool launched = false;
  std::int64_t reason = 0;
  int status = 0;
  std::string output;
};

Ran RunTask(std::string launchPath, std::vector<std::string> arguments,
            std::chrono::milliseconds limit = kDefaultTaskLimit,
            std::chrono::milliseconds readLimit = kDefaultTaskLimit) {
  NSTask task;
  task.setLaunchPath(std::move(launchPath));
  task.setArguments(std::move(arguments));
  auto pipe = NSPipe::pipe();
  task.setStandardOutput(pipe);
  Ran ran;
  ran.launched = task.launch();
  task.waitUntilExit(limit);
  std::vector<std::byte> bytes = pipe->readDataToEndOfFile(readLimit);
  ran.output.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  ran.reason = task.terminationReason();
  ran.status = task.terminationStatus();
  return ran;
}

Ran Shell(std::string command) {
  return RunTask("/bin/sh", {"-c", std::move(command)});
}

TEST(NSTaskTest, ExitReasonIsOneForAnyExitStatusAndTwoForASignal) {
  Ran ok = Shell("printf 'two\\nlines\\n'");
  EXPECT_TRUE(ok.launched);
  EXPECT_EQ(ok.output, "two\nlines\n");
  EXPECT_EQ(ok.reason, NSTaskTerminationReasonExit);
  EXPECT_EQ(ok.status, 0);

  Ran failed = Shell("echo partial; exit 3");
  EXPECT_EQ(failed.output, "partial\n");
  EXPECT_EQ(failed.reason, NSTaskTerminationReasonExit);
  EXPECT_EQ(failed.status, 3);

  Ran killed = Shell("echo before; kill -KILL $$");
  EXPECT_EQ(killed.output, "before\n");
  EXPECT_EQ(killed.reason, NSTaskTerminationReasonUncaughtSignal);
  EXPECT_EQ(killed.status, SIGKILL);
}

TEST(NSTaskTest, ArgumentsReachTheProgramAsTheyStand) {
  Ran ran = RunTask("/usr/bin/printf", {"<%s>", "a b", "'q'", "$(touch x)", "-n", "é\nz"});
  EXPECT_EQ(ran.output, "<a b><'q'><$(touch x)><-n><é\nz>");
}

// More output than a pipe holds: a task that is only read after it ends would block for ever.
TEST(NSTaskTest, LongOutputIsReadWhileTheTaskRuns) {
  Ran ran = RunTask("/bin/sh", {"-c", "head -c 4194304 /dev/zero | tr '\\0' x"}, 30s);
  EXPECT_EQ(ran.reason, NSTaskTerminationReasonExit);
  EXPECT_EQ(ran.output.size(), 4194304u);
  EXPECT_EQ(ran.output.find_first_not_of('x'), std::string::npos);
}

TEST(NSTaskTest, AProgramThatCannotStartIsReportedNotThrown) {
  LogCapture log;
  Ran ran = RunTask("/nonexistent/bin/sh", {"-c", "true"});
  EXPECT_FALSE(ran.launched);
  EXPECT_EQ(ran.reason, 0);
  EXPECT_EQ(ran.output, "");
  EXPECT_EQ(log.countContaining("cannot launch /nonexistent/bin/sh"), 1u);

  NSTask twice;
  twice.setLaunchPath("/bin/true");
  EXPECT_TRUE(twice.launch());
  EXPECT_FALSE(twice.launch());
  twice.waitUntilExit();
  EXPECT_EQ(twice.terminationReason(), NSTaskTerminationReasonExit);
}

TEST(NSTaskTest, WaitsAreBounded) {
  LogCapture log;
  auto start = std::chrono::steady_clock::now();
  Ran hung = RunTask("/bin/sleep", {"30"}, 200ms);
  EXPECT_EQ(hung.reason, NSTaskTerminationReasonUncaughtSignal);
  EXPECT_EQ(log.countContaining("still running after 200 ms; killing it"), 1u);

  // The task ends but leaves a process behind that holds its output open.
  Ran leftBehind =
      RunTask("/bin/sh", {"-c", "sleep 3 2>/dev/null </dev/null & echo done"}, 30s, 200ms);
  EXPECT_EQ(leftBehind.reason, NSTaskTerminationReasonExit);
  EXPECT_EQ(leftBehind.output, "done\n");
  EXPECT_EQ(log.countContaining("no end of file after 200 ms"), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

class EmulatedToolsTest : public ::testing::Test {
 protected:
  TemporaryRoot root_;
  std::filesystem::path inRoot_ = root_ / "usr/bin/pluginkit";
};

TEST_F(EmulatedToolsTest, AFreshRootGetsTheToolBuiltWithTheLibrary) {
  std::optional<std::filesystem::path> tool = emulated::ResolveTool("/usr/bin/pluginkit");
  ASSERT_TRUE(tool);
  EXPECT_EQ(*tool, inRoot_);
  EXPECT_TRUE(std::filesystem::is_symlink(inRoot_));
  EXPECT_EQ(std::filesystem::read_symlink(inRoot_), VRK_PLUGINKIT_BUILT);
  EXPECT_EQ(Shell(inRoot_.string() + " -m").reason, NSTaskTerminationReasonExit);

  // A link whose target has gone is made again.
  std::filesystem::remove(inRoot_);
  std::filesystem::create_symlink(root_ / "gone", inRoot_);
  ASSERT_TRUE(emulated::ResolveTool("/usr/bin/pluginkit"));
  EXPECT_EQ(std::filesystem::read_symlink(inRoot_), VRK_PLUGINKIT_BUILT);
}

TEST_F(EmulatedToolsTest, WhatTheRootHoldsIsUsedOrRefusedButNeverReplaced) {
  std::filesystem::create_directories(inRoot_.parent_path());
  std::ofstream(inRoot_) << "#!/bin/sh\necho stand-in\n";
  LogCapture log;
  EXPECT_FALSE(emulated::ResolveTool("/usr/bin/pluginkit"));
  EXPECT_EQ(log.countContaining("is not an executable file"), 1u);

  ::chmod(inRoot_.c_str(), 0755);
  EXPECT_EQ(emulated::ResolveTool("/usr/bin/pluginkit"), inRoot_);
  EXPECT_EQ(Shell(inRoot_.string()).output, "stand-in\n");

  EXPECT_FALSE(emulated::ResolveTool("/usr/bin/true"));
  EXPECT_EQ(log.countContaining("/usr/bin/true is not a tool of the emulated system"), 1u);
}

// The handle wakes the wait as the child ends, and a child that outlives the deadline is left
// running, unreaped, for its owner to kill.
TEST(ProcessHandle, ReapsAtTheChildsEndAndNotBefore) {
  auto spawn = [](const char* seconds) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/sleep", "sleep", seconds, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  };
  const pid_t quick = spawn("0.05");
  ASSERT_GT(quick, 0);
  UniqueFd handle = OpenProcessHandle(quick);
  const auto start = std::chrono::steady_clock::now();
  int status = -1;
  ASSERT_TRUE(ReapProcess(quick, handle, start + 10s, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // Reaped: a second wait finds no such child.
  EXPECT_FALSE(ReapProcess(quick, handle, std::chrono::steady_clock::now() + 10ms, &status));

  const pid_t slow = spawn("30");
  ASSERT_GT(slow, 0);
  UniqueFd slowHandle = OpenProcessHandle(slow);
  EXPECT_FALSE(ReapProcess(slow, slowHandle, std::chrono::steady_clock::now() + 50ms, &status));
  ::kill(slow, SIGKILL);
  ASSERT_TRUE(ReapProcess(slow, slowHandle, std::chrono::steady_clock::now() + 10s, &status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

}  // namespace
}  // namespace vrk
