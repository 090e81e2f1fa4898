#include "platform/below/walk.h"

#include <climits>

#include "platform/admin/filemanager.h"
#include "platform/flags.h"
#include "tests/unit/fixture.h"

using namespace fixture;

static int openDescriptors() { return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {})); }

// Every item below `root` in visiting order, relative to it.
static std::vector<std::string> walkAll(const std::string& root, unsigned maxOpen, int* peakFds = nullptr) {
  std::vector<std::string> seen;
  UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  WalkVisitor visitor;
  visitor.enter = [&](const WalkItem& item) {
    seen.push_back(item.path->substr(item.rootLength + 1));
    if (peakFds) *peakFds = std::max(*peakFds, openDescriptors());
    return WalkStep::Descend;
  };
  const WalkError error = walkTree(fd.get(), root, visitor, maxOpen);
  EXPECT_EQ(error.error, 0) << error.path;
  return seen;
}

TEST(WalkTree, DeeperThanPathMaxWithFewDescriptorsThenRemoved) {
  TempDir home;
  const std::string name(200, 'd');
  UniqueFd fd(open(home.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int depth = 0; depth < 40; ++depth) {  // 40 * 201 bytes is twice PATH_MAX
    ASSERT_EQ(mkdirat(fd.get(), name.c_str(), 0755), 0);
    if (depth % 10 == 0) close(openat(fd.get(), "file", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    fd.reset(openat(fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  fd.reset();
  const int before = openDescriptors();
  int peak = 0;
  const std::vector<std::string> seen = walkAll(home.path, 4, &peak);
  EXPECT_EQ(seen.size(), 44u);
  EXPECT_GT(seen.back().size(), static_cast<size_t>(PATH_MAX));
  EXPECT_LE(peak - before, 6);
  EXPECT_EQ(openDescriptors(), before);
  std::string error;
  EXPECT_TRUE(removeItem(home.at(name), &error)) << error;
  EXPECT_FALSE(fs::exists(home.at(name)));
}

// Wide folders and room for two open folders only: resuming a re-entered ancestor from the wrong place would
// lose or repeat items. Every folder comes before its contents; the link is not followed.
TEST(WalkTree, PreOrderEveryItemOnceNoLinkFollowed) {
  TempDir home, outside;
  writeText(outside.at("secret"), "x");
  std::string level = home.path;
  for (int depth = 0; depth < 6; ++depth) {
    for (int i = 0; i < 5; ++i) writeText(level + "/f" + std::to_string(i), "x");
    fs::create_directory(level += "/sub");
  }
  fs::create_directory_symlink(outside.path, level + "/link");
  const std::vector<std::string> seen = walkAll(home.path, 2);
  EXPECT_EQ(seen.size(), 37u);
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 37u);
  for (auto item = seen.begin(); item != seen.end(); ++item) {
    const std::string parent = fs::path(*item).parent_path();
    EXPECT_TRUE(parent.empty() || std::find(seen.begin(), item, parent) != item) << *item;
  }
}

// Links going as themselves is covered by whole deletions. The walk goes on past an item that cannot go,
// and the failure names that first item (not its folder) and why.
TEST(RemoveItem, FailuresNamePathAndReason) {
  TempDir home;
  std::string error;
  EXPECT_FALSE(removeItem(home.at("missing"), &error));
  EXPECT_EQ(error, "\"" + home.at("missing") + "\" couldn't be removed: No such file or directory");
  for (const char* f : {"tree/s", "tree/b/x", "tree/c/x", "tree/d/x", "tree/e/x"}) fs::create_directories(home.at(f));
  writeText(home.at("tree/s/a"), "x");
  ASSERT_EQ(writeFlags(UniqueFd(open(home.at("tree/s/a").c_str(), O_RDONLY | O_CLOEXEC)).get(), 0, UF_IMMUTABLE), 0);
  EXPECT_FALSE(removeItem(home.at("tree"), &error));
  EXPECT_EQ(error, "\"" + home.at("tree/s/a") + "\" couldn't be removed: Operation not permitted");
  EXPECT_EQ(names(home.at("tree")), std::set<std::string>{"s"});
}
