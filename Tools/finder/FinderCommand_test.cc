#include "Tools/finder/FinderCommand.h"

#include <gtest/gtest.h>

#include "Tools/finder/FinderHost.h"

namespace vrk::finder {
namespace {

std::string ErrorOf(std::string_view line) {
  std::string error;
  EXPECT_FALSE(ParseCommand(line, &error)) << line;
  return error;
}

TEST(ParseCommandTest, ReadsEveryCommandWithItsArguments) {
  std::string error;
  auto show = ParseCommand(R"(["show", "/tmp/a b"])", &error);
  ASSERT_TRUE(show);
  EXPECT_EQ(std::get<ShowCommand>(*show).dir, "/tmp/a b");

  auto wait = ParseCommand(R"(["wait-badge", "/r/x", "", 250])", &error);
  ASSERT_TRUE(wait);
  EXPECT_EQ(std::get<WaitBadgeCommand>(*wait).identifier, "");
  EXPECT_EQ(std::get<WaitBadgeCommand>(*wait).milliseconds, 250);

  auto menu = ParseCommand(R"(["menu", 0, "/r/a", "/r/b"])", &error);
  ASSERT_TRUE(menu);
  EXPECT_EQ(std::get<MenuCommand>(*menu).paths, (std::vector<std::string>{"/r/a", "/r/b"}));
  auto container = ParseCommand(R"(["menu", 1])", &error);
  ASSERT_TRUE(container);
  EXPECT_EQ(std::get<MenuCommand>(*container).kind, 1);

  EXPECT_TRUE(std::holds_alternative<ClickCommand>(*ParseCommand(R"(["click", 3])", &error)));
  EXPECT_TRUE(std::holds_alternative<BadgesCommand>(*ParseCommand(R"(["badges"])", &error)));
  EXPECT_TRUE(std::holds_alternative<StateCommand>(*ParseCommand(R"( ["state"] )", &error)));
  EXPECT_TRUE(std::holds_alternative<QuitCommand>(*ParseCommand(R"(["quit"])", &error)));
  EXPECT_TRUE(std::holds_alternative<RescanCommand>(*ParseCommand(R"(["rescan"])", &error)));
}

TEST(ParseCommandTest, RefusesWhatItCannotRead) {
  EXPECT_EQ(ErrorOf("show /tmp"), "not JSON");
  EXPECT_EQ(ErrorOf("[\"show\", \"/a\xff\"]"), "not JSON");
  EXPECT_EQ(ErrorOf("{\"show\": 1}"), "a command is an array that starts with its name");
  EXPECT_EQ(ErrorOf("[]"), "a command is an array that starts with its name");
  EXPECT_EQ(ErrorOf("[1, 2]"), "a command is an array that starts with its name");
  EXPECT_EQ(ErrorOf(R"(["open", "/a"])"), "unknown command");
  for (const char* line : {R"(["show"])",
                           R"(["show", ""])",
                           R"(["show", 5])",
                           R"(["show", "/a", "/b"])",
                           R"(["show", "/a\u0000b"])",
                           R"(["badges", 1])",
                           R"(["wait-badge", "/a", "1"])",
                           R"(["wait-badge", "/a", 1, 10])",
                           R"(["wait-badge", "/a", "1", -1])",
                           R"(["wait-badge", "/a", "1", 1.5])",
                           R"(["wait-badge", "/a", "1", 3600001])",
                           R"(["menu"])",
                           R"(["menu", 4, "/a"])",
                           R"(["menu", -1])",
                           R"(["menu", "0"])",
                           R"(["menu", 0, ""])",
                           R"(["menu", 0, null])",
                           R"(["click"])",
                           R"(["click", -1])",
                           R"(["click", 18446744073709551615])",
                           R"(["state", 0])",
                           R"(["quit", "now"])",
                           R"(["rescan", "/p"])"}) {
    EXPECT_EQ(ErrorOf(line).rfind("usage: ", 0), 0u) << line;
  }
}

TEST(ParseCommandTest, BlankLinesAreNotCommandsNorErrors) {
  EXPECT_EQ(ErrorOf(""), "");
  EXPECT_EQ(ErrorOf(" \t\r"), "");
}

TEST(LineBufferTest, CutsPiecesIntoLinesAndRefusesOverlongOnesInPlace) {
  LineBuffer buffer;
  buffer.append(std::span<const char>("[\"sta", 5));
  EXPECT_FALSE(buffer.next());
  buffer.append(std::span<const char>("te\"]\n[\"quit\"]\n[\"ba", 18));
  EXPECT_EQ(buffer.next()->text, "[\"state\"]");
  EXPECT_EQ(buffer.next()->text, "[\"quit\"]");
  EXPECT_FALSE(buffer.next());

  std::string huge(kMaxLineBytes, 'x');
  buffer.append(std::span<const char>("dges\"]\n", 7));
  buffer.append(std::span<const char>(huge.data(), huge.size()));
  buffer.append(std::span<const char>("yy\n[\"quit\"]", 11));
  buffer.finish();
  EXPECT_EQ(buffer.next()->text, "[\"badges\"]");
  auto overlong = buffer.next();
  EXPECT_TRUE(overlong->overlong);
  EXPECT_TRUE(overlong->text.empty());
  EXPECT_EQ(buffer.next()->text, "[\"quit\"]");  // the last line needs no newline
  EXPECT_TRUE(buffer.empty());
}

NSURL URL(const char* path) {
  return *NSURL::fileURLWithPath(path);
}

TEST(HostStateTest, BadgesLiveOnlyWithinTheDirectorySet) {
  findersync::HostState state;
  EXPECT_FALSE(state.setBadgeIdentifier("1", URL("/r/a")));  // no set yet
  state.setDirectoryURLs(std::vector<NSURL>{URL("/r/"), URL("/s")});
  EXPECT_TRUE(state.covers("/r"));
  EXPECT_TRUE(state.covers("/r/a/b"));
  EXPECT_FALSE(state.covers("/r2/a"));
  EXPECT_TRUE(state.setBadgeIdentifier("1", URL("/r/a")));
  EXPECT_TRUE(state.setBadgeIdentifier("2", URL("/s/b/")));
  EXPECT_TRUE(state.setBadgeIdentifier("3", URL("/r/c")));
  EXPECT_TRUE(state.setBadgeIdentifier("", URL("/r/c")));
  EXPECT_EQ(state.badgeOf("/s/b"), "2");
  EXPECT_EQ(BadgesJSON(state).dump(), R"({"badges":{"/r/a":"1","/s/b":"2"}})");

  state.setDirectoryURLs(std::vector<NSURL>{URL("/s")});
  EXPECT_EQ(state.badgeOf("/r/a"), "");
  EXPECT_EQ(state.badgeOf("/s/b"), "2");
  state.setDirectoryURLs(std::nullopt);
  EXPECT_EQ(BadgesJSON(state).dump(), R"({"badges":{}})");

  findersync::HostState everything;
  everything.setDirectoryURLs(std::vector<NSURL>{URL("/")});
  EXPECT_TRUE(everything.covers("/any/thing"));
}

TEST(HostStateTest, StateShowsDirectoriesAndTheLatestRegistrations) {
  findersync::HostState state;
  EXPECT_EQ(StateJSON(state).dump(), R"({"directories":[],"registrations":{}})");
  state.setDirectoryURLs(std::vector<NSURL>{URL("/r")});
  state.setBadgeImage("locked", "Locking", "4");
  state.setBadgeImage("", "Other", "4");
  state.setBadgeImage("paused", "Paused", "1");
  EXPECT_EQ(StateJSON(state).dump(),
            R"({"directories":["/r"],"registrations":{"1":{"image":"paused","label":"Paused"},)"
            R"("4":{"image":null,"label":"Other"}}})");
}

}  // namespace
}  // namespace vrk::finder
