#include "Platform/Foundation/NSLog.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace vrk {
namespace {

TEST(NSLogFormat, UsesTheSystemsConversions) {
  EXPECT_EQ(FormatLogMessage("a %@ b", {Object("x")}), "a x b");
  EXPECT_EQ(FormatLogMessage("root = %@", {Object()}), "root = (null)");
  EXPECT_EQ(FormatLogMessage("%@", {std::optional<std::string>()}), "(null)");
  EXPECT_EQ(FormatLogMessage("result = %@", {Object::numberWithBool(true)}), "result = 1");
  EXPECT_EQ(FormatLogMessage("error = %s", {"(ipc/send) invalid destination port"}),
            "error = (ipc/send) invalid destination port");
  EXPECT_EQ(FormatLogMessage("%d %u %ld %%", {-3, 7u, 9L}), "-3 7 9 %");
  EXPECT_EQ(FormatLogMessage("%u", {-1}), "4294967295");
  EXPECT_EQ(FormatLogMessage("no args %@ %s", {}), "no args %@ %s");
  EXPECT_EQ(FormatLogMessage("trailing %", {}), "trailing %");
  EXPECT_EQ(FormatLogMessage("mode %o is not 0700, %x", {0755u, 255}), "mode 755 is not 0700, ff");
}

TEST(EscapedForLog, LeavesNothingThatEndsOrForgesALine) {
  EXPECT_EQ(EscapedForLog("/home/ana/Grüße 日本.txt"), "/home/ana/Grüße 日本.txt");
  EXPECT_EQ(EscapedForLog("a\nfake: line\r\tb"), "a\\nfake: line\\r\\tb");
  // A backslash is doubled, so an escape in the text cannot pass for one made here.
  EXPECT_EQ(EscapedForLog("a\\nb"), "a\\\\nb");
  EXPECT_EQ(EscapedForLog(std::string("\0\x1b[2J\x7f", 6)), "\\x00\\x1b[2J\\x7f");
  // C1 controls (NEL, CSI) and the Unicode line separator.
  EXPECT_EQ(EscapedForLog("x\xc2\x85y\xc2\x9bz\xe2\x80\xa8"), "x\\u0085y\\u009bz\\u2028");
  // Bytes outside valid UTF-8: a stray continuation, an overlong '/', a surrogate, a cut tail.
  EXPECT_EQ(EscapedForLog("\x80\xc0\xaf\xed\xa0\x80\xe6\x97"),
            "\\x80\\xc0\\xaf\\xed\\xa0\\x80\\xe6\\x97");
  // Cut by bytes of the text; a sequence cut in two shows as bytes.
  EXPECT_EQ(EscapedForLog("abcdef", 3), "abc...");
  EXPECT_EQ(EscapedForLog("ab\xc3\xa9", 3), "ab\\xc3...");
  EXPECT_EQ(EscapedForLog("abc", 3), "abc");
}

TEST(LogThrottle, ReportsTheFirstEventAtOnceAndTheRestAsOneCount) {
  LogThrottle throttle(std::chrono::milliseconds(200));
  EXPECT_EQ(throttle.note(), 1u);
  std::uint64_t reported = 0;
  int lines = 0;
  for (int i = 0; i < 10000; ++i) {
    std::uint64_t n = throttle.note();
    reported += n;
    lines += n > 0 ? 1 : 0;
  }
  // A flood within the interval writes no more lines (a very slow machine may see one).
  EXPECT_LE(lines, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(reported + throttle.note(), 10001u);  // the loop's and this one: none lost
}

TEST(LogThrottle, DrainReportsWhatABurstHeldBackOnceTheIntervalHasPassed) {
  LogThrottle throttle(std::chrono::milliseconds(100));
  EXPECT_EQ(throttle.drain(), 0u) << "nothing held";
  EXPECT_EQ(throttle.note(), 1u);
  EXPECT_EQ(throttle.note(), 0u);
  EXPECT_EQ(throttle.note(), 0u);
  std::uint64_t drained = throttle.drain();  // at once: too early, unless the machine is slow
  while (drained == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    drained = throttle.drain();
  }
  EXPECT_EQ(drained, 2u);
  EXPECT_EQ(throttle.drain(), 0u) << "reported once";
}

TEST(NSLogCapture, RecordsExactLinesFromAnyThread) {
  LogCapture capture;
  NSLog("[FinderSync] mach port registered");
  std::thread([] { NSLog("[FinderSync] handleMachMessage, command = %@", 7); }).join();
  EXPECT_EQ(capture.lines(),
            (std::vector<std::string>{"[FinderSync] mach port registered",
                                      "[FinderSync] handleMachMessage, command = 7"}));
  EXPECT_EQ(capture.indexOf("[FinderSync] handleMachMessage, command = 7"), 1);
  {
    LogCapture inner;
    NSLog("inner %s", "line");
    EXPECT_EQ(inner.lines().size(), 1u);
  }
  EXPECT_EQ(capture.countContaining("inner"), 1u);
}

// Runs `log` with standard error sent to a pipe and returns what it wrote.
std::string StandardErrorOf(const std::function<void()>& log) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(fds[1], STDERR_FILENO);
  ::close(fds[1]);
  log();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string out;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) out.append(chunk, n);
  ::close(fds[0]);
  return out;
}

std::string Ids(long pid, long tid) {
  return "[" + std::to_string(pid) + ":" + std::to_string(tid) + "] ";
}

// The header names the process and the thread that logged, in another thread and in a child
// made by fork after the parent had logged.
TEST(NSLogHeader, NamesTheLoggingProcessAndThread) {
  const long pid = ::getpid();
  std::string out = StandardErrorOf([] { NSLog("from the test's thread"); });
  EXPECT_NE(out.find(Ids(pid, ::syscall(SYS_gettid)) + "from the test's thread"), std::string::npos)
      << out;

  long worker = 0;
  out = StandardErrorOf([&] {
    std::thread([&] {
      worker = ::syscall(SYS_gettid);
      NSLog("from a worker");
    }).join();
  });
  EXPECT_NE(out.find(Ids(pid, worker) + "from a worker"), std::string::npos) << out;

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(fds[1], STDERR_FILENO);
    NSLog("from the child");
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string childOut;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) childOut.append(chunk, n);
  ::close(fds[0]);
  ::waitpid(child, nullptr, 0);
  EXPECT_NE(childOut.find(Ids(child, child) + "from the child"), std::string::npos) << childOut;
}

}  // namespace
}  // namespace vrk
