// The favourites list on a bookmarks file: what resolves, where insertions go, and what the
// rewrite keeps.
#include "Platform/CoreServices/LSSharedFileList.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Favorites : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1); }
  void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }
  fs::path file() { return root_ / "config/gtk-3.0/bookmarks"; }
  TemporaryRoot root_;
};

TEST_F(Favorites, OnlyExistingFileURLsResolve) {
  auto list = LSSharedFileListCreate(nullptr, kLSSharedFileListFavoriteItems, nullptr);
  ASSERT_TRUE(list);
  EXPECT_TRUE(LSSharedFileListCopySnapshot(list, nullptr).empty()) << "no file yet";
  fs::create_directories(file().parent_path());
  fs::create_directories(root_ / "a b");
  std::ofstream(file()) << "file://" << root_.string() << "/a%20b Label with blanks\n"
                        << "file:///missing\nrecent:///\n%%%\n";
  auto items = LSSharedFileListCopySnapshot(list, nullptr);
  ASSERT_EQ(items.size(), 4u);
  std::optional<NSURL> url;
  ASSERT_EQ(
      LSSharedFileListItemResolve(items[0], kLSSharedFileListNoUserInteraction, &url, nullptr),
      noErr);
  EXPECT_EQ(CFURLCopyFileSystemPath(*url, kCFURLPOSIXPathStyle), (root_ / "a b").string());
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(LSSharedFileListItemResolve(items[i], 0, &url, nullptr), fnfErr) << items[i]->line;
    EXPECT_FALSE(url);
  }
  EXPECT_FALSE(LSSharedFileListCreate(nullptr, "com.apple.LSSharedFileList.RecentItems", nullptr));
}

TEST_F(Favorites, InsertingCreatesOrRewritesTheFileAtomically) {
  auto list = LSSharedFileListCreate(nullptr, kLSSharedFileListFavoriteItems, nullptr);
  auto url = NSURL::URLWithString("file:///x%23y");
  ASSERT_TRUE(LSSharedFileListInsertItemURL(list, kLSSharedFileListItemBeforeFirst, std::nullopt,
                                            nullptr, *url, nullptr, nullptr));
  EXPECT_EQ(ReadFile(file()), "file:///x%23y\n");
  struct stat st;
  ASSERT_EQ(::stat(file().parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // The file's mode and a link to it survive the rewrite.
  ::chmod(file().c_str(), 0600);
  fs::rename(file(), root_ / "dotfile");
  fs::create_symlink(root_ / "dotfile", file());
  ASSERT_TRUE(LSSharedFileListInsertItemURL(list, kLSSharedFileListItemLast, std::string("Y"),
                                            nullptr, *NSURL::URLWithString("file:///y"), nullptr,
                                            nullptr));
  EXPECT_TRUE(fs::is_symlink(file()));
  EXPECT_EQ(ReadFile(root_ / "dotfile"), "file:///x%23y\nfile:///y Y\n");
  ASSERT_EQ(::stat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(file().parent_path()), {}), 1);
}

TEST_F(Favorites, PercentEscapesKeepAPathInsideTheURL) {
  EXPECT_EQ(stringByAddingPercentEscapesUsingEncoding("file:///a b/ü/#1?%", NSUTF8StringEncoding),
            "file:///a%20b/%C3%BC/%231%3F%25");
}

}  // namespace
}  // namespace vrk
