#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <variant>

#include "Platform/AppleScript/AppleEventWire.h"
#include "Platform/AppleScript/AppleScriptSource.h"
#include "Platform/AppleScript/NSAppleScript.h"
#include "tests/support/TestBusPeer.h"

namespace vrk {
namespace {

constexpr char kLoader[] =
    "tell application \"Finder\" to \xC2\xAB"
    "event NVTYload\xC2\xBB";

TEST(AppleScriptSourceTest, ReadsTheOneFormInItsSpellings) {
  struct Case {
    std::string source;
    std::string app, cls, id;
  };
  const Case cases[] = {
      {kLoader, "Finder", "NVTY", "load"},
      {"  TELL Application \"Finder\"\tTo \xC2\xAB"
       "EVENT NVTYload\xC2\xBB \n",
       "Finder", "NVTY", "load"},
      {"tell application \"My \\\"App\\\\\" to \xC2\xAB"
       "event ab c1 2 \xC2\xBB\r\n",
       "My \"App\\", "ab c", "1 2 "},
  };
  for (const Case& c : cases) {
    auto result = CompileAppleScript(c.source);
    ASSERT_TRUE(std::holds_alternative<AppleScriptEvent>(result)) << c.source;
    const auto& event = std::get<AppleScriptEvent>(result);
    EXPECT_EQ(event.application, c.app);
    EXPECT_EQ(event.eventClass, c.cls);
    EXPECT_EQ(event.eventID, c.id);
  }
}

TEST(AppleScriptSourceTest, EverythingElseIsASyntaxError) {
  const std::string bad[] = {
      "",
      "tell",
      "tellapplication \"Finder\" to \xC2\xAB"
      "event NVTYload\xC2\xBB",
      "tell application Finder to \xC2\xAB"
      "event NVTYload\xC2\xBB",
      "tell application \"\" to \xC2\xAB"
      "event NVTYload\xC2\xBB",
      "tell application \"Fin\nder\" to \xC2\xAB"
      "event NVTYload\xC2\xBB",
      "tell application \"Finder to \xC2\xAB"
      "event NVTYload\xC2\xBB",
      "tell application \"Fi\\nder\" to \xC2\xAB"
      "event NVTYload\xC2\xBB",
      "tell application \"Finder\" toto \xC2\xAB"
      "event NVTYload\xC2\xBB",
      "tell application \"Finder\" to event NVTYload",
      "tell application \"Finder\" to \xC2\xAB"
      "event NVTYloa\xC2\xBB",
      "tell application \"Finder\" to \xC2\xAB"
      "event NVTYloadx\xC2\xBB",
      "tell application \"Finder\" to \xC2\xAB"
      "event NVTY\tload\xC2\xBB",
      "tell application \"Finder\" to \xC2\xAB"
      "event NVTYload\xC2\xBB\nbeep",
      "tell application \"Finder\" to \xC2\xAB"
      "event NVTYload",
      "tell application \"Fi\xFFnder\" to \xC2\xAB"
      "event NVTYload\xC2\xBB",
      std::string("tell application \"Finder\" to \xC2\xAB"
                  "event NVTY\0oad\xC2\xBB",
                  42),
      "display dialog \"hello\"",
  };
  for (const std::string& source : bad) {
    auto result = CompileAppleScript(source);
    ASSERT_TRUE(std::holds_alternative<AppleScriptSyntaxError>(result)) << source;
    const auto& error = std::get<AppleScriptSyntaxError>(result);
    EXPECT_FALSE(error.message.empty());
    EXPECT_LE(error.location, source.size());
  }
}

// Every cut and every random mutation of the valid source either compiles or reports a syntax
// error inside the source; the sanitizer builds catch any read past its end.
TEST(AppleScriptSourceTest, MutationsNeverCrash) {
  const std::string good = kLoader;
  for (std::size_t n = 0; n < good.size(); ++n) {
    auto prefix = good.substr(0, n);
    EXPECT_TRUE(std::holds_alternative<AppleScriptSyntaxError>(CompileAppleScript(prefix))) << n;
  }
  std::mt19937 random(11);
  int compiled = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string s = good;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % (s.size() + 1);
      const char byte = static_cast<char>(random() % 256);
      switch (random() % 3) {
        case 0:
          if (at < s.size()) s[at] = byte;
          break;
        case 1:
          s.insert(s.begin() + static_cast<long>(at), byte);
          break;
        default:
          if (at < s.size()) s.erase(at, 1);
          break;
      }
    }
    auto result = CompileAppleScript(s);
    if (const auto* error = std::get_if<AppleScriptSyntaxError>(&result)) {
      ASSERT_LE(error->location, s.size());
    } else {
      ++compiled;
      ASSERT_EQ(std::get<AppleScriptEvent>(result).eventClass.size(), 4u);
    }
  }
  EXPECT_GT(compiled, 0);
}

TEST(AppleScriptSourceTest, ApplicationBusNames) {
  EXPECT_EQ(appleevents::ApplicationBusName("Finder"), "org.vrk.Application.Finder");
  EXPECT_EQ(appleevents::ApplicationBusName("System Events"), "org.vrk.Application.System_Events");
  EXPECT_EQ(appleevents::ApplicationBusName("1Password"), "org.vrk.Application._1Password");
}

std::int64_t ErrorNumber(const Object& info) {
  return info.objectForKey("NSAppleScriptErrorNumber").integerValue();
}

// Finder on the bus: "load" of class NVTY succeeds, "fail" fails, anything else is not handled.
class AppleScriptFinderTest : public ::testing::Test {
 protected:
  TestBusPeer finder_{
      appleevents::ApplicationBusName("Finder"), appleevents::kPath, [this](sd_bus_message* m) {
        const char* cls = nullptr;
        const char* id = nullptr;
        if (sd_bus_message_read(m, "ss", &cls, &id) < 0) return -EINVAL;
        ++events_;
        if (std::string(cls) == "NVTY" && std::string(id) == "load") {
          return sd_bus_reply_method_return(m, "");
        }
        if (std::string(id) == "fail") {
          return sd_bus_reply_method_errorf(m, appleevents::kHandlerFailedError,
                                            "the plug-in is broken");
        }
        return sd_bus_reply_method_errorf(m, appleevents::kEventNotHandledError, "not handled");
      }};
  std::atomic<int> events_{0};
};

TEST_F(AppleScriptFinderTest, ExecutingSendsTheEventAndMapsEachFailure) {
  Object error;
  auto result = NSAppleScript::initWithSource(kLoader)->executeAndReturnError(&error);
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(error.isNil());
  EXPECT_EQ(events_.load(), 1);

  auto run = [](const std::string& source) {
    Object info;
    EXPECT_FALSE(NSAppleScript::initWithSource(source)->executeAndReturnError(&info));
    EXPECT_FALSE(info.objectForKey("NSAppleScriptErrorMessage").stringValue().empty());
    return info;
  };
  EXPECT_EQ(ErrorNumber(run("tell application \"Finder\" to \xC2\xAB"
                            "event NVTYopen\xC2\xBB")),
            -1708);
  Object failed =
      run("tell application \"Finder\" to \xC2\xAB"
          "event NVTYfail\xC2\xBB");
  EXPECT_EQ(ErrorNumber(failed), -10000);
  EXPECT_NE(failed.objectForKey("NSAppleScriptErrorMessage").stringValue().find("broken"),
            std::string::npos);
  EXPECT_EQ(failed.objectForKey("NSAppleScriptErrorAppName").stringValue(), "Finder");
  EXPECT_EQ(ErrorNumber(run("tell application \"Mail\" to \xC2\xAB"
                            "event NVTYload\xC2\xBB")),
            -600);
  EXPECT_EQ(events_.load(), 3);
  // A syntax error sends nothing.
  EXPECT_EQ(ErrorNumber(run("tell application \"Finder\" to quit")), -2741);
  EXPECT_EQ(events_.load(), 3);

  // Once the application has quit (the bus may still route one event to it as it goes, which
  // then fails as an invalid connection), the script reports it as not running.
  finder_.close();
  std::int64_t number = 0;
  for (int i = 0; i < 200 && number != -600; ++i) {
    number = ErrorNumber(run(kLoader));
    ASSERT_TRUE(number == -600 || number == -609) << number;
  }
  EXPECT_EQ(number, -600);
}

}  // namespace
}  // namespace vrk
