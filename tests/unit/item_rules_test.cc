#include "permissions/item_rules.h"

#include <gtest/gtest.h>

#include "platform/directory.h"
#include "platform/flags.h"
#include "repair/run_changes.h"

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

// The stream a run makes of an item: its order, who makes each change, and
// which flags refuse it when it comes. A pass lifts a folder's immutable flag
// after its mode; a repair changes owners before its rules run.
TEST(RunChanges, OrderStepsAndRefusals) {
  struct stat folder {};
  folder.st_mode = S_IFDIR | 0755;
  folder.st_uid = 0;
  folder.st_nlink = 2;
  const std::string path = "/Users/a/Sites/Streaming/Clips";
  RunChanges run;
  run.kind = RunKind::Apply;
  run.owner = {true, 501, 20, 501};
  run.uuid = accountUuid(501);
  run.trees.push_back({"/Users/a/Sites/Streaming/", 80, "chgrp"});
  bool leftAlone = true;
  std::vector<ItemChange> changes = itemChanges(run, {folder, UF_IMMUTABLE | UF_APPEND, path, 3}, &leftAlone);
  EXPECT_FALSE(leftAlone);
  ASSERT_EQ(changes.size(), 5u);
  const Attribute order[] = {Attribute::Mode, Attribute::Flags, Attribute::List, Attribute::Owner, Attribute::Owner};
  for (size_t i = 0; i < changes.size(); ++i) EXPECT_EQ(changes[i].attribute, order[i]) << i;
  EXPECT_EQ(changes[0].refusedBy, UF_IMMUTABLE | UF_APPEND);
  EXPECT_EQ(changes[2].refusedBy, UF_APPEND);
  EXPECT_STREQ(changes[4].step, "chgrp");
  ItemOutcome outcome = outcomeOf(folder, changes);
  EXPECT_EQ(outcome.mode, 0700u);
  EXPECT_EQ(outcome.uid, 501u);
  EXPECT_EQ(outcome.gid, 80u);  // the recursive group change comes last
  EXPECT_EQ(outcome.modeRefusedBy, UF_IMMUTABLE | UF_APPEND);
  EXPECT_EQ(outcome.ownerRefusedBy, UF_APPEND);

  // A repair: the owner change first, refused by both flags, and no rules
  // for an item the template walk does not reach.
  run.kind = RunKind::Repair;
  run.ownerStep = "chown";
  changes = itemChanges(run, {folder, UF_IMMUTABLE, "/Users/a/Elsewhere", 1}, &leftAlone);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_STREQ(changes[0].step, "chown");
  EXPECT_EQ(changes[0].refusedBy, UF_IMMUTABLE);

  // Another name of someone else's file: nothing at all.
  struct stat linked {};
  linked.st_mode = S_IFREG | 0644;
  linked.st_uid = 502;
  linked.st_nlink = 2;
  EXPECT_TRUE(itemChanges(run, {linked, std::nullopt, "/Users/a/Sites/Streaming/f", 3}, &leftAlone).empty());
  EXPECT_TRUE(leftAlone);
}
