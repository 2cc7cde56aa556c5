#include "Platform/Foundation/NSURL.h"

#include <unistd.h>

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

namespace vrk {
namespace {

TEST(NSURLTest, FileURLEncodesWhatCannotStandInAPath) {
  auto url = NSURL::fileURLWithPath("/a b/c%d/e?f#g/\xe4\xb8\xad/x;y=z@w:1");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->absoluteString(), "file:///a%20b/c%25d/e%3Ff%23g/%E4%B8%AD/x;y=z@w:1");
  EXPECT_EQ(url->path(), "/a b/c%d/e?f#g/\xe4\xb8\xad/x;y=z@w:1");
  EXPECT_TRUE(url->isFileURL());
}

TEST(NSURLTest, PathRoundTripsThroughTheURLText) {
  for (const char* path : {"/", "/tmp/vrk.1/Sync", "/a b/\"q\"/'s'/$(x)/`y`/100%",
                           "/\xf0\x9f\x98\x80", "/line\nbreak"}) {
    auto url = NSURL::fileURLWithPath(path);
    ASSERT_TRUE(url) << path;
    auto parsed = NSURL::URLWithString(url->absoluteString());
    ASSERT_TRUE(parsed) << url->absoluteString();
    EXPECT_EQ(parsed->path(), path);
    EXPECT_EQ(*parsed, *url);
  }
}

TEST(NSURLTest, EmptyOrNulPathGivesNoURL) {
  EXPECT_FALSE(NSURL::fileURLWithPath(""));
  EXPECT_FALSE(NSURL::fileURLWithPath(std::string_view("/a\0b", 4)));
}

TEST(NSURLTest, RelativePathIsTakenAgainstTheCurrentDirectory) {
  auto cwd = std::filesystem::current_path();
  auto url = NSURL::fileURLWithPath("x/y");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->path(), (cwd / "x/y").string());
}

TEST(NSURLTest, TrailingSlashIsDroppedFromPathButKeptInTheURL) {
  auto dir = NSURL::fileURLWithPath("/a/b/");
  auto plain = NSURL::fileURLWithPath("/a/b");
  EXPECT_EQ(dir->path(), "/a/b");
  EXPECT_EQ(dir->lastPathComponent(), "b");
  EXPECT_EQ(dir->absoluteString(), "file:///a/b/");
  EXPECT_NE(*dir, *plain);
  EXPECT_EQ(NSURL::fileURLWithPath("/")->path(), "/");
  EXPECT_EQ(NSURL::fileURLWithPath("/")->lastPathComponent(), "/");
}

TEST(NSURLTest, URLWithStringRejectsMalformedText) {
  for (const char* bad : {"", "/a/b", "file:///a b", "file:///a%2", "file:///a%zz", "file:///a%00b",
                          "file:///%C0%AF", "file:///%ED%A0%80", "file://otherhost/a",
                          "file:relative", "1x:/a", ":/a", "file:///\xc3\xa9"}) {
    EXPECT_FALSE(NSURL::URLWithString(bad)) << bad;
  }
}

TEST(NSURLTest, URLWithStringAcceptsFileURLFormsAndOtherSchemes) {
  auto local = NSURL::URLWithString("file://localhost/a%20b?q#f");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->path(), "/a b");
  EXPECT_TRUE(local->filePathURL());

  auto upper = NSURL::URLWithString("FILE:/x");
  ASSERT_TRUE(upper);
  EXPECT_TRUE(upper->isFileURL());
  EXPECT_EQ(upper->path(), "/x");

  auto web = NSURL::URLWithString("https://example.org/a%20b");
  ASSERT_TRUE(web);
  EXPECT_FALSE(web->isFileURL());
  EXPECT_FALSE(web->filePathURL());
  EXPECT_EQ(web->path(), "/a b");
}

TEST(NSURLTest, URLsWorkAsSetMembers) {
  std::set<NSURL> urls{*NSURL::fileURLWithPath("/b"), *NSURL::fileURLWithPath("/a"),
                       *NSURL::URLWithString("file:///a")};
  ASSERT_EQ(urls.size(), 2u);
  EXPECT_EQ(urls.begin()->path(), "/a");
}

}  // namespace
}  // namespace vrk
