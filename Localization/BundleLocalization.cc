#include "Localization/BundleLocalization.h"

namespace vrk {
namespace {

// Takes the address of the category's load so that linking this file from a static library
// always brings NSBundle+Localization.cc, and with it the static initializer that installs the
// redirection, into the program.
[[maybe_unused]] __attribute__((used)) void (*const kKeepCategoryLinked)() =
    &NSBundleLocalization::load;

}  // namespace

std::shared_ptr<BundleLocalization> BundleLocalization::sharedInstance() {
  // Never destroyed: lookups may still run on other threads while the process exits.
  static const std::shared_ptr<BundleLocalization>& instance =
      *new std::shared_ptr<BundleLocalization>(std::make_shared<BundleLocalization>());
  return instance;
}

BundleLocalization::BundleLocalization() : localizationBundle_(NSBundle::mainBundle()) {}

void BundleLocalization::setLanguage(const std::optional<std::string>& language) {
  auto main = NSBundle::mainBundle();
  std::optional<std::string> path;
  if (language) path = main->pathForResource(*language, "lproj");
  if (!path) {
    setLocalizationBundle(main);
    return;
  }
  setLocalizationBundle(NSBundle::bundleWithPath(*path));
  // The reference is weak: a bundle that could not be made, or was not kept, reads back as
  // null, and lookups then fall back to the main bundle.
  if (!localizationBundle()) setLocalizationBundle(main);
  setSelectedLanguage(language);
}

std::optional<std::string> BundleLocalization::language() const {
  auto main = NSBundle::mainBundle();
  auto bundle = localizationBundle();
  if (bundle && bundle != main) return selectedLanguage();
  return main->preferredLocalizations().front();
}

std::shared_ptr<NSBundle> BundleLocalization::localizationBundle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return localizationBundle_.lock();
}

void BundleLocalization::setLocalizationBundle(const std::shared_ptr<NSBundle>& bundle) {
  std::lock_guard<std::mutex> lock(mutex_);
  localizationBundle_ = bundle;
}

std::optional<std::string> BundleLocalization::selectedLanguage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return selectedLanguage_;
}

void BundleLocalization::setSelectedLanguage(const std::optional<std::string>& language) {
  std::lock_guard<std::mutex> lock(mutex_);
  selectedLanguage_ = language;
}

}  // namespace vrk
