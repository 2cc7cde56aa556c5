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
