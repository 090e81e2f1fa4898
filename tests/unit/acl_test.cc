#include "platform/acl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/directory.h"
#include "platform/fd.h"

using namespace hostacl;

namespace {

Uuid everyone() { return *parseUuid(EveryoneGroupUUID); }

AclEntry entry(uint32_t kind, uint32_t perms, uint32_t flags, const Uuid& qualifier) {
  AclEntry e;
  e.kind = kind;
  e.perms = perms;
  e.flags = flags;
  e.qualifier = qualifier;
  return e;
}

// Little-endian word as the stored form writes it.
std::string word(uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  return out;
}

constexpr uint32_t kAllPerms = 0x3ffe;

}  // namespace

TEST(AclStorage, EncodesTheDocumentedLayout) {
  const std::string value = encodeAcl({entry(ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone())});
  ASSERT_EQ(value.size(), 8u + 28u);
  EXPECT_EQ(value.substr(0, 4), "VACL");
  EXPECT_EQ(value.substr(4, 4), word(1));
  EXPECT_EQ(value.substr(8, 4), word(2));
  EXPECT_EQ(value.substr(12, 4), word(0x10));
  EXPECT_EQ(value.substr(16, 4), word(0));
  const std::string qualifier("\xAB\xCD\xEF\xAB\xCD\xEF\xAB\xCD\xEF\xAB\xCD\xEF\x00\x00\x00\x0C", 16);
  EXPECT_EQ(value.substr(20, 16), qualifier);
}

TEST(AclStorage, EmptyListIsNoValue) {
  EXPECT_EQ(encodeAcl({}), "");
}

TEST(AclStorage, RoundTripKeepsOrderAndFields) {
  Uuid other;
  for (size_t i = 0; i < other.bytes.size(); ++i) other.bytes[i] = static_cast<uint8_t>(0xF0 + i);
  const std::vector<AclEntry> entries = {
      entry(ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone()),
      entry(ACL_EXTENDED_ALLOW, kAllPerms, ACL_ENTRY_FILE_INHERIT | ACL_ENTRY_DIRECTORY_INHERIT, other),
      entry(ACL_EXTENDED_ALLOW, ACL_SEARCH, 0, everyone()),
  };
  const std::optional<std::vector<AclEntry>> decoded = decodeAcl(encodeAcl(entries));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, entries);
}

TEST(AclStorage, RejectsMalformedValues) {
  const std::string good = encodeAcl({entry(ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone())});
  std::string wrongMagic = good;
  wrongMagic[0] = 'X';
  EXPECT_FALSE(decodeAcl(wrongMagic));
  EXPECT_FALSE(decodeAcl(good.substr(0, good.size() - 1)));
  EXPECT_FALSE(decodeAcl(good + "x"));
  EXPECT_FALSE(decodeAcl("VACL"));
  EXPECT_FALSE(decodeAcl(""));
  // The count says two entries but one follows, and the other way round.
  EXPECT_FALSE(decodeAcl("VACL" + word(2) + good.substr(8)));
  EXPECT_FALSE(decodeAcl("VACL" + word(0) + good.substr(8)));
  // A huge count must not be believed.
  EXPECT_FALSE(decodeAcl("VACL" + word(0xffffffff) + good.substr(8)));
  // A header with no entries is well formed (an empty list).
  const std::optional<std::vector<AclEntry>> empty = decodeAcl("VACL" + word(0));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(AclCalls, BuildTheDenyDeleteEntry) {
  acl_t list = acl_init(1);
  ASSERT_NE(list, nullptr);
  acl_entry_t e = nullptr;
  ASSERT_EQ(acl_create_entry(&list, &e), 0);
  acl_permset_t perms = nullptr;
  EXPECT_EQ(acl_set_tag_type(e, ACL_EXTENDED_DENY), 0);
  EXPECT_EQ(acl_get_permset(e, &perms), 0);
  EXPECT_EQ(acl_add_perm(perms, ACL_SEARCH), 0);
  EXPECT_EQ(acl_clear_perms(perms), 0);
  EXPECT_EQ(acl_add_perm(perms, ACL_DELETE), 0);
  EXPECT_EQ(acl_set_qualifier(e, everyone().bytes.data()), 0);
  EXPECT_EQ(acl_set_permset(e, perms), 0);
  ASSERT_EQ(list->entries.size(), 1u);
  EXPECT_EQ(list->entries[0], entry(ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone()));
  EXPECT_EQ(acl_free(list), 0);
}

TEST(AclCalls, FlagsAndRefusals) {
  acl_t list = acl_init(0);
  acl_entry_t e = nullptr;
  ASSERT_EQ(acl_create_entry(&list, &e), 0);
  acl_flagset_t flags = nullptr;
  ASSERT_EQ(acl_get_flagset_np(e, &flags), 0);
  EXPECT_EQ(acl_add_flag_np(flags, ACL_ENTRY_FILE_INHERIT), 0);
  EXPECT_EQ(acl_add_flag_np(flags, ACL_ENTRY_DIRECTORY_INHERIT), 0);
  EXPECT_EQ(acl_set_flagset_np(e, flags), 0);
  EXPECT_EQ(e->flags, ACL_ENTRY_FILE_INHERIT | ACL_ENTRY_DIRECTORY_INHERIT);
  EXPECT_EQ(acl_clear_flags_np(flags), 0);
  EXPECT_EQ(e->flags, 0u);
  EXPECT_EQ(acl_set_tag_type(e, 3), -1);
  EXPECT_EQ(errno, EINVAL);
  acl_permset_t perms = nullptr;
  ASSERT_EQ(acl_get_permset(e, &perms), 0);
  EXPECT_EQ(acl_add_perm(perms, 0x1), -1);
  EXPECT_EQ(acl_add_flag_np(flags, 0x80), -1);
  EXPECT_EQ(acl_init(-1), nullptr);
  acl_free(list);
}

TEST(AclText, ParsesGroupEveryone) {
  std::string error;
  const std::optional<AclEntry> parsed = parseAclEntry("group:everyone deny delete", &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(*parsed, entry(ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone()));
}

TEST(AclText, ParsesEveryPermissionAndFlag) {
  std::string error;
  const std::optional<AclEntry> parsed = parseAclEntry(
      "root allow list,add_file,search,delete,add_subdirectory,delete_child,readattr,writeattr,"
      "readextattr,writeextattr,readsecurity,writesecurity,chown,file_inherit,directory_inherit",
      &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->kind, ACL_EXTENDED_ALLOW);
  EXPECT_EQ(parsed->perms, kAllPerms);
  EXPECT_EQ(parsed->flags, ACL_ENTRY_FILE_INHERIT | ACL_ENTRY_DIRECTORY_INHERIT);
  EXPECT_EQ(parsed->qualifier, accountUuid(0));
}

TEST(AclText, QualifierForms) {
  std::string error;
  const std::optional<AclEntry> user = parseAclEntry("user:root allow search", &error);
  ASSERT_TRUE(user) << error;
  EXPECT_EQ(user->qualifier, accountUuid(0));
  const std::optional<AclEntry> group = parseAclEntry("group:root allow search", &error);
  ASSERT_TRUE(group) << error;
  EXPECT_EQ(group->qualifier, groupUuid(0));
  EXPECT_NE(user->qualifier, group->qualifier);
}

TEST(AclText, RefusesMalformedAndUnknown) {
  const char* bad[] = {
      "",
      "root allow",
      "root allow search extra",
      "root permit search",
      "root allow search,,list",
      "root allow search,",
      "root allow sear",
      "nosuchuser-hollin allow search",
      "user:nosuchuser-hollin allow search",
      "group:nosuchgroup-hollin deny delete",
      "group: deny delete",
  };
  for (const char* text : bad) {
    std::string error;
    EXPECT_FALSE(parseAclEntry(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(AclText, FormatsInTableOrderAndParsesBack) {
  const AclEntry e = entry(ACL_EXTENDED_ALLOW, ACL_CHANGE_OWNER | ACL_LIST_DIRECTORY | ACL_DELETE,
                           ACL_ENTRY_DIRECTORY_INHERIT, accountUuid(0));
  const std::string text = formatAclEntry(e);
  EXPECT_EQ(text, "root allow list,delete,chown,directory_inherit");
  std::string error;
  const std::optional<AclEntry> back = parseAclEntry(text, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, e);
  EXPECT_EQ(formatAclEntry(entry(ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone())), "group:everyone deny delete");
}

TEST(AclText, UnknownQualifierRoundTripsAsUuid) {
  Uuid nobody;
  nobody.bytes.fill(0x5A);
  const AclEntry e = entry(ACL_EXTENDED_DENY, ACL_SEARCH, 0, nobody);
  const std::string text = formatAclEntry(e);
  EXPECT_EQ(text, formatUuid(nobody) + " deny search");
  const std::optional<AclEntry> back = parseAclEntry(text, nullptr);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, e);
}

TEST(AclText, UnnamedBitsShowInHex) {
  EXPECT_EQ(formatAclEntry(entry(ACL_EXTENDED_ALLOW, ACL_SEARCH | 0x1, 0x100, everyone())),
            "group:everyone allow search,0x1,0x100");
}

TEST(AclInsert, DenyGoesBeforeAllowAndAfterOtherDenies) {
  const AclEntry allowA = entry(ACL_EXTENDED_ALLOW, ACL_SEARCH, 0, accountUuid(0));
  const AclEntry allowB = entry(ACL_EXTENDED_ALLOW, ACL_LIST_DIRECTORY, 0, accountUuid(1));
  const AclEntry denyA = entry(ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone());
  const AclEntry denyB = entry(ACL_EXTENDED_DENY, ACL_DELETE_CHILD, 0, accountUuid(1));
  std::vector<AclEntry> list;
  EXPECT_TRUE(insertAclEntry(list, allowA));
  EXPECT_TRUE(insertAclEntry(list, denyA));
  EXPECT_TRUE(insertAclEntry(list, allowB));
  EXPECT_TRUE(insertAclEntry(list, denyB));
  EXPECT_EQ(list, (std::vector<AclEntry>{denyA, denyB, allowA, allowB}));
}

TEST(AclInsert, IdenticalEntryLeavesListAlone) {
  const AclEntry deny = entry(ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone());
  std::vector<AclEntry> list = {deny};
  EXPECT_FALSE(insertAclEntry(list, deny));
  EXPECT_EQ(list.size(), 1u);
  // Same qualifier and kind but other permissions is another entry.
  AclEntry wider = deny;
  wider.perms |= ACL_DELETE_CHILD;
  EXPECT_TRUE(insertAclEntry(list, wider));
  EXPECT_EQ(list.size(), 2u);
  AclEntry inherited = deny;
  inherited.flags = ACL_ENTRY_FILE_INHERIT;
  EXPECT_TRUE(insertAclEntry(list, inherited));
  EXPECT_EQ(list.size(), 3u);
}

namespace {

std::string storedValue(const std::string& path) {
  char value[512];
  const ssize_t n = lgetxattr(path.c_str(), kAclAttribute, value, sizeof value);
  return n < 0 ? std::string() : std::string(value, static_cast<size_t>(n));
}

acl_t denyDeleteList() {
  acl_t list = acl_init(1);
  acl_entry_t e = nullptr;
  acl_create_entry(&list, &e);
  *e = entry(ACL_EXTENDED_DENY, ACL_DELETE, 0, everyone());
  return list;
}

class AclFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for trusted attributes";
    char pattern[] = "/tmp/hollin-acl-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    dir_.reset(open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir_.valid());
    UniqueFd file(openat(dir_.get(), "file", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(file.valid());
  }
  void TearDown() override {
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }
  std::string path(const char* name) const { return root_ + "/" + name; }

  std::string root_;
  UniqueFd dir_;
};

}  // namespace

TEST_F(AclFiles, SetFileStoresAndEmptyListRemoves) {
  acl_t list = denyDeleteList();
  ASSERT_EQ(acl_set_file(path("file").c_str(), ACL_TYPE_EXTENDED, list), 0);
  EXPECT_EQ(storedValue(path("file")), encodeAcl(list->entries));
  EXPECT_EQ(readAclAt(dir_.get(), "file"), list->entries);
  acl_t empty = acl_init(0);
  ASSERT_EQ(acl_set_file(path("file").c_str(), ACL_TYPE_EXTENDED, empty), 0);
  EXPECT_LT(lgetxattr(path("file").c_str(), kAclAttribute, nullptr, 0), 0);
  EXPECT_EQ(errno, ENODATA);
  // Removing a list that is not there is no error either.
  EXPECT_EQ(acl_set_file(path("file").c_str(), ACL_TYPE_EXTENDED, empty), 0);
  EXPECT_EQ(acl_set_file(path("file").c_str(), 4, list), -1);
  EXPECT_EQ(acl_set_file(path("missing").c_str(), ACL_TYPE_EXTENDED, list), -1);
  acl_free(list);
  acl_free(empty);
}

TEST_F(AclFiles, SetFileReplacesTheWholeList) {
  acl_t list = acl_init(2);
  acl_entry_t e = nullptr;
  acl_create_entry(&list, &e);
  *e = entry(ACL_EXTENDED_ALLOW, ACL_SEARCH, 0, accountUuid(0));
  acl_create_entry(&list, &e);
  *e = entry(ACL_EXTENDED_ALLOW, ACL_LIST_DIRECTORY, 0, accountUuid(0));
  ASSERT_EQ(acl_set_file(path("file").c_str(), ACL_TYPE_EXTENDED, list), 0);
  acl_t deny = denyDeleteList();
  ASSERT_EQ(acl_set_file(path("file").c_str(), ACL_TYPE_EXTENDED, deny), 0);
  EXPECT_EQ(readAclAt(dir_.get(), "file"), deny->entries);
  acl_free(list);
  acl_free(deny);
}

TEST_F(AclFiles, SetFileFollowsAFinalLinkButReadingNeverDoes) {
  ASSERT_EQ(symlinkat("file", dir_.get(), "link"), 0);
  acl_t list = denyDeleteList();
  ASSERT_EQ(acl_set_file(path("link").c_str(), ACL_TYPE_EXTENDED, list), 0);
  EXPECT_EQ(readAclAt(dir_.get(), "file"), list->entries);
  const std::optional<std::vector<AclEntry>> throughLink = readAclAt(dir_.get(), "link");
  ASSERT_TRUE(throughLink);
  EXPECT_TRUE(throughLink->empty());
  acl_free(list);
}

TEST_F(AclFiles, SetThroughDescriptor) {
  UniqueFd file(openat(dir_.get(), "file", O_RDONLY | O_CLOEXEC));
  acl_t list = denyDeleteList();
  ASSERT_EQ(acl_set_fd_np(file.get(), list, ACL_TYPE_EXTENDED), 0);
  EXPECT_EQ(readAclFd(file.get()), list->entries);
  // A pin of a fifo works too, and the fifo is never opened.
  ASSERT_EQ(mkfifoat(dir_.get(), "fifo", 0600), 0);
  UniqueFd pin(openat(dir_.get(), "fifo", O_PATH | O_NOFOLLOW | O_CLOEXEC));
  ASSERT_EQ(acl_set_fd_np(pin.get(), list, ACL_TYPE_EXTENDED), 0);
  EXPECT_EQ(readAclAt(dir_.get(), "fifo"), list->entries);
  acl_free(list);
}

TEST_F(AclFiles, MalformedStoredValueReadsAsNone) {
  ASSERT_EQ(lsetxattr(path("file").c_str(), kAclAttribute, "VACL\1\0\0\0", 8, 0), 0);
  EXPECT_FALSE(readAclAt(dir_.get(), "file"));
  EXPECT_FALSE(readAclAt(dir_.get(), "missing"));
}
