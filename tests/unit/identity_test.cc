#include "main/identity.h"

#include "creation/locator.h"
#include "platform/directory.h"
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
