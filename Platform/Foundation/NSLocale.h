// NSLocale: the language, script and region of a locale.
//
// Contract:
// - currentLocale() describes the process locale as the environment names it: the first
//   non-empty of LC_ALL, LC_MESSAGES and LANG, read on every call (a test may change them).
//   "C", "POSIX" or nothing at all is English: language "en" without script or region.
// - A locale name is language[_REGION][.codeset][@modifier], or the BCP 47 / Apple form
//   language[-Script][-REGION]. The codeset is ignored. A modifier "Hant" or "Hans" (or
//   "latin"/"cyrillic") names the script. A Chinese locale without a script takes it from its
//   region: TW, HK and MO write Hant, CN and SG write Hans; other regions and none leave the
//   script unset. A name whose language is not two or three letters is English.
// - The result is an immutable object owned by the caller; never null. Thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/Object.h"

namespace vrk {

// The keys of objectForKey:, with Foundation's values.
inline constexpr std::string_view NSLocaleIdentifier = "kCFLocaleIdentifierKey";
inline constexpr std::string_view NSLocaleLanguageCode = "kCFLocaleLanguageCodeKey";
inline constexpr std::string_view NSLocaleScriptCode = "kCFLocaleScriptCodeKey";
inline constexpr std::string_view NSLocaleCountryCode = "kCFLocaleCountryCodeKey";

class NSLocale {
 public:
  static std::shared_ptr<const NSLocale> currentLocale();
  // The locale a name describes, in any of the forms above.
  static std::shared_ptr<const NSLocale> localeWithLocaleIdentifier(std::string_view name);

  // "zh-Hant_TW", "en", "fr_FR": language, then -Script, then _REGION when known.
  const std::string& localeIdentifier() const { return identifier_; }
  // Lower case, two or three letters.
  const std::string& languageCode() const { return language_; }
  // Title case ("Hant"), or nullopt.
  const std::optional<std::string>& scriptCode() const { return script_; }
  // Upper case ("TW"), or nullopt.
  const std::optional<std::string>& countryCode() const { return country_; }

  // objectForKey: with the keys above: a string, or nil when the locale has no such part or
  // the key is unknown.
  Object objectForKey(std::string_view key) const;

  NSLocale(std::string language, std::optional<std::string> script,
           std::optional<std::string> country);

 private:
  std::string identifier_;
  std::string language_;
  std::optional<std::string> script_;
  std::optional<std::string> country_;
};

}  // namespace vrk
