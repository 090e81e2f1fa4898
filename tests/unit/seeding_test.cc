#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "main/seeding.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/preferences.h"
#include "tests/unit/store_fixture.h"

using namespace store_fixture;

namespace {

uint32_t flagsOf(const std::string& parent, const char* name) {
  UniqueFd dir(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_TRUE(dir.valid()) << parent;
  return readFlagsAt(dir.get(), name).value_or(0xFFFFFFFFu);
}

bool hidden(const std::string& parent, const char* name) {
  const uint32_t flags = flagsOf(parent, name);
  return flags != 0xFFFFFFFFu && (flags & UF_HIDDEN) != 0;
}

std::string toolFlagFile(const StoreRoot& machine) {
  return machine.userFile(machine.at("var/root"), kToolPreferencesDomain, false);
}

bool toolFlag(const StoreRoot& machine) {
  PlistRef file = readPlistFile(toolFlagFile(machine));
  plist_t value = isPlistDictionary(file.get()) ? plist_dict_get_item(file.get(), kHidLibraryFolderKey) : nullptr;
  if (value == nullptr || plist_get_node_type(value) != PLIST_BOOLEAN) return false;
  uint8_t flag = 0;
  plist_get_bool_val(value, &flag);
  return flag != 0;
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

std::string globalFile(const std::string& home) { return home + "/Library/Preferences/.GlobalPreferences.plist"; }

std::string localeOf(const std::string& file) { return stringAt(readPlistFile(file).get(), "VelmoraLocale"); }

}  // namespace

TEST(HideLibraryFolder, FirstCreationHidesAndLaterOnesDoNot) {
  StoreRoot machine;
  const std::string first = machine.at("Users/first");
  const std::string second = machine.at("Users/second");
  makeFolders(first + "/Library");
  makeFolders(second + "/Library");
  hideLibraryFolder(first);
  EXPECT_TRUE(hidden(first, "Library"));
  EXPECT_TRUE(toolFlag(machine));
  hideLibraryFolder(second);
  EXPECT_FALSE(hidden(second, "Library"));
}

TEST(HideLibraryFolder, FalseOrInvalidFlagDoesNotStopTheHiding) {
  StoreRoot machine;
  PlistRef values[] = {PlistRef(plist_new_bool(0)), PlistRef(plist_new_string("perhaps"))};
  int round = 0;
  for (auto& value : values) {
    const std::string home = machine.at("Users/h" + std::to_string(round++));
    makeFolders(home + "/Library");
    ASSERT_TRUE(setAppValue(kHidLibraryFolderKey, value.get(), kToolPreferencesDomain));
    hideLibraryFolder(home);
    EXPECT_TRUE(hidden(home, "Library")) << plistToXml(value.get());
    EXPECT_TRUE(toolFlag(machine));
  }
}

TEST(HideLibraryFolder, FlagIsSetEvenWhenThereIsNoLibrary) {
  StoreRoot machine;
  const std::string home = machine.at("Users/bare");
  makeFolders(home);
  hideLibraryFolder(home);
  EXPECT_TRUE(toolFlag(machine));
  EXPECT_FALSE(exists(home + "/Library"));
}

TEST(HideLibraryFolder, LinkedLibraryLeavesItsTargetAlone) {
  StoreRoot machine;
  const std::string home = machine.at("Users/linked");
  const std::string target = machine.at("System/Library");
  makeFolders(home);
  makeFolders(target);
  ASSERT_EQ(0, symlink(target.c_str(), (home + "/Library").c_str()));
  hideLibraryFolder(home);
  EXPECT_FALSE(hidden(machine.at("System"), "Library"));
  EXPECT_TRUE(toolFlag(machine));
}

TEST(GlobalPreferences, ReadIsSafeAndDictionaryOnly) {
  StoreRoot machine;
  const std::string home = machine.home();
  EXPECT_FALSE(readGlobalPreferences(home));
  makeFolders(home + "/Library/Preferences");
  PlistRef content = dictionaryOf({{"AppleThing", "1"}});
  writePlist(globalFile(home), content.get());
  EXPECT_EQ(stringAt(readGlobalPreferences(home).get(), "AppleThing"), "1");
  PlistRef array = arrayOf({"x"});
  writePlist(globalFile(home), array.get());
  EXPECT_FALSE(readGlobalPreferences(home));
  ASSERT_EQ(0, unlink(globalFile(home).c_str()));
  const std::string outside = machine.at("etc/planted.plist");
  writePlist(outside, content.get());
  ASSERT_EQ(0, symlink(outside.c_str(), globalFile(home).c_str()));
  EXPECT_FALSE(readGlobalPreferences(home));
}

TEST(GlobalPreferences, PriorEntriesWinAndOthersStay) {
  StoreRoot machine;
  const std::string home = machine.home();
  makeFolders(home + "/Library/Preferences");
  PlistRef fromLanguage = dictionaryOf({{"Shared", "language"}, {"LanguageOnly", "language"}});
  writePlist(globalFile(home), fromLanguage.get());
  ASSERT_EQ(0, chown(globalFile(home).c_str(), 501, 20));
  ASSERT_EQ(0, chmod(globalFile(home).c_str(), 0640));
  PlistRef prior = dictionaryOf({{"Shared", "prior"}, {"PriorOnly", "prior"}});

  mergeGlobalPreferences(home, prior.get());
  PlistRef merged = readPlistFile(globalFile(home));
  EXPECT_EQ(plist_dict_get_size(merged.get()), 3u);
  EXPECT_EQ(stringAt(merged.get(), "Shared"), "prior");
  EXPECT_EQ(stringAt(merged.get(), "LanguageOnly"), "language");
  EXPECT_EQ(stringAt(merged.get(), "PriorOnly"), "prior");
  struct stat st {};
  ASSERT_EQ(0, lstat(globalFile(home).c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 501u);
  // Nothing but the merged file is left in the folder.
  EXPECT_EQ(entries(home + "/Library/Preferences"), std::vector<std::string>{".GlobalPreferences.plist"});
}

TEST(GlobalPreferences, UnreadableFileAfterTheCopyLeavesThePriorEntries) {
  StoreRoot machine;
  const std::string home = machine.home();
  makeFolders(home + "/Library/Preferences");
  writeText(globalFile(home), "not a property list");
  PlistRef prior = dictionaryOf({{"Kept", "prior"}});
  mergeGlobalPreferences(home, prior.get());
  PlistRef merged = readPlistFile(globalFile(home));
  EXPECT_EQ(plist_dict_get_size(merged.get()), 1u);
  EXPECT_EQ(stringAt(merged.get(), "Kept"), "prior");
}

TEST(GlobalPreferences, LinkedPreferencesFolderChangesNothingOutside) {
  StoreRoot machine;
  const std::string home = machine.home();
  const std::string outside = machine.at("Library/Preferences");
  PlistRef system = dictionaryOf({{"Owner", "system"}});
  writePlist(outside + "/.GlobalPreferences.plist", system.get());
  makeFolders(home + "/Library");
  ASSERT_EQ(0, symlink(outside.c_str(), (home + "/Library/Preferences").c_str()));
  PlistRef prior = dictionaryOf({{"Owner", "user"}});

  mergeGlobalPreferences(home, prior.get());
  EXPECT_EQ(stringAt(readPlistFile(outside + "/.GlobalPreferences.plist").get(), "Owner"), "system");
  EXPECT_TRUE(isLink(home + "/Library/Preferences"));
}

TEST(GlobalPreferences, LinkedLibraryChangesNothingOutside) {
  StoreRoot machine;
  const std::string home = machine.home();
  const std::string outside = machine.at("Library");
  PlistRef system = dictionaryOf({{"Owner", "system"}});
  writePlist(outside + "/Preferences/.GlobalPreferences.plist", system.get());
  ASSERT_EQ(0, symlink(outside.c_str(), (home + "/Library").c_str()));
  PlistRef prior = dictionaryOf({{"Owner", "user"}});
  mergeGlobalPreferences(home, prior.get());
  EXPECT_EQ(stringAt(readPlistFile(outside + "/Preferences/.GlobalPreferences.plist").get(), "Owner"), "system");
}

TEST(GlobalPreferences, LinkedFileIsReplacedNotItsTarget) {
  StoreRoot machine;
  const std::string home = machine.home();
  makeFolders(home + "/Library/Preferences");
  const std::string target = machine.at("etc/target.plist");
  PlistRef system = dictionaryOf({{"Owner", "system"}});
  writePlist(target, system.get());
  ASSERT_EQ(0, symlink(target.c_str(), globalFile(home).c_str()));
  PlistRef prior = dictionaryOf({{"Owner", "user"}});
  mergeGlobalPreferences(home, prior.get());
  EXPECT_EQ(stringAt(readPlistFile(target).get(), "Owner"), "system");
  EXPECT_FALSE(isLink(globalFile(home)));
  EXPECT_EQ(stringAt(readPlistFile(globalFile(home)).get(), "Owner"), "user");
}

TEST(UserLocale, LanguagePartWithTheMachineCountry) {
  StoreRoot machine;
  const std::string file = globalFile(machine.home());
  setUserLocale("bob", "en-GB");
  EXPECT_EQ(localeOf(file), "en_US");
  PlistRef country(plist_new_string("GB"));
  ASSERT_TRUE(setPreference("Country", country.get(), kAnyApplication, {std::nullopt, true}));
  const std::pair<const char*, const char*> cases[] = {
      {"fr-CA", "fr_GB"}, {"French", "fr_GB"}, {"zh-Hans-CN", "zh_GB"}, {"DE", "de_GB"}, {"pt_PT", "pt_GB"}};
  for (const auto& [language, expected] : cases) {
    setUserLocale("bob", language);
    EXPECT_EQ(localeOf(file), expected) << language;
  }
  struct stat st {};
  ASSERT_EQ(0, lstat(file.c_str(), &st));
  EXPECT_EQ(st.st_uid, 501u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(UserLocale, OtherKeysStayAndUnknownNamesStillGetIt) {
  StoreRoot machine;
  makeFolders(machine.home() + "/Library/Preferences");
  PlistRef existing = dictionaryOf({{"Other", "kept"}});
  writePlist(globalFile(machine.home()), existing.get());
  setUserLocale("bob", "ja");
  EXPECT_EQ(localeOf(globalFile(machine.home())), "ja_US");
  EXPECT_EQ(stringAt(readPlistFile(globalFile(machine.home())).get(), "Other"), "kept");
  setUserLocale("ghost", "it");
  EXPECT_EQ(localeOf(machine.at("Library/Preferences/Users/ghost/.GlobalPreferences.plist")), "it_US");
}

TEST(UserLocale, UnreadableLanguageWritesNothing) {
  StoreRoot machine;
  setUserLocale("bob", "Klingonese");
  setUserLocale("bob", "");
  EXPECT_FALSE(exists(globalFile(machine.home())));
  PlistRef country(plist_new_string("not a region"));
  ASSERT_TRUE(setPreference("Country", country.get(), kAnyApplication, {std::nullopt, true}));
  setUserLocale("bob", "en");
  EXPECT_FALSE(exists(globalFile(machine.home())));
}
