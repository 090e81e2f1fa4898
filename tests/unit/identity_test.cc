#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "main/identity.h"
#include "main/locator.h"
#include "platform/directory.h"

namespace {

struct PasswdFile {
  std::string path;
  explicit PasswdFile(const std::string& text) {
    char name[] = "/tmp/hollin-passwd-XXXXXX";
    const int fd = mkstemp(name);
    path = name;
    std::ofstream(path) << text;
    close(fd);
  }
  ~PasswdFile() { std::remove(path.c_str()); }
};

const char* kAccounts =
    "root:x:0:0:root:/var/root:/bin/sh\n"
    "alice:x:501:20:Alice Liddell,Room 1,,:/Users/alice:/bin/sh\n"
    "bob:x:502:20:carol:/Users/bob:/bin/sh\n"
    "carol:x:503:20:Carol:/Users/carol:/bin/sh\n"
    "nohome:x:504:20:No Home::/bin/sh\n"
    "_hidden:x:250:250:Hidden Service:/var/empty:/usr/bin/false\n";

}  // namespace

TEST(LookupIdentity, ShortOrFullNameFindsExactlyOne) {
  PasswdFile file(kAccounts);
  const auto byShort = lookupIdentityIn(std::string("alice"), file.path.c_str());
  ASSERT_TRUE(byShort);
  EXPECT_EQ(byShort->home, "/Users/alice");
  EXPECT_EQ(byShort->uuid, accountUuid(501));
  const auto byFull = lookupIdentityIn(std::string("Alice Liddell"), file.path.c_str());
  ASSERT_TRUE(byFull);
  EXPECT_EQ(byFull->shortName, "alice");
  EXPECT_TRUE(lookupIdentityIn(std::string("_hidden"), file.path.c_str()));
}

TEST(LookupIdentity, AmbiguousPrefixGroupOrNoNameGivesNone) {
  PasswdFile file(kAccounts);
  // "carol" is one account's short name and another's full name.
  EXPECT_FALSE(lookupIdentityIn(std::string("carol"), file.path.c_str()));
  EXPECT_FALSE(lookupIdentityIn(std::string("ali"), file.path.c_str()));
  EXPECT_FALSE(lookupIdentityIn(std::string("Alice"), file.path.c_str()));
  EXPECT_FALSE(lookupIdentityIn(std::string("ALICE"), file.path.c_str()));
  EXPECT_FALSE(lookupIdentityIn(std::string("staff"), file.path.c_str()));
  EXPECT_FALSE(lookupIdentityIn(std::nullopt, file.path.c_str()));
}

TEST(LookupIdentity, AccountWithoutHomeStillHasUuid) {
  PasswdFile file(kAccounts);
  const auto identity = lookupIdentityIn(std::string("nohome"), file.path.c_str());
  ASSERT_TRUE(identity);
  EXPECT_FALSE(identity->home);
  EXPECT_EQ(identity->uuid, accountUuid(504));
}

TEST(DirectoryUuids, NameBasedAndDistinct) {
  EXPECT_EQ(formatUuid(*parseUuid("abcdefab-cdef-abcd-efab-cdef0000000c")), EveryoneGroupUUID);
  EXPECT_EQ(accountUuid(501), accountUuid(501));
  EXPECT_NE(accountUuid(501), groupUuid(501));
  // Version 5 and the RFC variant are stamped into every name-based UUID.
  EXPECT_EQ(accountUuid(501).bytes[6] >> 4, 5);
  EXPECT_EQ(accountUuid(501).bytes[8] & 0xC0, 0x80);
  EXPECT_FALSE(parseUuid("ABCDEFAB-CDEF-ABCD-EFAB-CDEF0000000"));
  EXPECT_FALSE(parseUuid("ABCDEFABXCDEF-ABCD-EFAB-CDEF0000000C"));
}

TEST(TemplateVolumeRoot, PrefixAndComponentRules) {
  EXPECT_EQ(templateVolumeRoot("/Users/alice"), "");
  EXPECT_EQ(templateVolumeRoot("/Usersx/a"), "");
  EXPECT_EQ(templateVolumeRoot("/Volumes/Data/Users/alice"), "/Volumes/Data");
  EXPECT_EQ(templateVolumeRoot("/Volumes/Data/"), "/Volumes/Data");
  EXPECT_EQ(templateVolumeRoot("/Volumes//Data//x"), "/Volumes/Data");
  EXPECT_EQ(templateVolumeRoot("/Volumesx/a/b"), "/Volumes/a");
  EXPECT_FALSE(templateVolumeRoot("/Volumes/Data"));
  EXPECT_FALSE(templateVolumeRoot("/users/alice"));
  EXPECT_FALSE(templateVolumeRoot("alice"));
  EXPECT_FALSE(templateVolumeRoot("Users/alice"));
}
