#include "Platform/FinderSync/FIFinderSync.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/FinderSync/HostProtocol.h"
#include "Platform/FinderSync/NSExtensionMain.h"

namespace vrk {
namespace {

using ::testing::ElementsAre;

NSURL URL(const char* path) {
  return *NSURL::fileURLWithPath(path);
}

class FIFinderSyncRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override { recorder_ = FIFinderSyncController::installRecorderForTesting(); }
  void TearDown() override { FIFinderSyncController::setDefaultController(nullptr); }
  std::shared_ptr<FIFinderSyncRecorder> recorder_;
};

TEST_F(FIFinderSyncRecorderTest, RecordsEveryCallInOrderAndKeepsTheState) {
  auto controller = FIFinderSyncController::defaultController();
  ASSERT_EQ(controller.get(), recorder_.get());
  recorder_->setSelectedItemURLs({URL("/r/a"), URL("/r/b")});

  controller->setDirectoryURLs(std::set<NSURL>{URL("/r")});
  controller->setBadgeImage(NSImage::imageNamed("locked"), "Locking", "4");
  controller->setBadgeImage(NSImage::imageNamed("paused"), "Paused", "4");
  controller->setBadgeIdentifier("4", URL("/r/a"));
  controller->setBadgeIdentifier("4", URL("/r/b"));
  controller->setBadgeIdentifier("", URL("/r/b"));
  EXPECT_EQ(controller->selectedItemURLs().size(), 2u);
  controller->setDirectoryURLs(std::nullopt);

  EXPECT_THAT(recorder_->callDescriptions(),
              ElementsAre("setDirectoryURLs: {/r}",
                          "setBadgeImage: locked label: Locking forBadgeIdentifier: 4",
                          "setBadgeImage: paused label: Paused forBadgeIdentifier: 4",
                          "setBadgeIdentifier: 4 forURL: /r/a",
                          "setBadgeIdentifier: 4 forURL: /r/b", "setBadgeIdentifier:  forURL: /r/b",
                          "selectedItemURLs", "setDirectoryURLs: nil"));
  EXPECT_EQ(recorder_->calls(FIFinderSyncRecorder::Method::setBadgeImage).size(), 2u);
  // Registering an identifier again replaces it; the empty identifier removes a badge.
  ASSERT_EQ(recorder_->registrations().count("4"), 1u);
  EXPECT_EQ(recorder_->registrations().at("4").label, "Paused");
  EXPECT_EQ(recorder_->badgeIdentifierForURL(URL("/r/a")), "4");
  EXPECT_FALSE(recorder_->badgeIdentifierForURL(URL("/r/b")));
  EXPECT_FALSE(controller->directoryURLs());
}

TEST_F(FIFinderSyncRecorderTest, UninstallingGivesAFreshLocalController) {
  FIFinderSyncController::setDefaultController(nullptr);
  auto local = FIFinderSyncController::defaultController();
  ASSERT_NE(local.get(), recorder_.get());
  local->setDirectoryURLs(std::set<NSURL>{URL("/x")});
  EXPECT_EQ(local->directoryURLs()->size(), 1u);
  EXPECT_EQ(FIFinderSyncController::defaultController(), local);
  EXPECT_TRUE(recorder_->calls().empty());
}

class Principal : public FIFinderSync {
 public:
  std::string className() const override { return "FinderSync"; }
};

TEST(PrincipalClassTest, RegistryCreatesByNameAndKeepsTheFirstRegistration) {
  EXPECT_TRUE(
      RegisterPrincipalClass("TestPrincipal", [] { return std::make_shared<Principal>(); }));
  EXPECT_FALSE(RegisterPrincipalClass("TestPrincipal", [] { return nullptr; }));
  EXPECT_TRUE(RegisterPrincipalClass("NilPrincipal", [] { return nullptr; }));

  auto object = CreatePrincipalObject("TestPrincipal");
  ASSERT_TRUE(object);
  EXPECT_THAT(object->description(), ::testing::MatchesRegex("<FinderSync: 0x[0-9a-f]+>"));
  EXPECT_FALSE(object->menuForMenuKind(FIMenuKindContextualMenuForItems));
  EXPECT_FALSE(object->performMenuAction("shareLink:", nullptr));
  EXPECT_FALSE(CreatePrincipalObject("NilPrincipal"));
  EXPECT_FALSE(CreatePrincipalObject("Unknown"));
}

TEST(HostProtocolTest, WireStringsAreValidUTF8) {
  EXPECT_EQ(findersync::WireString("Share \xe4\xb8\xad"), "Share \xe4\xb8\xad");
  EXPECT_EQ(findersync::WireString("a\xff"
                                   "b"),
            "a\xef\xbf\xbd"
            "b");
  EXPECT_EQ(findersync::WireString("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(findersync::WireString("cut \xe4\xb8"), "cut \xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(findersync::WireString(std::string_view("a\0b", 3)), "a");
}

TEST(HostProtocolTest, OnlyFileURLsAreAccepted) {
  EXPECT_EQ(findersync::DecodeFileURL("file:///a%20b")->path(), "/a b");
  EXPECT_FALSE(findersync::DecodeFileURL("https://example.org/a"));
  EXPECT_FALSE(findersync::DecodeFileURL("/a"));
  EXPECT_FALSE(findersync::DecodeFileURLs({"file:///a", "nope"}));
  EXPECT_EQ(findersync::DecodeFileURLs({})->size(), 0u);
}

}  // namespace
}  // namespace vrk
