#include "Platform/Foundation/NSLog.h"

#include <gtest/gtest.h>

#include <optional>
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

}  // namespace
}  // namespace vrk
