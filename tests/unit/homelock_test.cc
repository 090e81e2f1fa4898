#include "ctl/homelock.h"

#include <gtest/gtest.h>

#include <set>

// Two spellings of one home share a lock; two homes never do, whatever bytes
// their names hold, and a name stays one plain file name.
TEST(HomeLock, NamesFollowTheHomesText) {
  struct Row {
    std::string home, normal, name;
  };
  const Row rows[] = {
      {"/Users/alice", "/Users/alice", "Users-alice.lock"},
      {"/Users/alice/", "/Users/alice", "Users-alice.lock"},
      {"//Users///alice//", "/Users/alice", "Users-alice.lock"},
      {"/home/a-b", "/home/a-b", "home-a%2Db.lock"},  // not the lock of /home/a/b
      {"/home/a/b", "/home/a/b", "home-a-b.lock"},
      {"/home/x y\n", "/home/x y\n", "home-x%20y%0A.lock"},
      {"/home/caf\xc3\xa9", "/home/caf\xc3\xa9", "home-caf%C3%A9.lock"},
      {"/home/.hidden_1", "/home/.hidden_1", "home-.hidden_1.lock"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(normalHomeText(row.home), row.normal) << row.home;
    EXPECT_EQ(homeLockName(row.home), row.name) << row.home;
  }
  // "/" has no name of its own: it is hashed, as a long path is.
  EXPECT_EQ(normalHomeText("///"), "/");
  EXPECT_TRUE(homeLockName("/").starts_with("long-")) << homeLockName("/");
}

TEST(HomeLock, LongPathsAreHashedAndStayDistinct) {
  const std::string base = "/home/" + std::string(300, 'a');
  const std::string first = homeLockName(base + "1"), second = homeLockName(base + "2");
  EXPECT_NE(first, second);
  for (const std::string& name : {first, second}) {
    EXPECT_TRUE(name.starts_with("long-") && name.ends_with(".lock")) << name;
    EXPECT_EQ(name.size(), 5u + 16u + 5u);
  }
  EXPECT_EQ(homeLockName(base + "1/"), first);
  std::set<std::string> names;
  for (const char* home : {"/a/b", "/a-b", "/a%2Db", "/a_b", "/a.b"}) names.insert(homeLockName(home));
  EXPECT_EQ(names.size(), 5u);
}
