#include "platform/acl.h"

#include "platform/directory.h"
#include "tests/unit/fixture.h"

using namespace hostacl;
using fixture::word;

static Uuid everyone() { return *parseUuid(EveryoneGroupUUID); }
static AclEntry denyDelete() { return {ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone()}; }

TEST(AclStorage, LayoutRoundTripAndMalformedValues) {
  const std::string one = encodeAcl({denyDelete()});
  EXPECT_EQ(one.substr(0, 20), "VACL" + word(1) + word(2) + word(0x10) + word(0));  // the rest: see the system suite
  EXPECT_EQ(encodeAcl({}), "");
  const std::vector<AclEntry> entries = {denyDelete(), {ACL_EXTENDED_ALLOW, 0x3ffe, 0x60, accountUuid(501)}};
  EXPECT_EQ(decodeAcl(encodeAcl(entries)), entries);
  EXPECT_EQ(decodeAcl("VACL" + word(0)), std::vector<AclEntry>{});
  // Wrong magic, one byte short or over, counts that disagree with the length.
  for (const std::string& bad : {"X" + one.substr(1), one.substr(0, one.size() - 1), one + "x", std::string("VACL"),
                                 std::string(), "VACL" + word(2) + one.substr(8), "VACL" + word(0) + one.substr(8),
                                 "VACL" + word(0xffffffff) + one.substr(8)}) {
    EXPECT_FALSE(decodeAcl(bad)) << bad.size();
  }
}

TEST(AclInsert, DenyBeforeAllowAfterOtherDeniesAndIdenticalOnce) {
  const AclEntry allowA{ACL_EXTENDED_ALLOW, ACL_SEARCH, 0, accountUuid(0)};
  const AclEntry allowB{ACL_EXTENDED_ALLOW, ACL_LIST_DIRECTORY, 0, accountUuid(1)};
  const AclEntry inherited{ACL_EXTENDED_DENY, ACL_DELETE, ACL_ENTRY_FILE_INHERIT, everyone()};  // not identical
  std::vector<AclEntry> list;
  for (const AclEntry& e : {allowA, denyDelete(), allowB, inherited}) EXPECT_TRUE(insertAclEntry(list, e));
  EXPECT_FALSE(insertAclEntry(list, denyDelete()));
  EXPECT_EQ(list, (std::vector<AclEntry>{denyDelete(), inherited, allowA, allowB}));
}

// Names in table order whatever order they came in; a qualifier nobody has as its UUID; unnamed bits in hex.
TEST(AclText, ParsesFormatsAndRefuses) {
  const Uuid nobody = directoryUuid("nobody has this");
  const AclEntry entry{ACL_EXTENDED_ALLOW, ACL_CHANGE_OWNER | ACL_LIST_DIRECTORY | ACL_DELETE, 0x40, accountUuid(0)};
  EXPECT_EQ(parseAclEntry("user:root allow chown,delete,list,directory_inherit", nullptr), entry);
  EXPECT_EQ(formatAclEntry(entry), "root allow list,delete,chown,directory_inherit");
  const AclEntry unknown{ACL_EXTENDED_DENY, ACL_SEARCH, 0, nobody};
  EXPECT_EQ(formatAclEntry(unknown), formatUuid(nobody) + " deny search");
  EXPECT_EQ(parseAclEntry(formatAclEntry(unknown), nullptr), unknown);
  EXPECT_EQ(formatAclEntry({ACL_EXTENDED_ALLOW, ACL_SEARCH | 0x1, 0x100, everyone()}),
            "group:everyone allow search,0x1,0x100");
  for (const char* bad : {"", "root allow search extra", "root permit search", "root allow search,,list",
                          "root allow sear", "user:nosuchuser-hollin allow search", "group: deny delete"}) {
    std::string error;
    EXPECT_TRUE(!parseAclEntry(bad, &error) && !error.empty()) << bad;
  }
}

// Names handed in, read once: an account before a group, the first of two lines with one name, a group only
// as "group:NAME", and a UUID nobody in them has as its text.
TEST(AclText, NamesComeFromTheIdentitiesHandedIn) {
  IdentityFiles identities{{{"carol", "", "", 601, 20}, {"dup", "", "", 602, 20}, {"dup", "", "", 603, 20}},
                           {{"dup", 602}, {"staff", 20}, {"staff", 21}},
                           {}};
  const std::pair<Uuid, std::string> named[] = {
      {accountUuid(601), "carol"},       {accountUuid(602), "dup"},          {accountUuid(603), "dup"},
      {groupUuid(602), "group:dup"},     {groupUuid(21), "group:staff"},     {everyone(), "group:everyone"},
      {accountUuid(20), formatUuid(accountUuid(20))}};
  for (const bool indexed : {false, true}) {  // the index read once for many names says the same
    if (indexed) indexQualifiers(identities);
    for (const auto& [uuid, name] : named) {
      EXPECT_EQ(formatAclEntry({ACL_EXTENDED_DENY, ACL_DELETE, 0, uuid}, identities), name + " deny delete") << name;
    }
  }
  const std::pair<const char*, std::optional<Uuid>> parsed[] = {
      {"carol", accountUuid(601)},      {"user:dup", accountUuid(602)}, {"group:dup", groupUuid(602)},
      {"group:staff", groupUuid(20)},   {"group:everyone", everyone()}, {"group:carol", std::nullopt},
      {"staff", std::nullopt},          {"root", std::nullopt}};
  for (const auto& [qualifier, uuid] : parsed) {
    const auto entry = parseAclEntry(std::string(qualifier) + " allow search", nullptr, identities);
    EXPECT_EQ(entry ? std::optional<Uuid>(entry->qualifier) : std::nullopt, uuid) << qualifier;
  }
}

// Every permission and inheritance flag the host names is taken, any other bit or entry kind refused.
TEST(AclCalls, TakeExactlyTheNamedBits) {
  AclEntry e;
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    EXPECT_EQ(acl_add_perm(&e.perms, bit), (bit & 0x3ffe) ? 0 : -EINVAL) << bit;
    EXPECT_EQ(acl_add_flag_np(&e.flags, bit), (bit & 0x60) ? 0 : -EINVAL) << bit;
    EXPECT_EQ(acl_set_tag_type(&e, bit), bit <= ACL_EXTENDED_DENY ? 0 : -EINVAL) << bit;
  }
  EXPECT_EQ(e, (AclEntry{ACL_EXTENDED_DENY, 0x3ffe, 0x60, Uuid{}}));
}

TEST(AclFiles, SetReplacesTheWholeListThroughThePin) {
  fixture::TempDir dir;
  const std::string file = dir.at("file");
  fixture::writeText(file, "");
  UniqueFd folder(open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(mkfifoat(folder.get(), "fifo", 0600), 0);
  AclList two{{{ACL_EXTENDED_ALLOW, ACL_SEARCH, 0, accountUuid(0)}, denyDelete()}}, one{{denyDelete()}}, none;
  UniqueFd item(openat(folder.get(), "file", O_PATH | O_NOFOLLOW | O_CLOEXEC));
  ASSERT_EQ(acl_set_fd_np(item.get(), &two, ACL_TYPE_EXTENDED), 0);
  ASSERT_EQ(acl_set_fd_np(item.get(), &one, ACL_TYPE_EXTENDED), 0);
  EXPECT_EQ(fixture::attribute(file, kAclAttribute), encodeAcl(one.entries));
  UniqueFd pin(openat(folder.get(), "fifo", O_PATH | O_NOFOLLOW | O_CLOEXEC));  // a fifo is never opened
  ASSERT_EQ(acl_set_fd_np(pin.get(), &one, ACL_TYPE_EXTENDED), 0);
  EXPECT_EQ(readAclAt(folder.get(), "fifo", nullptr), one.entries);
  for (int twice = 0; twice < 2; ++twice) ASSERT_EQ(acl_set_fd_np(item.get(), &none, ACL_TYPE_EXTENDED), 0);
  EXPECT_EQ(fixture::attribute(file, kAclAttribute), "<absent>");  // the empty list is none
  ASSERT_EQ(lsetxattr(file.c_str(), kAclAttribute, "VACL\1\0\0\0", 8, 0), 0);
  int error = 0;
  EXPECT_FALSE(readAclAt(folder.get(), "file", &error));  // malformed: none, not an empty list
  EXPECT_EQ(error, -EINVAL);
}
