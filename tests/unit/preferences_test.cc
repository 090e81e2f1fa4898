#include "platform/preferences.h"

#include "tests/unit/fixture.h"

using namespace fixture;

static bool set(const char* key, const char* value, const PreferenceScope& scope) {
  return setPreference(key, value ? PlistRef(plist_new_string(value)).get() : nullptr, "D", scope) == 0;
}

static std::string valueAt(const std::string& key, const PreferenceScope& scope) {
  return plistString(copyPreference(key, "D", scope).get()).value_or("<none>");
}

// Unusable homes go to the machine's Users folder; a name that would leave it names no file.
TEST(PreferencesStore, FilesFollowUserAndHostScopes) {
  StoreRoot machine;
  EXPECT_EQ(*preferencesFile("D", {"nohome", true}),
            machine.at("Library/Preferences/Users/nohome/ByHost/D.hostid0123.plist"));
  EXPECT_EQ(*preferencesFile("D", {"daemon", false}), machine.at("Library/Preferences/Users/daemon/D.plist"));
  for (const char* name : {"../bob", ".."}) EXPECT_FALSE(preferencesFile("D", {name, false})) << name;
  EXPECT_FALSE(preferencesFile("a/b", {std::nullopt, false}));
  writeText(machine.at("etc/machine-id"), "\n");
  EXPECT_EQ(preferencesFile("D", {std::nullopt, true}), machine.at("Library/Preferences/ByHost/D.localhost.plist"));
}

// Current user before any user, current host before any host; the first file holding the key answers.
TEST(PreferencesStore, ApplicationReadTakesTheFirstFileHoldingTheKey) {
  StoreRoot machine;
  const PreferenceScope order[] = {{"root", true}, {"root", false}, {std::nullopt, true}, {std::nullopt, false}};
  for (const auto& scope : order) ASSERT_TRUE(set("At", preferencesFile("D", scope)->c_str(), scope));
  for (const auto& scope : order) {
    EXPECT_EQ(plistString(copyAppValue("At", "D").get()), preferencesFile("D", scope));
    ASSERT_TRUE(set("At", nullptr, scope));
  }
}

// What the store makes in a home is the user's and private, elsewhere root's and readable. A write replaces
// the whole file (a second name for the old one keeps the old content) and leaves nothing else behind.
TEST(PreferencesStore, WritesReplaceTheFileAtomicallyWithTheRightOwner) {
  StoreRoot machine;
  const PreferenceScope bob{"bob", true};
  const std::string file = *preferencesFile("D", bob), old = machine.at("old");
  ASSERT_TRUE(set("First", "1", bob));
  for (const char* folder : {"/Library", "/Library/Preferences", "/Library/Preferences/ByHost"}) {
    EXPECT_EQ(ownerAndMode(machine.home() + folder), "501:20 40700") << folder;
  }
  EXPECT_EQ(ownerAndMode(file), "501:20 100600");
  ASSERT_EQ(0, link(file.c_str(), old.c_str()));
  ASSERT_TRUE(set("Second", "2", bob) && set("First", nullptr, bob) && set("Any", "x", {std::nullopt, true}));
  EXPECT_EQ(stringAt(old, "First") + stringAt(old, "Second"), "1<absent>");
  EXPECT_EQ(valueAt("First", bob) + valueAt("Second", bob) + valueAt("Second", {"bob", false}), "<none>2<none>");
  EXPECT_EQ(names(fs::path(file).parent_path()), std::set<std::string>{"D.hostid0123.plist"});
  EXPECT_EQ(ownerAndMode(machine.at("Library/Preferences/ByHost")), "0:0 40755");
  EXPECT_EQ(ownerAndMode(*preferencesFile("D", {std::nullopt, true})), "0:0 100644");
}

// Unparsable text, a top-level array and a link (never followed) read as empty; a write keeps them as NAME.corrupt.
TEST(PreferencesStore, WhatIsNotADictionaryIsKeptAsCorrupt) {
  StoreRoot machine;
  const PreferenceScope bob{"bob", false};
  const std::string file = *preferencesFile("D", bob), outside = *preferencesFile("D", {std::nullopt, false});
  ASSERT_TRUE(set("Key", "outside", {std::nullopt, false}));
  fs::create_directories(fs::path(file).parent_path());
  for (const std::string& planted : {std::string("<plist><dict><key>Key</key><string>half"),
                                     plistToXml(PlistRef(plist_new_array()).get()), std::string("link")}) {
    fs::remove(file);
    planted == "link" ? fs::create_symlink(outside, file) : writeText(file, planted);
    const std::string before = readText(file);
    EXPECT_EQ(valueAt("Key", bob), "<none>");
    ASSERT_TRUE(set("Fresh", "yes", bob));
    EXPECT_EQ(readText(file + ".corrupt") + stringAt(file, "Key") + stringAt(file, "Fresh"), before + "<absent>yes");
  }
  EXPECT_TRUE(fs::is_symlink(file + ".corrupt"));
  EXPECT_EQ(stringAt(outside, "Fresh"), "<absent>");
}

// A home whose Library, or Library/Preferences, links to the machine's is neither read nor written through.
TEST(PreferencesStore, NoLinkIsFollowedIntoAHome) {
  StoreRoot machine;
  ASSERT_TRUE(set("Key", "machine", {std::nullopt, false}));
  fs::create_directories(machine.home() + "/Library");
  fs::create_directory_symlink(machine.at("Library/Preferences"), machine.home() + "/Library/Preferences");
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(valueAt("Key", {"bob", false}), "<none>");
    EXPECT_FALSE(set("Key", "mine", {"bob", false}) || set("Key", "mine", {"bob", true}));
    fs::remove_all(machine.home() + "/Library");
    fs::create_directory_symlink(machine.at("Library"), machine.home() + "/Library");
  }
  EXPECT_EQ(names(machine.at("Library/Preferences")), std::set<std::string>{"D.plist"});
}
