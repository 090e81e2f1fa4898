#include "platform/acl.h"

#include "platform/directory.h"
#include "tests/unit/fixture.h"

using namespace hostacl;
using fixture::word;

namespace {

Uuid everyone() { return *parseUuid(EveryoneGroupUUID); }
AclEntry denyDelete() { return {ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone()}; }

}  // namespace

TEST(AclStorage, LayoutRoundTripAndMalformedValues) {
  const std::string one = encodeAcl({denyDelete()});
  const std::string everyoneBytes("\xAB\xCD\xEF\xAB\xCD\xEF\xAB\xCD\xEF\xAB\xCD\xEF\x00\x00\x00\x0C", 16);
  EXPECT_EQ(one, "VACL" + word(1) + word(2) + word(0x10) + word(0) + everyoneBytes);
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
  const AclEntry denyB{ACL_EXTENDED_DENY, ACL_DELETE_CHILD, 0, accountUuid(1)};
  std::vector<AclEntry> list;
  for (const AclEntry& e : {allowA, denyDelete(), allowB, denyB}) EXPECT_TRUE(insertAclEntry(list, e));
  EXPECT_EQ(list, (std::vector<AclEntry>{denyDelete(), denyB, allowA, allowB}));
  EXPECT_FALSE(insertAclEntry(list, denyDelete()));
  AclEntry inherited = denyDelete();
  inherited.flags = ACL_ENTRY_FILE_INHERIT;
  EXPECT_TRUE(insertAclEntry(list, inherited));
  EXPECT_EQ(list.size(), 5u);
}

// Names in table order whatever order they came in; a qualifier nobody has
// as its UUID; unnamed bits in hex.
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
    EXPECT_FALSE(parseAclEntry(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

// Every permission and inheritance flag the host names is taken and any other
// bit refused; so is any entry kind but allow and deny.
TEST(AclCalls, TakeExactlyTheNamedBits) {
  AclEntry e;
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    EXPECT_EQ(acl_add_perm(&e.perms, bit), (bit & 0x3ffe) ? 0 : -1) << bit;
    EXPECT_EQ(acl_add_flag_np(&e.flags, bit), (bit & 0x60) ? 0 : -1) << bit;
    EXPECT_EQ(acl_set_tag_type(&e, bit), bit <= ACL_EXTENDED_DENY ? 0 : -1) << bit;
  }
  EXPECT_EQ(e, (AclEntry{ACL_EXTENDED_DENY, 0x3ffe, 0x60, Uuid{}}));
}

TEST(AclFiles, SetReplacesTheWholeListFollowingOnlyAFinalLink) {
  fixture::TempDir dir;
  const std::string file = dir.at("file");
  fixture::writeText(file, "");
  UniqueFd folder(open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(symlinkat("file", folder.get(), "link"), 0);
  ASSERT_EQ(mkfifoat(folder.get(), "fifo", 0600), 0);
  AclList two{{{ACL_EXTENDED_ALLOW, ACL_SEARCH, 0, accountUuid(0)}, denyDelete()}}, one{{denyDelete()}}, none;
  ASSERT_EQ(acl_set_file(file.c_str(), ACL_TYPE_EXTENDED, &two), 0);
  ASSERT_EQ(acl_set_file(dir.at("link").c_str(), ACL_TYPE_EXTENDED, &one), 0);
  EXPECT_EQ(fixture::attribute(file, kAclAttribute), encodeAcl(one.entries));
  EXPECT_EQ(readAclAt(folder.get(), "link"), std::vector<AclEntry>{});
  // A fifo is changed through its pin and never opened.
  UniqueFd pin(openat(folder.get(), "fifo", O_PATH | O_NOFOLLOW | O_CLOEXEC));
  ASSERT_EQ(acl_set_fd_np(pin.get(), &one, ACL_TYPE_EXTENDED), 0);
  EXPECT_EQ(readAclAt(folder.get(), "fifo"), one.entries);
  // The empty list is no attribute, whether there was one or not.
  for (int round = 0; round < 2; ++round) ASSERT_EQ(acl_set_file(file.c_str(), ACL_TYPE_EXTENDED, &none), 0);
  EXPECT_EQ(fixture::attribute(file, kAclAttribute), "<absent>");
  EXPECT_EQ(acl_set_file(dir.at("missing").c_str(), ACL_TYPE_EXTENDED, &one), -1);
  // A malformed stored value reads as none, not as an empty list.
  ASSERT_EQ(lsetxattr(file.c_str(), kAclAttribute, "VACL\1\0\0\0", 8, 0), 0);
  EXPECT_FALSE(readAclAt(folder.get(), "file"));
}
