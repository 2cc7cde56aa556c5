#include "Platform/Foundation/NSLocale.h"

#include <cctype>
#include <cstdlib>
#include <vector>

namespace vrk {
namespace {

int IsAlpha(int c) {
  return std::isalpha(c);
}
int IsDigit(int c) {
  return std::isdigit(c);
}

bool AllOf(std::string_view s, int (*test)(int)) {
  for (char c : s) {
    if (!test(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string TitleCase(std::string_view s) {
  std::string out = Lower(s);
  if (!out.empty()) out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  return out;
}

// The script a glibc locale modifier names ("sr_RS@latin", "zh_TW@Hant"); nullopt for the
// modifiers that say something else ("@euro").
std::optional<std::string> ScriptOfModifier(std::string_view modifier) {
  std::string m = Lower(modifier);
  if (m == "latin" || m == "latn") return "Latn";
  if (m == "cyrillic" || m == "cyrl") return "Cyrl";
  if (m == "hant" || m == "hans") return TitleCase(m);
  return std::nullopt;
}

std::optional<std::string> ChineseScriptOfRegion(const std::optional<std::string>& region) {
  if (!region) return std::nullopt;
  if (*region == "TW" || *region == "HK" || *region == "MO") return "Hant";
  if (*region == "CN" || *region == "SG") return "Hans";
  return std::nullopt;
}

std::shared_ptr<const NSLocale> English() {
  return std::make_shared<const NSLocale>("en", std::nullopt, std::nullopt);
}

}  // namespace

NSLocale::NSLocale(std::string language, std::optional<std::string> script,
                   std::optional<std::string> country)
    : language_(std::move(language)), script_(std::move(script)), country_(std::move(country)) {
  identifier_ = language_;
  if (script_) identifier_ += "-" + *script_;
  if (country_) identifier_ += "_" + *country_;
}

std::shared_ptr<const NSLocale> NSLocale::localeWithLocaleIdentifier(std::string_view name) {
  std::optional<std::string> script;
  if (std::size_t at = name.find('@'); at != std::string_view::npos) {
    script = ScriptOfModifier(name.substr(at + 1));
    name = name.substr(0, at);
  }
  name = name.substr(0, name.find('.'));
  if (name.empty() || name == "C" || name == "POSIX") return English();

  std::vector<std::string_view> parts;
  while (!name.empty()) {
    std::size_t sep = name.find_first_of("_-");
    parts.push_back(name.substr(0, sep));
    name = sep == std::string_view::npos ? std::string_view() : name.substr(sep + 1);
  }
  const std::string_view language = parts.front();
  if (language.size() < 2 || language.size() > 3 || !AllOf(language, IsAlpha)) {
    return English();
  }

  std::optional<std::string> region;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    std::string_view part = parts[i];
    if (part.size() == 4 && AllOf(part, IsAlpha)) {
      if (!script) script = TitleCase(part);
    } else if ((part.size() == 2 && AllOf(part, IsAlpha)) ||
               (part.size() == 3 && AllOf(part, IsDigit))) {
      if (!region) region = Upper(part);
    }
  }
  std::string code = Lower(language);
  if (code == "zh" && !script) script = ChineseScriptOfRegion(region);
  return std::make_shared<const NSLocale>(std::move(code), std::move(script), std::move(region));
}

std::shared_ptr<const NSLocale> NSLocale::currentLocale() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return localeWithLocaleIdentifier(value);
  }
  return English();
}

Object NSLocale::objectForKey(std::string_view key) const {
  if (key == NSLocaleIdentifier) return Object(identifier_);
  if (key == NSLocaleLanguageCode) return Object(language_);
  if (key == NSLocaleScriptCode) return Object(script_);
  if (key == NSLocaleCountryCode) return Object(country_);
  return Object();
}

}  // namespace vrk
