#include "platform/locale.h"

#include <gtest/gtest.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cctype>
#include <map>

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

// Every English name the locale data gives a language is understood, and names
// the same language as the data's own display name for the first code that has
// it: the table read in one pass agrees with asking code by code.
TEST(LocaleIdentifiers, EveryEnglishLanguageNameOfTheData) {
  std::map<std::string, std::string> firstCode;  // display name -> canonical identifier
  size_t named = 0;
  for (const char* const* code = uloc_getISOLanguages(); *code != nullptr; ++code) {
    UChar wide[128];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = uloc_getDisplayLanguage(*code, "en", wide, 128, &status);
    if (U_FAILURE(status) || status == U_USING_DEFAULT_WARNING || length <= 0) continue;
    char name[512];
    int32_t nameLength = 0;
    u_strToUTF8(name, sizeof name, &nameLength, wide, length, &status);
    ASSERT_TRUE(U_SUCCESS(status));
    std::string upper(name, static_cast<size_t>(nameLength));
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    if (firstCode.count(upper) > 0) continue;
    char canonical[ULOC_FULLNAME_CAPACITY], language[ULOC_LANG_CAPACITY];
    uloc_canonicalize(*code, canonical, sizeof canonical, &status);
    uloc_getLanguage(canonical, language, sizeof language, &status);
    ASSERT_TRUE(U_SUCCESS(status)) << *code;
    firstCode[upper] = language;
    ++named;
  }
  EXPECT_GT(named, 400u);
  for (const auto& [name, identifier] : firstCode) {
    if (identifier.empty() || identifier == "und") continue;  // "Unknown language"
    EXPECT_EQ(canonicalLanguageIdentifier(name).value_or("<none>"), identifier) << name;
  }
}
