#include "permissions/item_rules.h"

#include <gtest/gtest.h>

#include "platform/directory.h"

using namespace hostacl;

// The one table that both a change and a check read.
TEST(ItemDecision, ByKindNameAndPath) {
  struct Row {
    mode_t type;
    const char* path;
    bool uuidKnown;
    std::optional<mode_t> mode;
    ListRule list;
  };
  const Row rows[] = {
      {S_IFREG, "/Users/a/notes", true, 0600, ListRule::Keep},
      {S_IFREG, "/Users/a/Library/.localized", true, 0644, ListRule::Keep},
      {S_IFREG, "/Users/a/x.localized", true, 0600, ListRule::Keep},        // the whole name only
      {S_IFLNK, "/Users/a/.localized", true, std::nullopt, ListRule::Keep},  // a link keeps its mode
      {S_IFIFO, "/Users/a/pipe", true, 0600, ListRule::Keep},
      {S_IFDIR, "/Users/a/.localized", true, 0700, ListRule::Default},
      {S_IFDIR, "/Users/a/Public/Drop Box", true, 0700, ListRule::DropBox},
      {S_IFDIR, "/Users/a/Old/Public/Drop Box", true, 0700, ListRule::DropBox},  // at any depth
      {S_IFDIR, "/Users/a/Public/Drop Box", false, 0700, ListRule::DropBoxNoOwner},
      {S_IFDIR, "/Users/a/public/Drop Box", true, 0700, ListRule::Default},  // case matters
      {S_IFDIR, "/Users/a/Movies", true, 0700, ListRule::Keep},
      {S_IFDIR, "/Users/a/Movies/Clips", true, 0700, ListRule::Default},
      {S_IFDIR, "/Users/a/Public/Drop Box/Movies", true, 0700, ListRule::Keep},
  };
  for (const Row& row : rows) {
    const ItemDecision decision = decideItem(row.type, row.path, row.uuidKnown);
    EXPECT_EQ(decision.mode, row.mode) << row.path;
    EXPECT_EQ(decision.list, row.list) << row.path;
    EXPECT_EQ(decision.clearImmutable, S_ISDIR(row.type)) << row.path;
  }
}

TEST(ItemDecision, WantedListsAndHardLinks) {
  const Uuid user = accountUuid(501);
  const std::optional<std::vector<AclEntry>> dropBox = wantedList(ListRule::DropBox, user);
  ASSERT_TRUE(dropBox);
  ASSERT_EQ(dropBox->size(), 2u);
  EXPECT_EQ((*dropBox)[0], (AclEntry{ACL_EXTENDED_DENY, ACL_DELETE, 0, *parseUuid(EveryoneGroupUUID)}));
  EXPECT_EQ((*dropBox)[1], (AclEntry{ACL_EXTENDED_ALLOW, ACL_ALL_PERMISSIONS,
                                     ACL_ENTRY_FILE_INHERIT | ACL_ENTRY_DIRECTORY_INHERIT, user}));
  EXPECT_EQ(wantedList(ListRule::Default, user), std::vector<AclEntry>{(*dropBox)[0]});
  EXPECT_FALSE(wantedList(ListRule::Keep, user));
  EXPECT_FALSE(wantedList(ListRule::DropBoxNoOwner, user));
  EXPECT_FALSE(wantedList(ListRule::DropBox, std::nullopt));

  struct stat file {};
  file.st_mode = S_IFREG;
  file.st_nlink = 2;
  file.st_uid = 502;
  EXPECT_TRUE(leftAloneForLinks(file, 501));
  EXPECT_FALSE(leftAloneForLinks(file, 502));
  file.st_nlink = 1;
  EXPECT_FALSE(leftAloneForLinks(file, 501));
  struct stat folder = file;
  folder.st_mode = S_IFDIR;
  folder.st_nlink = 5;
  EXPECT_FALSE(leftAloneForLinks(folder, 501));
}
