#include "main/seeding.h"

#include "platform/flags.h"
#include "tests/unit/fixture.h"

using fixture::stringAt;

// An earlier flag that is not a boolean does not count as done.
TEST(Seeding, OnlyTheFirstCreationHidesLibrary) {
  fixture::StoreRoot machine;
  ASSERT_TRUE(setAppValue(kHidLibraryFolderKey, PlistRef(plist_new_string("perhaps")).get(), kToolPreferencesDomain));
  for (const char* home : {"Users/first", "Users/second"}) {
    fs::create_directories(machine.at(home) + "/Library");
    hideLibraryFolder(machine.at(home));
  }
  EXPECT_EQ(fixture::attribute(machine.at("Users/first/Library"), kFlagsAttribute), fixture::word(UF_HIDDEN));
  EXPECT_EQ(fixture::attribute(machine.at("Users/second/Library"), kFlagsAttribute), "<absent>");
}

// Earlier entries win over the copied file's, whose other entries, owner and
// mode stay; a copied file that does not read leaves the earlier entries alone.
TEST(Seeding, PriorGlobalPreferencesWin) {
  fixture::StoreRoot machine;
  const std::string file = machine.home() + "/Library/Preferences/.GlobalPreferences.plist";
  PlistRef prior = parsePlist("<plist><dict><key>Shared</key><string>prior</string>"
                              "<key>PriorOnly</key><string>prior</string></dict></plist>");
  for (const char* key : {"Shared", "CopyOnly"}) {
    ASSERT_TRUE(setPreference(key, PlistRef(plist_new_string("copy")).get(), kAnyApplication, {"bob", false}));
  }
  ASSERT_EQ(0, chmod(file.c_str(), 0640));
  mergeGlobalPreferences(machine.home(), prior.get());
  EXPECT_EQ(stringAt(file, "Shared") + stringAt(file, "CopyOnly") + stringAt(file, "PriorOnly"), "priorcopyprior");
  EXPECT_EQ(fixture::ownerAndMode(file), "501:20 100640");
  EXPECT_EQ(fixture::names(fs::path(file).parent_path()), std::set<std::string>{".GlobalPreferences.plist"});
  fixture::writeText(file, "not a property list");
  mergeGlobalPreferences(machine.home(), prior.get());
  EXPECT_EQ(stringAt(file, "Shared") + stringAt(file, "CopyOnly") + stringAt(file, "PriorOnly"), "prior<absent>prior");
}

// The language part with the machine's country, US without one; a language or
// country with no identifier writes nothing.
TEST(Seeding, LocaleIsTheLanguageWithTheMachineCountry) {
  fixture::StoreRoot machine;
  const std::string file = machine.home() + "/Library/Preferences/.GlobalPreferences.plist";
  for (const char* language : {"Klingonese", ""}) setUserLocale("bob", language);
  EXPECT_FALSE(fs::exists(file));
  const char* cases[][3] = {{"", "en-GB", "en_US"}, {"gb", "French", "fr_GB"}, {"not a region", "de", "fr_GB"}};
  for (const auto& [country, language, locale] : cases) {
    PlistRef value(plist_new_string(country));
    ASSERT_TRUE(setPreference("Country", value.get(), kAnyApplication, {std::nullopt, true}));
    setUserLocale("bob", language);
    EXPECT_EQ(stringAt(file, "VelmoraLocale"), locale) << language;
  }
  EXPECT_EQ(fixture::ownerAndMode(file), "501:20 100600");
}
