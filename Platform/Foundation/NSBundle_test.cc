#include "Platform/Foundation/NSBundle.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Platform/Foundation/NSLog.h"

extern char** environ;

namespace vrk {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// Sets (or, with null, unsets) an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The locale variables as a test wants them; LANGUAGE, LC_ALL and LC_MESSAGES unset by default.
struct ScopedLocale {
  explicit ScopedLocale(const char* lang, const char* language = nullptr)
      : language_("LANGUAGE", language),
        all_("LC_ALL", nullptr),
        messages_("LC_MESSAGES", nullptr),
        lang_("LANG", lang) {}
  ScopedEnv language_, all_, messages_, lang_;
};

void Write(const fs::path& file, std::string_view text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

std::string InfoPlist(std::string_view identifier, std::string_view region) {
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      << "<key>CFBundleIdentifier</key><string>" << identifier << "</string>";
  if (!region.empty()) {
    out << "<key>CFBundleDevelopmentRegion</key><string>" << region << "</string>";
  }
  out << "</dict></plist>\n";
  return out.str();
}

// A sync client application bundle with English, Simplified and Traditional Chinese and a
// French folder whose table is broken, and a flat bundle beside it.
class BundleFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/vrk.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    root_ = dir;
    app_ = root_ / "Sync.app";
    fs::path res = app_ / "Contents" / "Resources";
    Write(app_ / "Contents" / "Info.plist", InfoPlist("com.mirelta.sync", "en"));
    Write(res / "icon.png", "png");
    Write(res / "Plain.strings", "\"Plain\" = \"plain text\";");
    Write(res / "en.lproj" / "Localizable.strings",
          "\"Share\" = \"Share\"; \"Prefix\" = \"Sync\";");
    Write(res / "en.lproj" / "icon.png", "english png");
    Write(res / "zh-Hans.lproj" / "Localizable.strings", "\"Share\" = \"\u5171\u4eab\";");
    Write(res / "zh-Hans.lproj" / "only-zh.txt", "zh");
    Write(res / "zh-Hant.lproj" / "Localizable.strings", "\"Share\" = \"\u5171\u4eab(T)\";");
    Write(res / "fr.lproj" / "Localizable.strings", "\"Share\" = \"Partager\"");  // no ;
    Write(res / "fr.lproj" / "Plain.strings", "\"Plain\" = \"texte\";");
    Write(res / "de.lproj", "a file, not a folder");
    flat_ = root_ / "Flat";
    Write(flat_ / "Info.plist", InfoPlist("com.example.flat", "zh-Hans"));
    Write(flat_ / "Localizable.strings", "\"Share\" = \"flat\";");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::shared_ptr<NSBundle> app() { return NSBundle::bundleWithPath(app_.string()); }

  fs::path root_, app_, flat_;
};

TEST_F(BundleFolder, BundleWithPathIsCachedPerNormalisedPath) {
  auto bundle = app();
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bundlePath(), app_.string());
  EXPECT_EQ(NSBundle::bundleWithPath(app_.string() + "/"), bundle);
  EXPECT_EQ(NSBundle::bundleWithPath((root_ / "." / "Sync.app" / "Contents" / "..").string()),
            bundle);
  EXPECT_EQ(NSBundle::bundleWithPath((root_ / "missing").string()), nullptr);
  EXPECT_EQ(NSBundle::bundleWithPath((app_ / "Contents" / "Info.plist").string()), nullptr);
  EXPECT_EQ(NSBundle::bundleWithPath(""), nullptr);

  EXPECT_EQ(bundle->resourcePath(), (app_ / "Contents" / "Resources").string());
  EXPECT_EQ(bundle->bundleIdentifier(), "com.mirelta.sync");
  auto flat = NSBundle::bundleWithPath(flat_.string());
  EXPECT_EQ(flat->resourcePath(), flat_.string());
  EXPECT_EQ(flat->bundleIdentifier(), "com.example.flat");
  auto lproj = NSBundle::bundleWithPath((app_ / "Contents/Resources/en.lproj").string());
  EXPECT_TRUE(lproj->infoDictionary().isNil());
  EXPECT_EQ(lproj->bundleIdentifier(), std::nullopt);
}

TEST_F(BundleFolder, PreferredLocalizationsFollowTheLocaleThenTheDevelopmentRegion) {
  auto bundle = app();
  {
    ScopedLocale locale("C");
    EXPECT_THAT(bundle->preferredLocalizations(), ElementsAre("en"));
  }
  {
    ScopedLocale locale("zh_CN.UTF-8");
    EXPECT_THAT(bundle->preferredLocalizations(), ElementsAre("zh-Hans", "en"));
  }
  {
    ScopedLocale locale("zh_TW.Big5");
    EXPECT_THAT(bundle->preferredLocalizations(), ElementsAre("zh-Hant", "en"));
  }
  {
    // LANGUAGE lists several; de has a file, not a folder, so it is no localization.
    ScopedLocale locale("en_US.UTF-8", "de:fr_FR:zh_HK:ja");
    EXPECT_THAT(bundle->preferredLocalizations(), ElementsAre("fr", "zh-Hant", "en"));
  }
  {
    ScopedLocale locale(nullptr);
    EXPECT_THAT(NSBundle::bundleWithPath(flat_.string())->preferredLocalizations(),
                ElementsAre("zh-Hans"));
  }
}

TEST_F(BundleFolder, PathForResourcePrefersUnlocalizedThenPreferredLanguages) {
  ScopedLocale locale("zh_CN.UTF-8");
  auto bundle = app();
  const fs::path res = app_ / "Contents" / "Resources";
  EXPECT_EQ(bundle->pathForResource("icon", "png"), (res / "icon.png").string());
  EXPECT_EQ(bundle->pathForResource("icon.png", ""), (res / "icon.png").string());
  EXPECT_EQ(bundle->pathForResource("icon", ".png"), (res / "icon.png").string());
  EXPECT_EQ(bundle->pathForResource("only-zh", "txt"),
            (res / "zh-Hans.lproj/only-zh.txt").string());
  EXPECT_EQ(bundle->pathForResource("zh-Hant", "lproj"), (res / "zh-Hant.lproj").string());
  EXPECT_EQ(bundle->pathForResource("missing", "png"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("", "lproj"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("../Info", "plist"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("/etc/passwd", ""), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("en.lproj/icon", "png"), (res / "en.lproj/icon.png").string());
}

TEST_F(BundleFolder, PlatformLookupReadsThePreferredTable) {
  auto bundle = app();
  {
    ScopedLocale locale("zh_CN.UTF-8");
    EXPECT_EQ(bundle->localizedStringForKey("Share", "", std::nullopt), "\u5171\u4eab");
    // The Chinese table has no "Prefix": the lookup does not fall through to English.
    EXPECT_EQ(bundle->localizedStringForKey("Prefix", "", std::nullopt), "Prefix");
    EXPECT_EQ(bundle->localizedStringForKey("Prefix", "fallback", std::nullopt), "fallback");
    EXPECT_EQ(bundle->localizedStringForKey("Share", "", "Localizable"), "\u5171\u4eab");
    EXPECT_EQ(bundle->localizedStringForKey("Share", "", ""), "\u5171\u4eab");
    EXPECT_EQ(bundle->localizedStringForKey("Share", "", "Missing"), "Share");
    // A table that no localization has is taken from the resource folder itself.
    EXPECT_EQ(bundle->localizedStringForKey("Plain", "", "Plain"), "plain text");
    EXPECT_EQ(bundle->localizedStringForKey("Share", "", "../Contents/Info"), "Share");
  }
  {
    ScopedLocale locale("fr_FR.UTF-8");
    LogCapture capture;
    EXPECT_EQ(bundle->localizedStringForKey("Share", "", std::nullopt), "Share");
    EXPECT_EQ(bundle->localizedStringForKey("Share", "x", std::nullopt), "x");
    EXPECT_EQ(capture.countContaining("Cannot read string table"), 1u) << "parsed once";
    EXPECT_EQ(bundle->localizedStringForKey("Plain", "", "Plain"), "texte");
  }
  // An lproj folder as a bundle of its own has its tables in the folder itself.
  auto hant = NSBundle::bundleWithPath((app_ / "Contents/Resources/zh-Hant.lproj").string());
  EXPECT_EQ(NSBundlePlatformLocalizedString(*hant, "Share", "", std::nullopt), "\u5171\u4eab(T)");
}

std::string Upper(NSBundle&, std::string_view key, std::string_view,
                  const std::optional<std::string>&) {
  std::string s(key);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST_F(BundleFolder, LookupsAreDispatchedThroughTheMethodTable) {
  constexpr std::string_view kOrig = "localizedStringForKey:value:table:";
  constexpr std::string_view kCustom = "customLocaLizedStringForKey:value:table:";
  ScopedLocale locale("C");
  auto bundle = app();
  ASSERT_EQ(runtime::class_getInstanceMethod(kOrig), &NSBundlePlatformLocalizedString);
  ASSERT_EQ(runtime::class_getInstanceMethod(kCustom), nullptr);
  {
    LogCapture capture;
    EXPECT_EQ(bundle->customLocaLizedStringForKey("Prefix", "", std::nullopt), "Sync");
    EXPECT_EQ(capture.countContaining("unrecognized selector"), 1u);
  }

  EXPECT_FALSE(runtime::class_addMethod(kOrig, &Upper));
  EXPECT_TRUE(runtime::class_addMethod(kCustom, &Upper));
  EXPECT_FALSE(runtime::class_addMethod(kCustom, &Upper));
  runtime::method_exchangeImplementations(kOrig, kCustom);
  EXPECT_EQ(bundle->localizedStringForKey("Prefix", "", std::nullopt), "PREFIX");
  EXPECT_EQ(bundle->customLocaLizedStringForKey("Prefix", "", std::nullopt), "Sync");

  runtime::method_exchangeImplementations(kOrig, "noSuchSelector:");
  EXPECT_EQ(runtime::class_getInstanceMethod(kOrig), &Upper);
  runtime::class_replaceMethod(kOrig, &NSBundlePlatformLocalizedString);
  EXPECT_EQ(bundle->localizedStringForKey("Prefix", "", std::nullopt), "Sync");
  runtime::class_replaceMethod("added:", &Upper);
  EXPECT_EQ(runtime::class_getInstanceMethod("added:"), &Upper);
}

TEST(MainBundlePath, FindsTheBundleAroundTheExecutable) {
  EXPECT_EQ(detail::MainBundlePath("/a/Sync.app/Contents/MacOS/sync", nullptr), "/a/Sync.app");
  EXPECT_EQ(detail::MainBundlePath("/a/Ext.appex/Contents/MacOS/ext", "/tmp"), "/a/Ext.appex");
  EXPECT_EQ(detail::MainBundlePath("/a/Sync/Contents/MacOS/sync", nullptr),
            "/a/Sync/Contents/MacOS");
  EXPECT_EQ(detail::MainBundlePath("/usr/bin/python3", "/tmp"), "/tmp");
  EXPECT_EQ(detail::MainBundlePath("/usr/bin/python3", ""), "/usr/bin");
  LogCapture capture;
  EXPECT_EQ(detail::MainBundlePath("/usr/bin/python3", "/nonexistent/X.app"), "/usr/bin");
  EXPECT_EQ(capture.countContaining("VRK_MAIN_BUNDLE"), 1u);
}

TEST(LocalizationCandidates, MapsLocalesToFolderNames) {
  using detail::LocalizationCandidates;
  EXPECT_THAT(LocalizationCandidates("zh_TW.UTF-8"),
              ElementsAre("zh-Hant", "zh-TW", "zh_TW", "zh"));
  EXPECT_THAT(LocalizationCandidates("zh_CN"), ElementsAre("zh-Hans", "zh-CN", "zh_CN", "zh"));
  EXPECT_EQ(LocalizationCandidates("zh-Hant").front(), "zh-Hant");
  EXPECT_EQ(LocalizationCandidates("zh").front(), "zh-Hans");
  EXPECT_THAT(LocalizationCandidates("fr_FR.UTF-8@euro"),
              ElementsAre("fr-FR", "fr_FR", "fr", "French"));
  EXPECT_THAT(LocalizationCandidates("pt-BR"), ElementsAre("pt-BR", "pt_BR", "pt"));
  EXPECT_THAT(LocalizationCandidates("C"), ElementsAre("en", "English"));
  EXPECT_THAT(LocalizationCandidates("POSIX"), ElementsAre("en", "English"));
  EXPECT_THAT(LocalizationCandidates("C.UTF-8"), ElementsAre("en", "English"));
}

// Runs this binary again with only `filter`, in an environment with `extra` added; true when
// the child ran exactly one test and it passed.
bool RunChild(const std::string& filter, const std::vector<std::string>& extra) {
  std::vector<std::string> env(extra);
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string exe = fs::read_symlink("/proc/self/exe");
  std::string filterArg = "--gtest_filter=" + filter;
  char* argv[] = {exe.data(), filterArg.data(), nullptr};

  char out[] = "/tmp/vrk.XXXXXX";
  int fd = mkstemp(out);
  if (fd < 0) return false;
  close(fd);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_TRUNC, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (rc == 0) waitpid(pid, &status, 0);
  std::ifstream in(out);
  std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(out);
  if (rc != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << output;
    return false;
  }
  return output.find("[  PASSED  ] 1 test.") != std::string::npos &&
         output.find("SKIPPED") == std::string::npos;
}

TEST_F(BundleFolder, MainBundleComesFromVRKMainBundleOutsideABundle) {
  EXPECT_TRUE(RunChild("MainBundleChild.*", {"VRK_BUNDLE_TEST_CHILD=" + app_.string(),
                                             "VRK_MAIN_BUNDLE=" + app_.string() + "/"}));
}

// Runs only in the child that the test above starts.
TEST(MainBundleChild, IsTheBundleNamedByTheEnvironment) {
  const char* expected = std::getenv("VRK_BUNDLE_TEST_CHILD");
  if (!expected) GTEST_SKIP() << "runs in a child process";
  auto main = NSBundle::mainBundle();
  ASSERT_TRUE(main);
  EXPECT_EQ(main->bundlePath(), expected);
  EXPECT_EQ(NSBundle::mainBundle(), main);
  EXPECT_EQ(NSBundle::bundleWithPath(expected), main);
  EXPECT_EQ(main->bundleIdentifier(), "com.mirelta.sync");
}

}  // namespace
}  // namespace vrk
