// The category NSBundle(Localization): redirects every localized-string lookup of the process
// to the bundle of the language chosen with BundleLocalization.
#include <mutex>

#include "Localization/BundleLocalization.h"

namespace vrk {
namespace {

constexpr std::string_view kLocalizedStringSelector = "localizedStringForKey:value:table:";
constexpr std::string_view kCustomLocalizedStringSelector =
    "customLocaLizedStringForKey:value:table:";

// Attaching the category adds its method to NSBundle, as the runtime does before +load.
void AttachCategory() {
  runtime::class_addMethod(kCustomLocalizedStringSelector,
                           &NSBundleLocalization::customLocaLizedStringForKey);
}

// +load runs when the code is loaded: before main() in the extension, and while the sync
// client's process loads the library.
[[maybe_unused]] const bool kLoaded = (AttachCategory(), NSBundleLocalization::load(), true);

}  // namespace

void NSBundleLocalization::load() {
  static std::once_flag onceToken;
  std::call_once(onceToken, [] {
    NSBundleStringIMP original = runtime::class_getInstanceMethod(kLocalizedStringSelector);
    NSBundleStringIMP custom = runtime::class_getInstanceMethod(kCustomLocalizedStringSelector);
    if (runtime::class_addMethod(kLocalizedStringSelector, custom)) {
      runtime::class_replaceMethod(kCustomLocalizedStringSelector, original);
    } else {
      // NSBundle has its own localizedStringForKey:value:table:, so this is the branch taken.
      runtime::method_exchangeImplementations(kLocalizedStringSelector,
                                              kCustomLocalizedStringSelector);
    }
  });
}

std::string NSBundleLocalization::customLocaLizedStringForKey(
    NSBundle& self, std::string_view key, std::string_view value,
    const std::optional<std::string>& table) {
  (void)self;  // the receiving bundle is ignored: every lookup is served from one bundle
  std::shared_ptr<NSBundle> bundle = BundleLocalization::sharedInstance()->localizationBundle();
  if (!bundle) bundle = NSBundle::mainBundle();
  // After the exchange this selector runs the platform's lookup, in the localization bundle.
  return bundle->customLocaLizedStringForKey(key, value, table);
}

}  // namespace vrk
