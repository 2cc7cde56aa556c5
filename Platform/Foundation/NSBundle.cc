#include "Platform/Foundation/NSBundle.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <system_error>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/PropertyList.h"

namespace vrk {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kLocalizedStringSelector = "localizedStringForKey:value:table:";
constexpr std::string_view kCustomLocalizedStringSelector =
    "customLocaLizedStringForKey:value:table:";

bool IsDirectory(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

// The absolute, normalised form of a bundle path, without a trailing separator, so that
// "/a/X.app/", "/a/./X.app" and "X.app" seen from /a are one cache entry.
fs::path NormalisedPath(const fs::path& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  if (ec) p = path;
  p = p.lexically_normal();
  if (!p.has_filename() && p.has_relative_path()) p = p.parent_path();
  return p;
}

// A relative path that stays inside the folder it is joined to.
bool IsContainedRelativePath(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return false;
  fs::path p(name);
  if (p.is_absolute()) return false;
  return std::none_of(p.begin(), p.end(), [](const fs::path& part) { return part == ".."; });
}

// The bundle cache. Bundles live until the process ends, as on macOS; the cache is never
// destroyed, so a lookup made while the process exits still finds its bundle.
struct BundleCache {
  std::mutex mutex;
  std::map<fs::path, std::shared_ptr<NSBundle>> bundles;
};

BundleCache& Bundles() {
  static BundleCache* cache = new BundleCache;
  return *cache;
}

struct MethodTable {
  std::mutex mutex;
  std::map<std::string, NSBundleStringIMP, std::less<>> methods{
      {std::string(kLocalizedStringSelector), &NSBundlePlatformLocalizedString}};
};

MethodTable& Methods() {
  static MethodTable* table = new MethodTable;
  return *table;
}

std::string LegacyLanguageName(std::string_view language) {
  static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
      {"en", "English"}, {"fr", "French"},  {"de", "German"}, {"ja", "Japanese"},
      {"es", "Spanish"}, {"it", "Italian"}, {"nl", "Dutch"},
  };
  for (const auto& [code, name] : kNames) {
    if (code == language) return std::string(name);
  }
  return {};
}

// The languages the user prefers, best first, as POSIX locale names or tags.
std::vector<std::string> PreferredLanguagesFromEnvironment() {
  std::vector<std::string> languages;
  if (const char* list = std::getenv("LANGUAGE")) {
    std::string_view rest(list);
    while (!rest.empty()) {
      std::size_t colon = rest.find(':');
      std::string_view one = rest.substr(0, colon);
      if (!one.empty()) languages.emplace_back(one);
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) languages.emplace_back(value);
  }
  return languages;
}

}  // namespace

namespace detail {

fs::path MainBundlePath(const fs::path& executable, const char* mainBundleEnv) {
  fs::path macos = executable.parent_path();
  fs::path contents = macos.parent_path();
  fs::path bundle = contents.parent_path();
  if (macos.filename() == "MacOS" && contents.filename() == "Contents" &&
      (bundle.extension() == ".app" || bundle.extension() == ".appex")) {
    return bundle;
  }
  if (mainBundleEnv && *mainBundleEnv) {
    if (IsDirectory(mainBundleEnv)) return mainBundleEnv;
    NSLog("VRK_MAIN_BUNDLE = %s is not a folder; using the executable's folder", mainBundleEnv);
  }
  return executable.parent_path();
}

std::vector<std::string> LocalizationCandidates(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return {"en", "English"};

  std::string tag(locale);
  std::replace(tag.begin(), tag.end(), '_', '-');
  std::string underscored(locale);
  std::replace(underscored.begin(), underscored.end(), '-', '_');
  std::string language = tag.substr(0, tag.find('-'));
  std::transform(language.begin(), language.end(), language.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });

  std::vector<std::string> candidates;
  auto add = [&](std::string c) {
    if (!c.empty() && std::find(candidates.begin(), candidates.end(), c) == candidates.end()) {
      candidates.push_back(std::move(c));
    }
  };
  if (language == "zh") {
    // Chinese folders are named by script; the region only tells which script it uses.
    bool traditional = tag.find("Hant") != std::string::npos ||
                       tag.find("-TW") != std::string::npos ||
                       tag.find("-HK") != std::string::npos || tag.find("-MO") != std::string::npos;
    add(traditional ? "zh-Hant" : "zh-Hans");
    add(tag);
    add(underscored);
    add("zh");
    return candidates;
  }
  add(tag);
  add(underscored);
  add(language);
  add(LegacyLanguageName(language));
  return candidates;
}

}  // namespace detail

NSBundle::NSBundle(Token, fs::path path)
    : bundlePath_(path.string()),
      resourceDir_(IsDirectory(path / "Contents") ? path / "Contents" / "Resources" : path) {}

std::shared_ptr<NSBundle> NSBundle::cached(const fs::path& normalised) {
  BundleCache& cache = Bundles();
  std::lock_guard<std::mutex> lock(cache.mutex);
  auto& slot = cache.bundles[normalised];
  if (!slot) slot = std::make_shared<NSBundle>(Token{}, normalised);
  return slot;
}

std::shared_ptr<NSBundle> NSBundle::mainBundle() {
  static const std::shared_ptr<NSBundle> main = [] {
    std::error_code ec;
    fs::path executable = fs::read_symlink("/proc/self/exe", ec);
    if (ec) executable = fs::current_path(ec) / "unknown";
    return cached(
        NormalisedPath(detail::MainBundlePath(executable, std::getenv("VRK_MAIN_BUNDLE"))));
  }();
  return main;
}

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
  fs::path normalised = NormalisedPath(path);
  if (!IsDirectory(normalised)) return nullptr;
  return cached(normalised);
}

std::string NSBundle::resourcePath() const {
  return resourceDir_.string();
}

const std::vector<std::string>& NSBundle::localizations() const {
  std::call_once(scanOnce_, [this] {
    std::error_code ec;
    for (fs::directory_iterator it(resourceDir_, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path& p = it->path();
      if (p.extension() == ".lproj" && IsDirectory(p)) localizations_.push_back(p.stem().string());
    }
    std::sort(localizations_.begin(), localizations_.end());
  });
  return localizations_;
}

std::vector<std::string> NSBundle::preferredLocalizations() const {
  const std::vector<std::string>& available = localizations();
  std::vector<std::string> result;
  auto add = [&](const std::string& name) {
    if (std::find(result.begin(), result.end(), name) == result.end()) result.push_back(name);
  };
  for (const std::string& language : PreferredLanguagesFromEnvironment()) {
    for (const std::string& candidate : detail::LocalizationCandidates(language)) {
      if (std::binary_search(available.begin(), available.end(), candidate)) {
        add(candidate);
        break;
      }
    }
  }
  const Object region = infoDictionary().objectForKey("CFBundleDevelopmentRegion");
  add(region.string() && !region.string()->empty() ? *region.string() : std::string("en"));
  return result;
}

std::optional<std::string> NSBundle::pathForResource(std::string_view name,
                                                     std::string_view type) const {
  if (type.starts_with('.')) type.remove_prefix(1);
  std::string file(name);
  if (!type.empty()) file.append(".").append(type);
  if (name.empty() || !IsContainedRelativePath(file)) return std::nullopt;
  if (fs::path direct = resourceDir_ / file; Exists(direct)) return direct.string();
  for (const std::string& language : preferredLocalizations()) {
    fs::path localized = resourceDir_ / (language + ".lproj") / file;
    if (Exists(localized)) return localized.string();
  }
  return std::nullopt;
}

Object NSBundle::infoDictionary() const {
  std::call_once(infoOnce_, [this] {
    fs::path root(bundlePath_);
    fs::path plist =
        IsDirectory(root / "Contents") ? root / "Contents" / "Info.plist" : root / "Info.plist";
    Object info = PropertyListWithContentsOfFile(plist);
    if (info.isDictionary()) info_ = std::move(info);
  });
  return info_;
}

std::optional<std::string> NSBundle::bundleIdentifier() const {
  return infoDictionary().objectForKey("CFBundleIdentifier").stringOrNil();
}

std::string NSBundle::description() const {
  return "NSBundle <" + bundlePath_ + "> (loaded)";
}

std::shared_ptr<const StringsTable> NSBundle::stringsTableAtPath(const fs::path& file) const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  auto found = tables_.find(file);
  if (found != tables_.end()) return found->second;
  std::shared_ptr<const StringsTable> table;
  if (Exists(file))
    table = std::make_shared<const StringsTable>(StringsTableWithContentsOfFile(file));
  tables_.emplace(file, table);
  return table;
}

std::string NSBundle::localizedStringForKey(std::string_view key, std::string_view value,
                                            const std::optional<std::string>& table) {
  NSBundleStringIMP imp = runtime::class_getInstanceMethod(kLocalizedStringSelector);
  if (!imp) imp = &NSBundlePlatformLocalizedString;
  return imp(*this, key, value, table);
}

std::string NSBundle::customLocaLizedStringForKey(std::string_view key, std::string_view value,
                                                  const std::optional<std::string>& table) {
  NSBundleStringIMP imp = runtime::class_getInstanceMethod(kCustomLocalizedStringSelector);
  if (!imp) {
    NSLog(
        "-[NSBundle customLocaLizedStringForKey:value:table:]: unrecognized selector sent to "
        "instance %@",
        description());
    imp = &NSBundlePlatformLocalizedString;
  }
  return imp(*this, key, value, table);
}

std::string NSBundlePlatformLocalizedString(NSBundle& self, std::string_view key,
                                            std::string_view value,
                                            const std::optional<std::string>& table) {
  std::string tableName = table && !table->empty() ? *table : std::string("Localizable");
  std::shared_ptr<const StringsTable> strings;
  if (IsContainedRelativePath(tableName)) {
    const fs::path resources(self.resourcePath());
    const std::string file = tableName + ".strings";
    for (const std::string& language : self.preferredLocalizations()) {
      strings = self.stringsTableAtPath(resources / (language + ".lproj") / file);
      if (strings) break;
    }
    if (!strings) strings = self.stringsTableAtPath(resources / file);
  }
  if (strings) {
    auto found = strings->find(key);
    if (found != strings->end()) return found->second;
  }
  return std::string(value.empty() ? key : value);
}

namespace runtime {

NSBundleStringIMP class_getInstanceMethod(std::string_view selector) {
  MethodTable& table = Methods();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.methods.find(selector);
  return found == table.methods.end() ? nullptr : found->second;
}

bool class_addMethod(std::string_view selector, NSBundleStringIMP imp) {
  MethodTable& table = Methods();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.methods.emplace(std::string(selector), imp).second;
}

void class_replaceMethod(std::string_view selector, NSBundleStringIMP imp) {
  MethodTable& table = Methods();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.methods.insert_or_assign(std::string(selector), imp);
}

void method_exchangeImplementations(std::string_view a, std::string_view b) {
  MethodTable& table = Methods();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto first = table.methods.find(a);
  auto second = table.methods.find(b);
  if (first == table.methods.end() || second == table.methods.end()) return;
  std::swap(first->second, second->second);
}

}  // namespace runtime
}  // namespace vrk
