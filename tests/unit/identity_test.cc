#include "main/identity.h"

#include "creation/locator.h"
#include "platform/acl_codec.h"
#include "platform/directory.h"
#include "platform/preferences.h"
#include "tests/unit/fixture.h"

// Exactly one account by short or full name: "carol" is one account's short
// name and another's full name; prefixes, other cases and groups are no one.
TEST(LookupIdentity, ShortOrFullNameOfExactlyOneAccount) {
  fixture::TempDir dir;
  const std::string passwd = dir.at("passwd");
  fixture::writeText(passwd, "alice:x:501:20:Alice Liddell,Room 1,,:/Users/alice:/bin/sh\n"
                             "bob:x:502:20:carol:/Users/bob:/bin/sh\n"
                             "carol:x:503:20:Carol:/Users/carol:/bin/sh\n"
                             "nohome:x:504:20:No Home::/bin/sh\n"
                             "_hidden:x:250:250:Hidden Service:/var/empty:/usr/bin/false\n");
  const std::tuple<const char*, const char*, uid_t> cases[] = {
      {"alice", "alice /Users/alice", 501}, {"Alice Liddell", "alice /Users/alice", 501}, {"nohome", "nohome -", 504},
      {"_hidden", "_hidden /var/empty", 250}, {"carol", "", 0}, {"ali", "", 0}, {"Alice", "", 0}, {"ALICE", "", 0},
      {"staff", "", 0}};
  for (const auto& [name, account, uid] : cases) {
    const auto found = lookupIdentityIn(std::string(name), passwd.c_str());
    EXPECT_EQ(found ? found->shortName + " " + found->home.value_or("-") + " " + formatUuid(found->uuid) : "<none>",
              *account ? account + (" " + formatUuid(accountUuid(uid))) : "<none>")
        << name;
  }
  EXPECT_FALSE(lookupIdentityIn(std::nullopt, passwd.c_str()));
}

TEST(TemplateVolumeRoot, PrefixAndComponentRules) {
  const std::pair<const char*, const char*> cases[] = {
      {"/Users/alice", ""}, {"/Usersx/a", ""}, {"/Volumes/Data/Users/alice", "/Volumes/Data"},
      {"/Volumes/Data/", "/Volumes/Data"}, {"/Volumes//Data//x", "/Volumes/Data"}, {"/Volumesx/a/b", "/Volumes/a"},
      {"/Volumes/Data", "<none>"}, {"/users/alice", "<none>"}, {"alice", "<none>"}, {"Users/alice", "<none>"}};
  for (const auto& [home, root] : cases) EXPECT_EQ(templateVolumeRoot(home).value_or("<none>"), root) << home;
}

// One machine root moves every identity file at once: the lookups given no file, the access-list text form and
// the preferences store all read the root's passwd and group, and nothing of them once the root is gone.
TEST(TestRoot, IdentityFilesMoveTogether) {
  std::string passwd;
  {
    fixture::StoreRoot machine;
    fixture::writeText(machine.at("etc/group"), "staff:x:20:\nhollin-root-group:x:777:\n");
    passwd = machine.at("etc/passwd");
    const IdentityFiles identities = readIdentityFiles();
    std::string names;
    for (const AccountRecord& a : identities.accounts) names += a.shortName + " ";
    for (const GroupRecord& g : identities.groups) names += g.name + " ";
    EXPECT_EQ(names, "root bob nohome daemon staff hollin-root-group ");
    EXPECT_EQ(hostacl::formatAclEntry({hostacl::ACL_EXTENDED_ALLOW, hostacl::ACL_SEARCH, 0, accountUuid(501)}),
              "bob allow search");
    const auto entry = hostacl::parseAclEntry("group:hollin-root-group deny delete", nullptr);
    EXPECT_TRUE(entry && entry->qualifier == groupUuid(777));
    EXPECT_EQ(groupIdOf("hollin-root-group"), 777u);
    EXPECT_EQ(accountByUid(501).value_or(AccountRecord{}).home, machine.home());
    EXPECT_EQ(preferencesFile("D", {"bob", false}), machine.home() + "/Library/Preferences/D.plist");
  }
  EXPECT_FALSE(fs::exists(passwd));
  EXPECT_FALSE(groupIdOf("hollin-root-group"));
  EXPECT_FALSE(hostacl::parseAclEntry("group:hollin-root-group deny delete", nullptr));
}
