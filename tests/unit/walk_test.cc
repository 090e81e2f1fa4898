#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/filemanager.h"
#include "platform/walk.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/hollin-walk-XXXXXX";
    path = mkdtemp(name);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

void writeFile(const std::string& path, const std::string& text = "x") { std::ofstream(path) << text; }

int openDescriptors() {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

std::vector<std::string> walkAll(const std::string& root, unsigned maxOpen, int* peakFds = nullptr) {
  std::vector<std::string> seen;
  UniqueFd fd(openFolderNoFollow(root));
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

}  // namespace

TEST(WalkTree, PreOrderEveryItemNoLinkFollowed) {
  TempDir home, outside;
  fs::create_directories(home.path + "/a/b");
  writeFile(home.path + "/a/b/f");
  writeFile(outside.path + "/secret");
  fs::create_directory_symlink(outside.path, home.path + "/a/link");
  const std::vector<std::string> seen = walkAll(home.path, 32);
  const std::set<std::string> items(seen.begin(), seen.end());
  EXPECT_EQ(items, (std::set<std::string>{"a", "a/b", "a/b/f", "a/link"}));
  const auto position = [&](const std::string& p) { return std::find(seen.begin(), seen.end(), p) - seen.begin(); };
  EXPECT_LT(position("a"), position("a/b"));
  EXPECT_LT(position("a/b"), position("a/b/f"));
}

TEST(WalkTree, DeeperThanPathMaxWithFewDescriptors) {
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
  EXPECT_TRUE(removeItem(home.path + "/" + name, &error)) << error;
  EXPECT_FALSE(fs::exists(home.path + "/" + name));
}

TEST(WalkTree, ClosedAncestorResumesWhereItLeftOff) {
  TempDir home;
  // Wide folders at every level, so resuming a re-entered folder from the
  // wrong place would lose or repeat items.
  std::string level = home.path;
  size_t expected = 0;
  for (int depth = 0; depth < 6; ++depth) {
    for (int i = 0; i < 5; ++i) writeFile(level + "/f" + std::to_string(i)), ++expected;
    level += "/sub";
    fs::create_directory(level);
    ++expected;
  }
  const std::vector<std::string> seen = walkAll(home.path, 2);
  EXPECT_EQ(seen.size(), expected);
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), expected);
}

TEST(RemoveItem, LinksRemovedAsThemselvesOutsideSurvives) {
  TempDir home, outside;
  writeFile(outside.path + "/keep");
  fs::create_directories(home.path + "/h/Library");
  fs::create_directory_symlink(outside.path, home.path + "/h/Library/out");
  fs::create_symlink(outside.path + "/keep", home.path + "/h/filelink");
  std::string error;
  ASSERT_TRUE(removeItem(home.path + "/h", &error)) << error;
  EXPECT_FALSE(fs::exists(fs::symlink_status(home.path + "/h")));
  EXPECT_TRUE(fs::exists(outside.path + "/keep"));

  fs::create_directory_symlink(outside.path, home.path + "/link");
  ASSERT_TRUE(removeItem(home.path + "/link", &error)) << error;
  EXPECT_TRUE(fs::exists(outside.path + "/keep"));
}

TEST(RemoveItem, FailureNamesThePathAndReason) {
  TempDir home;
  std::string error;
  EXPECT_FALSE(removeItem(home.path + "/missing", &error));
  EXPECT_NE(error.find(home.path + "/missing"), std::string::npos);
  EXPECT_NE(error.find("No such file or directory"), std::string::npos);
}

TEST(CreateDirectory, ParentsModeAndExisting) {
  TempDir root;
  std::string error;
  const std::string home = root.path + "/Users/deep/alice";
  const mode_t mask = umask(077);
  ASSERT_TRUE(createDirectory(home, 0750, &error)) << error;
  umask(mask);
  struct stat status {};
  ASSERT_EQ(stat(home.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0750u);
  EXPECT_TRUE(createDirectory(home, 0700, &error));
  ASSERT_EQ(stat(home.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0750u);

  writeFile(root.path + "/file");
  EXPECT_FALSE(createDirectory(root.path + "/file/sub", std::nullopt, &error));
  EXPECT_NE(error.find(root.path + "/file"), std::string::npos);
  EXPECT_FALSE(createDirectory(root.path + "/file", std::nullopt, &error));
}

TEST(FileExists, FollowsFinalLink) {
  TempDir root;
  fs::create_directory(root.path + "/dir");
  fs::create_directory_symlink(root.path + "/dir", root.path + "/good");
  fs::create_symlink(root.path + "/nothing", root.path + "/dangling");
  bool folder = false;
  EXPECT_TRUE(fileExists(root.path + "/good", &folder));
  EXPECT_TRUE(folder);
  EXPECT_FALSE(fileExists(root.path + "/dangling"));
}
