#include "platform/below/walk.h"

#include <climits>

#include "platform/admin/filemanager.h"
#include "platform/below/reenter.h"
#include "platform/flags.h"
#include "tests/unit/fixture.h"

using namespace fixture;

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
  EXPECT_EQ(removeItem(home.at(name), &error), 0) << error;
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

// A chain of `depth` folders named c1, c2, ... below `root`, with a file in every 100th; returns the
// number of items made.
static size_t makeChain(const std::string& root, int depth) {
  size_t items = 0;
  UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int level = 1; level <= depth; ++level) {
    const std::string name = "c" + std::to_string(level);
    EXPECT_EQ(mkdirat(fd.get(), name.c_str(), 0755), 0);
    if (level % 100 == 0) close(openat(fd.get(), "file", O_CREAT | O_WRONLY | O_CLOEXEC, 0644)), ++items;
    fd.reset(openat(fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ++items;
  }
  return items;
}

// Far deeper than the bound: every item once, the bound held all the way down and back up (the files come
// after the climb back through each closed level), nothing left open, and the deletion goes as deep.
TEST(WalkTree, ChainFarDeeperThanTheBound) {
  TempDir home;
  const size_t items = makeChain(home.path, 3000);
  for (const unsigned bound : {2u, 8u}) {
    const int before = openDescriptors();
    int peak = 0;
    const std::vector<std::string> seen = walkAll(home.path, bound, &peak);
    EXPECT_EQ(seen.size(), items);
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), items);
    // The walk's own folders, the item being visited and the listing of /proc/self/fd.
    EXPECT_LE(peak - before, static_cast<int>(bound) + 2) << bound;
    EXPECT_EQ(openDescriptors(), before);
  }
  std::string error;
  EXPECT_EQ(removeItem(home.at("c1"), &error), 0) << error;
  EXPECT_EQ(names(home.path), std::set<std::string>{});
}

// While the walk is at the bottom, a folder on the way back up (closed by the bound) is swapped with a
// decoy from elsewhere on the same device: the walk must not take the decoy, or the decoy's new parent, for
// the folder it left. It stops with ESTALE at the first folder it cannot re-enter as it left it, and leaves
// no folder after that. Sorted walks resume a level from their names, not from the kernel's offset.
class SwappedAncestor : public testing::TestWithParam<bool> {};

TEST_P(SwappedAncestor, StopsTheWalk) {
  TempDir home;
  makeChain(home.path, 60);
  fs::create_directories(home.at("decoy/intruder"));
  std::string c20 = home.path;
  for (int level = 1; level <= 20; ++level) c20 += "/c" + std::to_string(level);
  std::vector<std::string> seen;
  bool swapped = false;
  int leftAfterSwap = 0;
  UniqueFd fd(open(home.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  WalkVisitor visitor;
  visitor.sorted = GetParam();
  visitor.enter = [&](const WalkItem& item) {
    const std::string relative = item.path->substr(item.rootLength + 1);
    seen.push_back(relative);
    if (item.depth == 60 && !swapped) {
      swapped = true;
      EXPECT_EQ(renameat2(AT_FDCWD, c20.c_str(), AT_FDCWD, home.at("decoy").c_str(), RENAME_EXCHANGE), 0);
    }
    return relative == "decoy" ? WalkStep::Skip : WalkStep::Descend;
  };
  visitor.leave = [&](const WalkItem&, bool) { leftAfterSwap += swapped; };
  const WalkError error = walkTree(fd.get(), home.path, visitor, 4);
  ASSERT_TRUE(swapped);
  EXPECT_EQ(error.error, ESTALE);
  EXPECT_EQ(error.path, fs::path(c20).parent_path().string());
  EXPECT_EQ(leftAfterSwap, 60 - 20);  // c60 up to c21, each once; c20 and above are never left
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), seen.size());
  for (const std::string& item : seen) EXPECT_EQ(item.find("intruder"), std::string::npos) << item;
}

INSTANTIATE_TEST_SUITE_P(WalkTree, SwappedAncestor, testing::Bool());

// The step every bounded walk (and the copier's destination) climbs back with. The child still stands in a
// folder under its name, but in another one: by ".." (no handle) that is the folder reached, and only its
// device and inode tell it from the one left; by handle the folder left is reached, without the child.
class Reenter : public testing::TestWithParam<bool> {};

TEST_P(Reenter, RefusesAParentThatIsNoLongerTheOneLeft) {
  TempDir home;
  fs::create_directories(home.at("a/b"));
  fs::create_directories(home.at("decoy"));
  UniqueFd a(open(home.at("a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd b(open(home.at("a/b").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat aStatus {}, bStatus {};
  ASSERT_EQ(fstat(a.get(), &aStatus), 0);
  ASSERT_EQ(fstat(b.get(), &bStatus), 0);
  FolderMark mark = plainMark(aStatus);
  if (GetParam()) markFolder(a.get(), aStatus, &mark);
  a.reset();
  const FolderMark child = plainMark(bStatus);
  UniqueFd back(reenterFolder(mark, b.get(), "b", child));
  struct stat backStatus {};
  ASSERT_TRUE(back.valid());
  ASSERT_EQ(fstat(back.get(), &backStatus), 0);
  EXPECT_EQ(backStatus.st_ino, aStatus.st_ino);
  ASSERT_EQ(rename(home.at("a/b").c_str(), home.at("decoy/b").c_str()), 0);
  EXPECT_EQ(reenterFolder(mark, b.get(), "b", child), -ESTALE);
}

INSTANTIATE_TEST_SUITE_P(WalkTree, Reenter, testing::Bool());

// Pre-order with each folder's names in byte order (upper case, then lower case, then bytes past ASCII),
// every folder left once right after its contents, across re-entries with room for two open folders; one
// folder takes several reads of the kernel's listing.
TEST(WalkTree, SortedEntersAndLeavesInByteOrder) {
  TempDir home;
  const std::vector<std::string> top = {"b", "B", "\xc3\xa9", "a", "_"};
  for (const std::string& name : top) fs::create_directories(home.at(name + "/y/x/w/v"));
  for (const char* file : {"b/y/z", "b/y/A", "a/f", "B/y/x/w/v/f"}) writeText(home.at(file), "");
  for (int i = 399; i >= 0; --i) writeText(home.at("_/" + std::string(40, 'n') + std::to_string(i)), "");
  std::vector<std::string> events;
  UniqueFd fd(open(home.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  WalkVisitor visitor;
  visitor.sorted = true;
  visitor.enter = [&](const WalkItem& item) {
    events.push_back("+" + item.path->substr(item.rootLength + 1));
    return WalkStep::Descend;
  };
  visitor.leave = [&](const WalkItem& item, bool complete) {
    EXPECT_TRUE(complete);
    events.push_back("-" + item.path->substr(item.rootLength + 1));
  };
  ASSERT_EQ(walkTree(fd.get(), home.path, visitor, 2).error, 0);
  // What the walk should give, by the standard library's own recursion over sorted names.
  std::vector<std::string> wanted;
  std::function<void(const std::string&)> list = [&](const std::string& relative) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(home.at(relative))) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string item = relative.empty() ? name : relative + "/" + name;
      wanted.push_back("+" + item);
      if (fs::is_directory(home.at(item))) {
        list(item);
        wanted.push_back("-" + item);
      }
    }
  };
  list("");
  EXPECT_EQ(events, wanted);
  EXPECT_EQ(events.front(), "+B");
  EXPECT_EQ(events.size(), 5u * 10 + 4 + 400);
}

// Links going as themselves is covered by whole deletions. The walk goes on past an item that cannot go,
// and the failure names that first item (not its folder) and why.
TEST(RemoveItem, FailuresNamePathAndReason) {
  TempDir home;
  std::string error;
  EXPECT_EQ(removeItem(home.at("missing"), &error), -ENOENT);
  EXPECT_EQ(error, "\"" + home.at("missing") + "\" couldn't be removed: No such file or directory");
  for (const char* f : {"tree/s", "tree/b/x", "tree/c/x", "tree/d/x", "tree/e/x"}) fs::create_directories(home.at(f));
  writeText(home.at("tree/s/a"), "x");
  ASSERT_EQ(writeFlags(UniqueFd(open(home.at("tree/s/a").c_str(), O_RDONLY | O_CLOEXEC)).get(), 0, UF_IMMUTABLE), 0);
  EXPECT_EQ(removeItem(home.at("tree"), &error), -EPERM);
  EXPECT_EQ(error, "\"" + home.at("tree/s/a") + "\" couldn't be removed: Operation not permitted");
  EXPECT_EQ(names(home.at("tree")), std::set<std::string>{"s"});
}
