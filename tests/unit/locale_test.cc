#include "platform/locale.h"

#include <gtest/gtest.h>

// Codes in any case with either separator, and English language names.
TEST(LocaleIdentifiers, CodesAndEnglishNamesInAnyCase) {
  const char* cases[][3] = {
      {"en", "en", "en"}, {"EN", "en", "en"}, {"en-us", "en-US", "en_US"}, {"pt_PT", "pt-PT", "pt_PT"},
      {"zh-hans", "zh-Hans", "zh_Hans"}, {"ZH_HANS_cn", "zh-Hans-CN", "zh_Hans_CN"},
      {"zh-Hans_CN", "zh-Hans-CN", "zh_Hans_CN"}, {"es-419", "es-419", "es_419"}, {"eng", "en", "en"},
      {"English", "en", "en"}, {"french", "fr", "fr"}, {"GERMAN", "de", "de"}, {"Japanese", "ja", "ja"},
      {"Dutch", "nl", "nl"}, {"Portuguese", "pt", "pt"}, {"NORWEGIAN BOKMÅL", "nb", "nb"}};
  for (const auto& c : cases) {
    EXPECT_EQ(canonicalLanguageIdentifier(c[0]).value_or("<none>"), c[1]) << c[0];
    EXPECT_EQ(canonicalLocaleIdentifier(c[0]).value_or("<none>"), c[2]) << c[0];
  }
  const std::string none[] = {"", "Klingonese", "xx", "und", "en-", "_US", "en US", "en@calendar=japanese", "Frenchy",
                              "x-private", "en-Toolongscript-US-", std::string("en\0US", 5)};
  for (const std::string& text : none) {
    EXPECT_FALSE(canonicalLanguageIdentifier(text)) << text;
    EXPECT_FALSE(canonicalLocaleIdentifier(text)) << text;
  }
}
