#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/preferences.h"
#include "tests/unit/store_fixture.h"

using namespace store_fixture;

namespace {

const char* kDomain = "com.example.tool";

PlistRef text(const char* value) { return PlistRef(plist_new_string(value)); }

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct stat statOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
  return st;
}

std::string valueAt(const std::string& key, const PreferenceScope& scope) {
  PlistRef value = copyPreference(key, kDomain, scope);
  return plistString(value.get()).value_or("<none>");
}

}  // namespace

TEST(PreferencesStore, FilesFollowUserAndHostScopes) {
  StoreRoot machine;
  EXPECT_EQ(preferencesFile(kDomain, {std::nullopt, false}), machine.machineFile(kDomain, false));
  EXPECT_EQ(preferencesFile(kDomain, {std::nullopt, true}), machine.machineFile(kDomain, true));
  EXPECT_EQ(preferencesFile(kDomain, {"bob", false}), machine.userFile(machine.home(), kDomain, false));
  EXPECT_EQ(preferencesFile(kDomain, {"bob", true}), machine.userFile(machine.home(), kDomain, true));
  EXPECT_EQ(preferencesFile(kDomain, {"ghost", false}),
            machine.at("Library/Preferences/Users/ghost/" + std::string(kDomain) + ".plist"));
  EXPECT_EQ(preferencesFile(kDomain, {"nohome", true}),
            machine.at("Library/Preferences/Users/nohome/ByHost/" + std::string(kDomain) + "." +
                       StoreRoot::kHostId + ".plist"));
  for (const char* unusable : {"daemon", "relative"}) {
    EXPECT_EQ(preferencesFile(kDomain, {unusable, false}),
              machine.at("Library/Preferences/Users/" + std::string(unusable) + "/" + kDomain + ".plist"));
  }
  EXPECT_EQ(preferencesFile(kAnyApplication, {"root", false}),
            machine.at("var/root/Library/Preferences/.GlobalPreferences.plist"));
  // Names that would leave their folder name no file at all.
  EXPECT_FALSE(preferencesFile(kDomain, {"../bob", false}));
  EXPECT_FALSE(preferencesFile(kDomain, {"..", false}));
  EXPECT_FALSE(preferencesFile("a/b", {std::nullopt, false}));
  EXPECT_FALSE(setPreference("k", text("v").get(), kDomain, {"../../etc", false}));
}

TEST(PreferencesStore, HostIdFallsBackToLocalhostAndCurrentUserIsTheProcessAccount) {
  StoreRoot machine;
  EXPECT_EQ(currentUserName(), geteuid() == 0 ? "root" : std::to_string(geteuid()));
  ASSERT_EQ(0, unlink(machine.at("etc/machine-id").c_str()));
  EXPECT_EQ(preferencesFile(kDomain, {std::nullopt, true}),
            machine.at("Library/Preferences/ByHost/" + std::string(kDomain) + ".localhost.plist"));
  writeText(machine.at("etc/machine-id"), "\n");
  EXPECT_EQ(preferencesFile(kDomain, {std::nullopt, true}),
            machine.at("Library/Preferences/ByHost/" + std::string(kDomain) + ".localhost.plist"));
}

TEST(PreferencesStore, WriteInHomeCreatesUserOwnedPrivateFoldersAndFile) {
  StoreRoot machine;
  ASSERT_TRUE(setPreference("Color", text("blue").get(), kDomain, {"bob", true}));
  for (const char* folder : {"Library", "Library/Preferences", "Library/Preferences/ByHost"}) {
    const struct stat st = statOf(machine.home() + "/" + folder);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << folder;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << folder;
    EXPECT_EQ(st.st_uid, 501u) << folder;
    EXPECT_EQ(st.st_gid, 20u) << folder;
  }
  const std::string file = machine.userFile(machine.home(), kDomain, true);
  const struct stat st = statOf(file);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 501u);
  EXPECT_EQ(stringAt(readPlistFile(file).get(), "Color"), "blue");
  EXPECT_EQ(valueAt("Color", {"bob", true}), "blue");
  EXPECT_EQ(valueAt("Color", {"bob", false}), "<none>");
  EXPECT_EQ(entries(machine.home() + "/Library/Preferences/ByHost"),
            std::vector<std::string>{std::string(kDomain) + "." + StoreRoot::kHostId + ".plist"});
}

TEST(PreferencesStore, MachineAndAccountlessFilesBelongToRootAndAreReadable) {
  StoreRoot machine;
  ASSERT_TRUE(setPreference("Country", text("GB").get(), kAnyApplication, {std::nullopt, true}));
  ASSERT_TRUE(setPreference("Locale", text("fr_FR").get(), kAnyApplication, {"ghost", false}));
  EXPECT_EQ(statOf(machine.at("Library/Preferences/ByHost")).st_mode & 07777, 0755u);
  const struct stat st = statOf(machine.machineFile(kAnyApplication, true));
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(stringAt(readPlistFile(machine.at("Library/Preferences/Users/ghost/.GlobalPreferences.plist")).get(),
                     "Locale"),
            "fr_FR");
}

TEST(PreferencesStore, WriteReplacesWholeFileAtomicallyKeepingOtherKeys) {
  StoreRoot machine;
  ASSERT_TRUE(setPreference("First", text("1").get(), kDomain, {"bob", false}));
  const std::string file = machine.userFile(machine.home(), kDomain, false);
  // A second name for the old file shows whether it was rewritten in place.
  const std::string oldName = machine.at("old-copy");
  ASSERT_EQ(0, link(file.c_str(), oldName.c_str()));
  ASSERT_TRUE(setPreference("Second", text("2").get(), kDomain, {"bob", false}));
  EXPECT_NE(statOf(file).st_ino, statOf(oldName).st_ino);
  EXPECT_EQ(stringAt(readPlistFile(oldName).get(), "Second"), "<absent>");
  PlistRef now = readPlistFile(file);
  EXPECT_EQ(stringAt(now.get(), "First"), "1");
  EXPECT_EQ(stringAt(now.get(), "Second"), "2");
  EXPECT_EQ(entries(machine.home() + "/Library/Preferences"), std::vector<std::string>{std::string(kDomain) + ".plist"});
  // A null value removes the key and leaves the rest.
  ASSERT_TRUE(setPreference("First", nullptr, kDomain, {"bob", false}));
  now = readPlistFile(file);
  EXPECT_EQ(stringAt(now.get(), "First"), "<absent>");
  EXPECT_EQ(stringAt(now.get(), "Second"), "2");
}

TEST(PreferencesStore, ReadsBinaryFilesToo) {
  StoreRoot machine;
  PlistRef dictionary = dictionaryOf({{"Kind", "binary"}});
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(dictionary.get(), &bytes, &length);
  ASSERT_NE(bytes, nullptr);
  writeText(machine.machineFile(kDomain, false), std::string(bytes, length));
  plist_to_bin_free(bytes);
  EXPECT_EQ(valueAt("Kind", {std::nullopt, false}), "binary");
}

TEST(PreferencesStore, MalformedFileReadsEmptyAndIsKeptBeforeAWrite) {
  StoreRoot machine;
  const std::string file = machine.machineFile(kDomain, false);
  const std::string garbage = "<plist><dict><key>Broken</key><string>half";
  writeText(file, garbage);
  EXPECT_EQ(valueAt("Broken", {std::nullopt, false}), "<none>");
  EXPECT_FALSE(synchronizePreferences(kDomain, {std::nullopt, false}));
  ASSERT_TRUE(setPreference("Fresh", text("yes").get(), kDomain, {std::nullopt, false}));
  EXPECT_EQ(readText(file + ".corrupt"), garbage);
  PlistRef now = readPlistFile(file);
  EXPECT_EQ(stringAt(now.get(), "Fresh"), "yes");
  EXPECT_EQ(plist_dict_get_size(now.get()), 1u);
  EXPECT_TRUE(synchronizePreferences(kDomain, {std::nullopt, false}));
  EXPECT_TRUE(synchronizePreferences("com.example.absent", {std::nullopt, false}));
}

TEST(PreferencesStore, TopLevelArrayIsNotAPreferencesFile) {
  StoreRoot machine;
  const std::string file = machine.machineFile(kDomain, false);
  PlistRef array = arrayOf({"a", "b"});
  writePlist(file, array.get());
  EXPECT_EQ(valueAt("a", {std::nullopt, false}), "<none>");
  ASSERT_TRUE(setPreference("Key", text("v").get(), kDomain, {std::nullopt, false}));
  EXPECT_TRUE(isPlistArray(readPlistFile(file + ".corrupt").get()));
  EXPECT_EQ(stringAt(readPlistFile(file).get(), "Key"), "v");
}

TEST(PreferencesStore, ApplicationReadTakesTheFirstFileHoldingTheKey) {
  StoreRoot machine;
  const PreferenceScope order[] = {{"root", true}, {"root", false}, {std::nullopt, true}, {std::nullopt, false}};
  const char* values[] = {"user-host", "user-any", "machine-host", "machine-any"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(setPreference("Where", text(values[i]).get(), kDomain, order[i]));
    ASSERT_TRUE(setPreference("Only" + std::to_string(i), text(values[i]).get(), kDomain, order[i]));
  }
  for (int i = 0; i < 4; ++i) {
    PlistRef found = copyAppValue("Where", kDomain);
    EXPECT_EQ(plistString(found.get()).value_or("<none>"), values[i]);
    PlistRef only = copyAppValue("Only" + std::to_string(i), kDomain);
    EXPECT_EQ(plistString(only.get()).value_or("<none>"), values[i]);
    ASSERT_TRUE(setPreference("Where", nullptr, kDomain, order[i]));
  }
  EXPECT_FALSE(copyAppValue("Where", kDomain));
  // The application-level write lands in the current user's any-host file.
  ASSERT_TRUE(setAppValue("Written", text("here").get(), kDomain));
  EXPECT_EQ(stringAt(readPlistFile(machine.userFile(machine.at("var/root"), kDomain, false)).get(), "Written"),
            "here");
}

TEST(PreferencesStore, BooleanReadAcceptsBooleanFormsOnly) {
  StoreRoot machine;
  struct Case {
    plist_t value;
    bool expected;
    bool exists;
  } cases[] = {
      {plist_new_bool(1), true, true},          {plist_new_bool(0), false, true},
      {plist_new_string("YES"), true, true},    {plist_new_string("false"), false, true},
      {plist_new_uint(2), true, true},          {plist_new_uint(0), false, true},
      {plist_new_string("maybe"), false, false}, {plist_new_dict(), false, false},
  };
  for (auto& c : cases) {
    PlistRef owned(c.value);
    ASSERT_TRUE(setAppValue("Flag", owned.get(), kDomain));
    bool exists = !c.exists;
    EXPECT_EQ(appBooleanValue("Flag", kDomain, &exists), c.expected) << plistToXml(owned.get());
    EXPECT_EQ(exists, c.exists) << plistToXml(owned.get());
  }
  bool exists = true;
  EXPECT_FALSE(appBooleanValue("Missing", kDomain, &exists));
  EXPECT_FALSE(exists);
  // An invalid value in an earlier file hides a valid one in a later file.
  ASSERT_TRUE(setPreference("Flag", PlistRef(plist_new_bool(1)).get(), kDomain, {std::nullopt, false}));
  ASSERT_TRUE(setAppValue("Flag", text("maybe").get(), kDomain));
  EXPECT_FALSE(appBooleanValue("Flag", kDomain, &exists));
  EXPECT_FALSE(exists);
}

TEST(PreferencesStore, LinkedPreferencesFolderInHomeIsNeitherReadNorWritten) {
  StoreRoot machine;
  const std::string outside = machine.at("outside");
  makeFolders(outside);
  PlistRef planted = dictionaryOf({{"Color", "from-outside"}});
  writePlist(outside + "/" + kDomain + ".plist", planted.get());
  makeFolders(machine.home() + "/Library");
  ASSERT_EQ(0, symlink(outside.c_str(), (machine.home() + "/Library/Preferences").c_str()));

  EXPECT_EQ(valueAt("Color", {"bob", false}), "<none>");
  EXPECT_FALSE(setPreference("Color", text("mine").get(), kDomain, {"bob", false}));
  EXPECT_FALSE(setPreference("Color", text("mine").get(), kDomain, {"bob", true}));
  EXPECT_EQ(entries(outside), std::vector<std::string>{std::string(kDomain) + ".plist"});
  EXPECT_EQ(stringAt(readPlistFile(outside + "/" + kDomain + ".plist").get(), "Color"), "from-outside");
  EXPECT_TRUE(isLink(machine.home() + "/Library/Preferences"));
}

TEST(PreferencesStore, LinkedLibraryInHomeIsNotFollowed) {
  StoreRoot machine;
  const std::string outside = machine.at("outside-library");
  makeFolders(outside);
  ASSERT_EQ(0, symlink(outside.c_str(), (machine.home() + "/Library").c_str()));
  EXPECT_FALSE(setPreference("Color", text("mine").get(), kDomain, {"bob", false}));
  EXPECT_TRUE(entries(outside).empty());
}

TEST(PreferencesStore, LinkedFileIsReplacedNeverWrittenThrough) {
  StoreRoot machine;
  const std::string target = machine.at("etc/target.plist");
  PlistRef planted = dictionaryOf({{"Color", "target"}});
  writePlist(target, planted.get());
  makeFolders(machine.home() + "/Library/Preferences");
  const std::string file = machine.userFile(machine.home(), kDomain, false);
  ASSERT_EQ(0, symlink(target.c_str(), file.c_str()));

  EXPECT_EQ(valueAt("Color", {"bob", false}), "<none>");
  ASSERT_TRUE(setPreference("Color", text("mine").get(), kDomain, {"bob", false}));
  EXPECT_EQ(stringAt(readPlistFile(target).get(), "Color"), "target");
  EXPECT_FALSE(isLink(file));
  EXPECT_EQ(stringAt(readPlistFile(file).get(), "Color"), "mine");
  // What stood there is kept aside, still a link, still pointing where it did.
  EXPECT_TRUE(isLink(file + ".corrupt"));
}

TEST(PreferencesStore, FolderInPlaceOfTheFileStopsTheWrite) {
  StoreRoot machine;
  makeFolders(machine.machineFile(kDomain, false));
  EXPECT_FALSE(setPreference("Key", text("v").get(), kDomain, {std::nullopt, false}));
  EXPECT_FALSE(exists(machine.machineFile(kDomain, false) + ".corrupt"));
}
