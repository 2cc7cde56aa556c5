#include "Platform/Foundation/NSLocale.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace vrk {
namespace {

struct Case {
  const char* name;
  const char* language;
  const char* script;  // null: none
  const char* identifier;
};

TEST(NSLocaleTest, NamesGiveLanguageScriptAndRegion) {
  const Case cases[] = {
      {"zh_TW.UTF-8", "zh", "Hant", "zh-Hant_TW"},
      {"zh_HK", "zh", "Hant", "zh-Hant_HK"},
      {"zh_MO.Big5", "zh", "Hant", "zh-Hant_MO"},
      {"zh_CN.UTF-8", "zh", "Hans", "zh-Hans_CN"},
      {"zh_SG", "zh", "Hans", "zh-Hans_SG"},
      {"zh", "zh", nullptr, "zh"},
      {"zh_US", "zh", nullptr, "zh_US"},
      {"zh_CN@Hant", "zh", "Hant", "zh-Hant_CN"},
      {"zh-Hant", "zh", "Hant", "zh-Hant"},
      {"zh-Hans-TW", "zh", "Hans", "zh-Hans_TW"},
      {"zh_Hant_HK", "zh", "Hant", "zh-Hant_HK"},
      {"sr_RS@latin", "sr", "Latn", "sr-Latn_RS"},
      {"de_DE@euro", "de", nullptr, "de_DE"},
      {"FR_fr", "fr", nullptr, "fr_FR"},
      {"es_419", "es", nullptr, "es_419"},
      {"C", "en", nullptr, "en"},
      {"C.UTF-8", "en", nullptr, "en"},
      {"POSIX", "en", nullptr, "en"},
      {"", "en", nullptr, "en"},
      {"x", "en", nullptr, "en"},
      {"12_34", "en", nullptr, "en"},
  };
  for (const Case& c : cases) {
    auto locale = NSLocale::localeWithLocaleIdentifier(c.name);
    EXPECT_EQ(locale->languageCode(), c.language) << c.name;
    EXPECT_EQ(locale->scriptCode(), c.script ? std::optional<std::string>(c.script) : std::nullopt)
        << c.name;
    EXPECT_EQ(locale->localeIdentifier(), c.identifier) << c.name;
    EXPECT_EQ(locale->objectForKey(NSLocaleLanguageCode), Object(c.language)) << c.name;
    EXPECT_EQ(locale->objectForKey(NSLocaleScriptCode), c.script ? Object(c.script) : Object())
        << c.name;
  }
}

class CurrentLocaleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* value = std::getenv(v);
      saved_.emplace_back(v, value ? std::optional<std::string>(value) : std::nullopt);
      ::unsetenv(v);
    }
  }
  void TearDown() override {
    for (auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(CurrentLocaleTest, FirstNonEmptyVariableWinsAndIsReadOnEveryCall) {
  EXPECT_EQ(NSLocale::currentLocale()->languageCode(), "en");
  ::setenv("LANG", "fr_FR.UTF-8", 1);
  EXPECT_EQ(NSLocale::currentLocale()->languageCode(), "fr");
  ::setenv("LC_MESSAGES", "zh_TW.UTF-8", 1);
  EXPECT_EQ(NSLocale::currentLocale()->scriptCode(), "Hant");
  ::setenv("LC_ALL", "", 1);  // empty counts as unset
  EXPECT_EQ(NSLocale::currentLocale()->scriptCode(), "Hant");
  ::setenv("LC_ALL", "zh_CN.UTF-8", 1);
  EXPECT_EQ(NSLocale::currentLocale()->scriptCode(), "Hans");
  ::setenv("LC_ALL", "C", 1);
  EXPECT_EQ(NSLocale::currentLocale()->languageCode(), "en");
  EXPECT_FALSE(NSLocale::currentLocale()->scriptCode());
}

}  // namespace
}  // namespace vrk
