#include <gtest/gtest.h>

#include "platform/locale.h"

namespace {

std::string language(const std::string& text) { return canonicalLanguageIdentifier(text).value_or("<none>"); }
std::string locale(const std::string& text) { return canonicalLocaleIdentifier(text).value_or("<none>"); }

}  // namespace

TEST(LocaleIdentifiers, CodesInAnyCaseAndEitherSeparator) {
  const struct {
    const char* text;
    const char* language;
    const char* locale;
  } cases[] = {
      {"en", "en", "en"},
      {"EN", "en", "en"},
      {"en_US", "en-US", "en_US"},
      {"en-us", "en-US", "en_US"},
      {"pt_PT", "pt-PT", "pt_PT"},
      {"zh_Hans", "zh-Hans", "zh_Hans"},
      {"zh-hans", "zh-Hans", "zh_Hans"},
      {"ZH_HANS_cn", "zh-Hans-CN", "zh_Hans_CN"},
      {"zh-Hans_CN", "zh-Hans-CN", "zh_Hans_CN"},
      {"es-419", "es-419", "es_419"},
      {"eng", "en", "en"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(language(c.text), c.language) << c.text;
    EXPECT_EQ(locale(c.text), c.locale) << c.text;
  }
}

TEST(LocaleIdentifiers, EnglishLanguageNamesGiveTheirCodes) {
  const std::pair<const char*, const char*> names[] = {
      {"English", "en"},  {"French", "fr"},     {"German", "de"},     {"Japanese", "ja"},
      {"Spanish", "es"},  {"Italian", "it"},    {"Dutch", "nl"},      {"Portuguese", "pt"},
      {"Chinese", "zh"},  {"french", "fr"},     {"GERMAN", "de"},     {"Swahili", "sw"},
      {"Korean", "ko"},   {"Norwegian Bokmål", "nb"}, {"NORWEGIAN BOKMÅL", "nb"},
  };
  for (const auto& [name, code] : names) {
    EXPECT_EQ(language(name), code) << name;
    EXPECT_EQ(locale(name), code) << name;
  }
}

TEST(LocaleIdentifiers, TextWithoutALanguageHasNoIdentifier) {
  for (const char* text : {"", "Klingonese", "xx", "und", "en-", "_US", "en US", "en@calendar=japanese", "Frenchy",
                           "x-private", "en-Toolongscript-US-"}) {
    EXPECT_FALSE(canonicalLanguageIdentifier(text)) << text;
    EXPECT_FALSE(canonicalLocaleIdentifier(text)) << text;
  }
  EXPECT_FALSE(canonicalLanguageIdentifier(std::string("en\0US", 5)));
}

TEST(LocaleComponents, SplitIdentifiersByKind) {
  using Components = std::map<std::string, std::string>;
  EXPECT_EQ(localeComponents("zh_Hans_CN"),
            (Components{{kLocaleLanguageCode, "zh"}, {kLocaleScriptCode, "Hans"}, {kLocaleCountryCode, "CN"}}));
  EXPECT_EQ(localeComponents("en-US"), (Components{{kLocaleLanguageCode, "en"}, {kLocaleCountryCode, "US"}}));
  EXPECT_EQ(localeComponents("de-DE-1996"), (Components{{kLocaleLanguageCode, "de"},
                                                        {kLocaleCountryCode, "DE"},
                                                        {kLocaleVariantCode, "1996"}}));
  EXPECT_EQ(localeComponents("fr"), (Components{{kLocaleLanguageCode, "fr"}}));
  EXPECT_FALSE(localeComponents(""));
  EXPECT_FALSE(localeComponents("Klingonese"));
}

TEST(LocaleComponents, ComposeFromLanguageAndScript) {
  using Components = std::map<std::string, std::string>;
  EXPECT_EQ(localeIdentifierFromComponents({{kLocaleLanguageCode, "zh"}, {kLocaleScriptCode, "Hans"}}), "zh_Hans");
  EXPECT_EQ(localeIdentifierFromComponents({{kLocaleLanguageCode, "EN"}}), "en");
  EXPECT_EQ(localeIdentifierFromComponents(
                {{kLocaleLanguageCode, "pt"}, {kLocaleCountryCode, "br"}, {kLocaleScriptCode, "latn"}}),
            "pt_Latn_BR");
  EXPECT_FALSE(localeIdentifierFromComponents(Components{}));
  EXPECT_FALSE(localeIdentifierFromComponents({{kLocaleScriptCode, "Hans"}}));
  EXPECT_FALSE(localeIdentifierFromComponents({{kLocaleLanguageCode, "klingonese"}}));
  // Splitting then composing gives the identifier back.
  for (const char* id : {"en_US", "zh_Hans_CN", "sr_Latn_RS", "de"}) {
    const auto components = localeComponents(id);
    ASSERT_TRUE(components) << id;
    EXPECT_EQ(localeIdentifierFromComponents(*components), id);
  }
}
