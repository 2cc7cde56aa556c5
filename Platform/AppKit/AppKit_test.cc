#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "Platform/AppKit/NSImage.h"
#include "Platform/AppKit/NSMenu.h"

namespace vrk {
namespace {

namespace fs = std::filesystem;

// The main bundle is fixed at its first use, so one test sets it up for the process.
TEST(NSImageTest, NamesResolveAgainstTheMainBundleOrStayBare) {
  char dir[] = "/tmp/vrk.XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  fs::path bundle = fs::path(dir) / "Ext.appex";
  fs::create_directories(bundle / "Contents/Resources/en.lproj");
  std::ofstream(bundle / "Contents/Resources/locked.svg") << "<svg/>";
  std::ofstream(bundle / "Contents/Resources/en.lproj/paused.png") << "png";
  ::setenv("VRK_MAIN_BUNDLE", bundle.c_str(), 1);

  auto locked = NSImage::imageNamed("locked");
  ASSERT_TRUE(locked);
  EXPECT_EQ(locked->name(), "locked");
  EXPECT_EQ(locked->filePath(), (bundle / "Contents/Resources/locked.svg").string());
  EXPECT_EQ(locked->bundlePath(), bundle.string());

  auto localized = NSImage::imageNamed("paused");
  ASSERT_TRUE(localized);
  EXPECT_EQ(localized->filePath(), (bundle / "Contents/Resources/en.lproj/paused.png").string());

  auto withExtension = NSImage::imageNamed("locked.svg");
  ASSERT_TRUE(withExtension);
  EXPECT_TRUE(withExtension->filePath());

  auto missing = NSImage::imageNamed("context-menu-icon");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->name(), "context-menu-icon");
  EXPECT_FALSE(missing->filePath());
  EXPECT_FALSE(missing->bundlePath());

  EXPECT_FALSE(NSImage::imageNamed(""));
  EXPECT_FALSE(NSImage::imageNamed("../Info")->filePath());
  fs::remove_all(dir);
}

TEST(NSMenuTest, EntriesKeepOrderAndTheirImages) {
  auto menu = NSMenu::initWithTitle("");
  auto share = menu->addItemWithTitle("Share", "shareLink:", "");
  auto versions = menu->addItemWithTitle("Versions", "viewHistoryVersions:", "");
  share->setImage(std::make_shared<NSImage>("context-menu-icon", std::nullopt, std::nullopt));

  ASSERT_EQ(menu->numberOfItems(), 2u);
  EXPECT_EQ(menu->itemAtIndex(0), share);
  EXPECT_EQ(menu->itemAtIndex(1)->action(), "viewHistoryVersions:");
  EXPECT_EQ(menu->itemAtIndex(0)->image()->name(), "context-menu-icon");
  EXPECT_FALSE(versions->image());
  EXPECT_FALSE(menu->itemAtIndex(2));
  EXPECT_EQ(
      menu->description(),
      "<NSMenu \"\" (<NSMenuItem Share shareLink:>, <NSMenuItem Versions viewHistoryVersions:>)>");
}

}  // namespace
}  // namespace vrk
