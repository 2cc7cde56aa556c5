// The run-time language switch. One BundleLocalization per process holds the language the sync
// client (or the extension) chose and the bundle of that language's localization folder. The
// category NSBundle(Localization) redirects every localized-string lookup of the process,
// whichever bundle it is sent to, to that bundle.
//
// Each deliverable carries its own copy and its own singleton. The redirection is installed
// when the code is loaded, before main() or before dlopen() returns, and is never removed.
//
// Contract:
// - sharedInstance() is created once, on first use, from any thread, and lives until the
//   process ends.
// - setLanguage() may run on one thread while lookups run on others: the bundle in use is
//   read and replaced under a lock, so a lookup uses either the old or the new bundle.
// - Nothing is reported or logged; a language without a localization folder switches lookups
//   back to the main bundle.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/NSBundle.h"

namespace vrk {

class BundleLocalization {
 public:
  static std::shared_ptr<BundleLocalization> sharedInstance();

  BundleLocalization();  // localizationBundle starts as the main bundle
  BundleLocalization(const BundleLocalization&) = delete;
  BundleLocalization& operator=(const BundleLocalization&) = delete;

  // Chooses the language: the main bundle's "<language>.lproj" folder becomes the bundle every
  // lookup is served from. A language without such a folder, and nil, switch lookups back to
  // the main bundle and keep the previous selectedLanguage.
  void setLanguage(const std::optional<std::string>& language);
  // The selected language while a localization folder is in use; otherwise the first of the
  // main bundle's preferred localizations (the system's choice for the process).
  std::optional<std::string> language() const;

  // Weak, as the bundle cache owns bundles; a bundle that has gone reads as null.
  std::shared_ptr<NSBundle> localizationBundle() const;
  void setLocalizationBundle(const std::shared_ptr<NSBundle>& bundle);
  // The last language whose localization folder was found; nil until then.
  std::optional<std::string> selectedLanguage() const;
  void setSelectedLanguage(const std::optional<std::string>& language);

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<NSBundle> localizationBundle_;
  std::optional<std::string> selectedLanguage_;
};

// The category NSBundle(Localization).
struct NSBundleLocalization {
  // +load: installs the redirection, once per process (a second call changes nothing). Runs
  // from a static initializer of this library.
  static void load();
  // -customLocaLizedStringForKey:value:table:. After load() this answers every
  // localizedStringForKey:value:table: sent to any bundle, from the localization bundle (or
  // the main bundle when that has gone).
  static std::string customLocaLizedStringForKey(NSBundle& self, std::string_view key,
                                                 std::string_view value,
                                                 const std::optional<std::string>& table);
};

}  // namespace vrk
