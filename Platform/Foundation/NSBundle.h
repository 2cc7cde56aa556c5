// NSBundle: bundle folders laid out as on macOS, their resources, localization folders (lproj)
// and string tables, plus a small model of the object runtime's method table through which
// every localized-string lookup of the process is dispatched.
//
// Contract:
// - Bundles are owned by a process-wide cache and live until the process ends, as on macOS:
//   the same path always gives the same object, and a std::weak_ptr to a bundle never expires.
//   mainBundle() is never null and is the object that bundleWithPath() returns for its path.
// - Failures return nothing: a missing resource is nullopt, a missing or bad Info.plist is a
//   nil dictionary, a missing or bad string table has no keys (a bad one is logged once).
// - Files are read on first use and cached; a bundle's contents are assumed not to change
//   while the process runs.
// - Every member may be called from any thread, concurrently. The method table is guarded, so
//   lookups may run while another thread exchanges implementations.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Object.h"
#include "Platform/Foundation/StringsFile.h"

namespace vrk {

class NSBundle : public std::enable_shared_from_this<NSBundle> {
  struct Token {};

 public:
  // The bundle around the executable (X.app/Contents/MacOS/exe or X.appex/...); a process whose
  // executable lies outside a bundle takes VRK_MAIN_BUNDLE (when it names a folder); otherwise
  // the folder of the executable. Made on first use.
  static std::shared_ptr<NSBundle> mainBundle();
  // Null when `path` is not a directory. The path is made absolute and normalised first.
  static std::shared_ptr<NSBundle> bundleWithPath(const std::string& path);

  NSBundle(Token, std::filesystem::path path);
  NSBundle(const NSBundle&) = delete;
  NSBundle& operator=(const NSBundle&) = delete;

  const std::string& bundlePath() const { return bundlePath_; }
  // Contents/Resources for a bundle with a Contents folder (.app, .appex, .bundle), else the
  // folder itself (a flat bundle, or an lproj folder).
  std::string resourcePath() const;
  // pathForResource:ofType:: Resources/name.type, then Resources/<lang>.lproj/name.type for the
  // preferred localizations; nullopt when missing. `type` may be empty (then `name` holds the
  // whole file name) and may start with a dot. Names that are empty, absolute or contain a ".."
  // component are refused, so a resource never lies outside the bundle.
  std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const;
  // The bundle's lproj names ordered by the process's preferred languages (LANGUAGE, LC_ALL,
  // LC_MESSAGES, LANG, read on every call: zh_TW -> zh-Hant, zh_CN -> zh-Hans, fr_FR -> fr,
  // C/POSIX -> en), then the development region (CFBundleDevelopmentRegion, default "en"),
  // which is listed even when the bundle has no folder for it. Never empty.
  std::vector<std::string> preferredLocalizations() const;
  // Contents/Info.plist (or Info.plist in the folder), a dictionary or nil.
  Object infoDictionary() const;
  std::optional<std::string> bundleIdentifier() const;
  // localizedStringForKey:value:table: -- dispatched through the method table below, so the
  // language redirection can exchange it. A nullopt table means "Localizable".
  std::string localizedStringForKey(std::string_view key, std::string_view value,
                                    const std::optional<std::string>& table);
  // customLocaLizedStringForKey:value:table:, the selector a category adds; also dispatched
  // through the method table. Sent before any category added it, it logs the unrecognized
  // selector and answers with the platform's lookup.
  std::string customLocaLizedStringForKey(std::string_view key, std::string_view value,
                                          const std::optional<std::string>& table);

  // For %@ in log lines: "NSBundle <path>".
  std::string description() const;

  // The decoded string table at `file`, read and parsed once per bundle; null when the file
  // does not exist. Used by the platform's lookup.
  std::shared_ptr<const StringsTable> stringsTableAtPath(const std::filesystem::path& file) const;

 private:
  // The one bundle object for a normalised path, made on first use.
  static std::shared_ptr<NSBundle> cached(const std::filesystem::path& normalised);
  const std::vector<std::string>& localizations() const;  // lproj folder names, sorted

  const std::string bundlePath_;
  const std::filesystem::path resourceDir_;
  mutable std::once_flag scanOnce_;
  mutable std::vector<std::string> localizations_;
  mutable std::once_flag infoOnce_;
  mutable Object info_;
  mutable std::mutex tablesMutex_;
  mutable std::map<std::filesystem::path, std::shared_ptr<const StringsTable>> tables_;
};

// A model of the object runtime's method table for NSBundle, enough for the language
// redirection: selectors are strings ("localizedStringForKey:value:table:",
// "customLocaLizedStringForKey:value:table:"), implementations are plain function pointers.
// At start the table holds only the platform's localizedStringForKey:value:table:.
using NSBundleStringIMP = std::string (*)(NSBundle& self, std::string_view key,
                                          std::string_view value,
                                          const std::optional<std::string>& table);
namespace runtime {
NSBundleStringIMP class_getInstanceMethod(std::string_view selector);    // null if none
bool class_addMethod(std::string_view selector, NSBundleStringIMP imp);  // false if it exists
// Sets the implementation, adding the method when it is missing.
void class_replaceMethod(std::string_view selector, NSBundleStringIMP imp);
// Swaps the implementations of two existing methods; does nothing when either is missing.
void method_exchangeImplementations(std::string_view a, std::string_view b);
}  // namespace runtime

// The platform's own lookup: the table <table>.strings of the first preferred localization of
// `self` that has one, else of the resource folder itself. A key that the table lacks yields
// `value` when it is non-empty, else the key.
std::string NSBundlePlatformLocalizedString(NSBundle& self, std::string_view key,
                                            std::string_view value,
                                            const std::optional<std::string>& table);

namespace detail {
// Where the main bundle is, for an executable at `executable` and the value of VRK_MAIN_BUNDLE
// (null when unset). Exposed for tests.
std::filesystem::path MainBundlePath(const std::filesystem::path& executable,
                                     const char* mainBundleEnv);
// The lproj names to try, best first, for one POSIX locale name or language tag: "zh_TW.UTF-8"
// gives zh-Hant, zh-TW, zh_TW; "fr_FR" gives fr-FR, fr_FR, fr, French. Exposed for tests.
std::vector<std::string> LocalizationCandidates(std::string_view locale);
}  // namespace detail

}  // namespace vrk
