#include "Localization/BundleLocalization.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace vrk {
namespace {

namespace fs = std::filesystem;

const char* const kShareHans = "\u5171\u4eab";
const char* const kPrefixHans = "\u540c\u6b65";
const char* const kLockingHans = "\u9501\u5b9a";

void Write(const fs::path& file, std::string_view text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

// The process's main bundle for these tests: a sync client application with English and
// Simplified Chinese, a "ja.lproj" that is a file rather than a folder, and a framework bundle
// beside it with a table of its own. Set up before anything asks for the main bundle.
class LocalizedApp : public ::testing::Environment {
 public:
  static fs::path root;

  void SetUp() override {
    char dir[] = "/tmp/vrk.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    root = dir;
    const fs::path app = root / "Sync.app";
    const fs::path res = app / "Contents" / "Resources";
    Write(app / "Contents" / "Info.plist",
          "<plist><dict><key>CFBundleIdentifier</key><string>com.mirelta.sync</string>"
          "<key>CFBundleDevelopmentRegion</key><string>en</string></dict></plist>");
    Write(res / "en.lproj" / "Localizable.strings",
          "\"Prefix\" = \"Sync\"; \"Share\" = \"Share\";");
    Write(res / "en.lproj" / "Localizations.strings", "\"Locking\" = \"Locking\";");
    Write(res / "zh-Hans.lproj" / "Localizable.strings",
          std::string("\"Prefix\" = \"") + kPrefixHans + "\"; \"Share\" = \"" + kShareHans + "\";");
    Write(res / "zh-Hans.lproj" / "Localizations.strings",
          std::string("\"Locking\" = \"") + kLockingHans + "\";");
    Write(res / "ja.lproj", "not a folder");
    Write(root / "Frame.framework" / "FrameOnly.strings", "\"Hello\" = \"Bonjour\";");
    Write(root / "Frame.framework" / "Localizable.strings", "\"Share\" = \"frame share\";");
    setenv("VRK_MAIN_BUNDLE", app.c_str(), 1);
    setenv("LANG", "C", 1);
    unsetenv("LANGUAGE");
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
  }
  void TearDown() override { fs::remove_all(root); }
};
fs::path LocalizedApp::root;
[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new LocalizedApp);

std::string Lookup(const std::shared_ptr<NSBundle>& bundle, std::string_view key,
                   std::optional<std::string> table = std::nullopt, std::string_view value = "") {
  return bundle->localizedStringForKey(key, value, table);
}

std::shared_ptr<NSBundle> Framework() {
  return NSBundle::bundleWithPath((LocalizedApp::root / "Frame.framework").string());
}

// Must see the singleton before any language is set; under CTest every test has a process of
// its own, and in a single run this test comes first.
TEST(BundleLocalization, StartsWithTheMainBundleAndTheSystemsLanguage) {
  auto localization = BundleLocalization::sharedInstance();
  if (localization->selectedLanguage()) GTEST_SKIP() << "needs a fresh process";
  auto main = NSBundle::mainBundle();
  EXPECT_EQ(localization->localizationBundle(), main);
  EXPECT_EQ(localization->language(), "en");
  EXPECT_EQ(Lookup(main, "Prefix"), "Sync");
  // The redirection is in place: another bundle's lookup is answered from the main bundle.
  EXPECT_EQ(Lookup(Framework(), "Share"), "Share");
  EXPECT_EQ(BundleLocalization::sharedInstance(), localization);
}

TEST(BundleLocalization, RedirectionIsInstalledWhenTheCodeIsLoaded) {
  constexpr std::string_view kOrig = "localizedStringForKey:value:table:";
  constexpr std::string_view kCustom = "customLocaLizedStringForKey:value:table:";
  EXPECT_EQ(runtime::class_getInstanceMethod(kOrig),
            &NSBundleLocalization::customLocaLizedStringForKey);
  EXPECT_EQ(runtime::class_getInstanceMethod(kCustom), &NSBundlePlatformLocalizedString);
  NSBundleLocalization::load();  // the once-token keeps a second load from undoing the exchange
  EXPECT_EQ(runtime::class_getInstanceMethod(kOrig),
            &NSBundleLocalization::customLocaLizedStringForKey);
  EXPECT_EQ(runtime::class_getInstanceMethod(kCustom), &NSBundlePlatformLocalizedString);
}

TEST(BundleLocalization, ChosenLanguageServesEveryBundlesLookups) {
  auto localization = BundleLocalization::sharedInstance();
  auto main = NSBundle::mainBundle();
  localization->setLanguage("zh-Hans");
  ASSERT_TRUE(localization->localizationBundle());
  EXPECT_EQ(localization->localizationBundle()->bundlePath(),
            main->resourcePath() + "/zh-Hans.lproj");
  EXPECT_EQ(localization->language(), "zh-Hans");
  EXPECT_EQ(localization->selectedLanguage(), "zh-Hans");
  EXPECT_EQ(Lookup(main, "Prefix"), kPrefixHans);
  EXPECT_EQ(Lookup(main, "Locking", "Localizations"), kLockingHans);
  // A framework's lookup comes from the chosen folder too, even for a table only it has.
  EXPECT_EQ(Lookup(Framework(), "Share"), kShareHans);
  EXPECT_EQ(Lookup(Framework(), "Hello", "FrameOnly"), "Hello");
  EXPECT_EQ(Lookup(Framework(), "Hello", "FrameOnly", "fallback"), "fallback");
  // A key the chosen table lacks: the value when non-empty, else the key.
  EXPECT_EQ(Lookup(main, "Processing", "Localizations"), "Processing");
  EXPECT_EQ(Lookup(main, "Processing", "Localizations", "busy"), "busy");

  localization->setLanguage("en");
  EXPECT_EQ(localization->language(), "en");
  EXPECT_EQ(Lookup(main, "Share"), "Share");
}

TEST(BundleLocalization, LanguageWithoutAFolderFallsBackToTheMainBundle) {
  auto localization = BundleLocalization::sharedInstance();
  auto main = NSBundle::mainBundle();
  for (std::optional<std::string> missing :
       {std::optional<std::string>("fr"), std::optional<std::string>(),
        std::optional<std::string>(""), std::optional<std::string>("../../Contents")}) {
    localization->setLanguage("zh-Hans");
    localization->setLanguage(missing);
    EXPECT_EQ(localization->localizationBundle(), main) << missing.value_or("(nil)");
    EXPECT_EQ(localization->selectedLanguage(), "zh-Hans");
    EXPECT_EQ(localization->language(), "en");
    EXPECT_EQ(Lookup(main, "Share"), "Share");
  }

  // ja.lproj exists but is no folder, so no bundle can be made of it: lookups use the main
  // bundle while selectedLanguage names the request, and language reports the system's choice.
  localization->setLanguage("ja");
  EXPECT_EQ(localization->localizationBundle(), main);
  EXPECT_EQ(localization->selectedLanguage(), "ja");
  EXPECT_EQ(localization->language(), "en");
}

TEST(BundleLocalization, LookupsOnOtherThreadsSeeOneLanguageOrTheOther) {
  auto localization = BundleLocalization::sharedInstance();
  auto main = NSBundle::mainBundle();
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&, i] {
      while (!stop.load()) {
        std::string s = Lookup(i % 2 ? main : Framework(), "Share");
        if (s != "Share" && s != kShareHans) ++unexpected;
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    localization->setLanguage(i % 3 == 0 ? "zh-Hans" : i % 3 == 1 ? "en" : "fr");
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(unexpected.load(), 0);
}

}  // namespace
}  // namespace vrk
