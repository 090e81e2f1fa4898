#include "platform/admin/trusted.h"

#include <climits>

#include "platform/admin/filemanager.h"
#include "tests/unit/fixture.h"

using namespace fixture;

namespace {

// A tree where root placed some links and a user others, below a folder only
// root can write (the temporary folder sits in /tmp, where no link counts).
//   real/file                   the target of every link
//   root/ (0755)                rel -> ../real, abs -> /.../real, chain -> rel/file,
//                               user -> ../real (a 501 link), via -> ../user501/link,
//                               loop -> loop, dangling -> ../nowhere
//   user501/ (501), group/ (0775), sticky/ (1777)    each with a root link: link -> ../real
struct TrustedTree : TempDir {
  std::string top = at("t");
  TrustedTree() {
    for (const char* folder : {"t", "t/real", "t/root", "t/user501", "t/group", "t/sticky"})
      EXPECT_EQ(mkdir(at(folder).c_str(), 0755), 0);
    writeText(t("real/file"), "real");
    EXPECT_EQ(chown(t("user501").c_str(), 501, 20), 0);
    EXPECT_EQ(chmod(t("group").c_str(), 0775), 0);
    EXPECT_EQ(chmod(t("sticky").c_str(), 01777), 0);
    for (const auto& [name, target] : std::initializer_list<std::pair<const char*, std::string>>{
             {"root/rel", "../real"}, {"root/abs", t("real")}, {"root/chain", "rel/file"}, {"root/user", "../real"},
             {"root/via", "../user501/link"}, {"root/loop", "loop"}, {"root/dangling", "../nowhere"},
             {"user501/link", "../real"}, {"group/link", "../real"}, {"sticky/link", "../real"}}) {
      EXPECT_EQ(symlink(target.c_str(), t(name).c_str()), 0);
    }
    EXPECT_EQ(lchown(t("root/user").c_str(), 501, 20), 0);
  }
  std::string t(const std::string& relative) const { return relative == "/" ? relative : top + "/" + relative; }
};

// Whether `fd` is the item at `path` itself (never followed).
bool sameItem(int fd, const std::string& path) {
  struct stat a {}, b {};
  return fstat(fd, &a) == 0 && lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

TEST(OpenTrusted, FollowsOnlyLinksRootPlaced) {
  TrustedTree tree;
  constexpr FinalLink kFollow = FinalLink::Follow;
  const struct { const char* path; int flags; FinalLink final; int error; const char* item; } cases[] = {
      {"root/rel", O_PATH, kFollow, 0, "real"},  // last component
      {"root/rel/file", O_RDONLY, kFollow, 0, "real/file"},  // middle component
      {"root/abs/file", O_PATH, kFollow, 0, "real/file"},
      {"root/chain", O_RDONLY, kFollow, 0, "real/file"},  // a target spliced before the rest
      {"root/rel/../real/./file", O_PATH, kFollow, 0, "real/file"},
      {"root/user", O_PATH, kFollow, ELOOP, ""},  // a user's link in root's folder
      {"root/user/file", O_RDONLY, kFollow, ELOOP, ""},
      {"root/via/file", O_PATH, kFollow, ELOOP, ""},  // root's link leading to a user's folder
      {"user501/link/file", O_PATH, kFollow, ELOOP, ""},  // root's link in a user's folder
      {"group/link/file", O_PATH, kFollow, ELOOP, ""},
      {"sticky/link/file", O_PATH, kFollow, ELOOP, ""},
      {"root/rel", O_PATH, FinalLink::Refuse, ELOOP, ""},
      {"root/rel/file", O_RDONLY, FinalLink::Refuse, 0, "real/file"},  // only the last is refused
      {"root/rel", O_PATH, FinalLink::Keep, 0, "root/rel"},
      {"root/user", O_PATH, FinalLink::Keep, 0, "root/user"},
      {"root/loop", O_PATH, kFollow, ELOOP, ""},
      {"root/dangling", O_PATH, kFollow, ENOENT, ""},
      {"real/file/x", O_PATH, kFollow, ENOTDIR, ""},
      {"real/file", O_RDONLY | O_DIRECTORY, kFollow, ENOTDIR, ""},
  };
  for (const auto& c : cases) {
    UniqueFd fd(openTrusted(tree.t(c.path), c.flags, c.final));
    EXPECT_EQ(fd.valid() ? 0 : -fd.get(), c.error) << c.path;
    EXPECT_TRUE(!fd.valid() || sameItem(fd.get(), tree.t(c.item))) << c.path;
  }
}

TEST(OpenTrustedParent, GivesFolderAndLastName) {
  TrustedTree tree;
  const struct { const char* path; int error; const char* folder; const char* name; } cases[] = {
      {"real/file", 0, "real", "file"}, {"real/.", 0, "real", "."}, {"real/..", 0, "", "."}, {"/", 0, "/", "."},
      {"real/missing", 0, "real", "missing"},
      {"root/rel/file", 0, "real", "file"},  // a trusted link on the way is followed
      {"root/user/", 0, "root", "user"},  // the last component never is, a trailing separator or not
      {"root/user/file", ELOOP, "", ""}, {"nowhere/file", ENOENT, "", ""},
  };
  for (const auto& c : cases) {
    std::string name;
    UniqueFd fd(openTrustedParent(tree.t(c.path), &name));
    EXPECT_EQ(fd.valid() ? 0 : -fd.get(), c.error) << c.path;
    EXPECT_TRUE(!fd.valid() || (sameItem(fd.get(), tree.t(c.folder)) && name == c.name)) << c.path << " " << name;
  }
}

// Pinned through held folders, an item is the one the whole rule finds, in
// whatever order the paths come: the same error, or the same item and holder
// owner; past the bound on held folders too, and nothing is left open.
TEST(PinTrustedNear, AgreesWithTheWholeRule) {
  TrustedTree tree;
  std::string deep = "real/sub";
  EXPECT_EQ(mkdir(tree.t(deep).c_str(), 0755), 0);
  for (size_t level = 0; level < TrustedFolders::kMost + 6; ++level) {
    deep += "/d";
    EXPECT_EQ(mkdir(tree.t(deep).c_str(), 0755), 0);
  }
  writeText(tree.t(deep + "/f"), "f");
  writeText(tree.t("real/sub/f"), "f");
  const int before = openDescriptors();
  {
    TrustedFolders held;
    const std::string paths[] = {"real/file", "real/sub", "real/sub/f", deep + "/f", "real/sub/d/d/d", deep,
                                 "real/file", "root/rel/file", "root/rel/sub/f", "root/user/file", "root/user",
                                 "user501/link", "user501/link/file", "real/sub/f", "real/missing", "real/file/x",
                                 "nowhere/file", "root/chain", "real/./file", "real/../real/file", "root/abs/sub/f",
                                 "group/link/file", "real/sub/f"};
    for (const std::string& relative : paths) {
      const std::string path = tree.t(relative);
      TrustedPin near, whole;
      const int a = pinTrustedNear(held, path, &near), b = pinTrusted(path, FinalLink::Keep, &whole);
      const UniqueFd nearFd(a == 0 ? near.fd : -1), wholeFd(b == 0 ? whole.fd : -1);
      EXPECT_EQ(a, b) << relative;
      EXPECT_LE(held.chain.size(), TrustedFolders::kMost);
      if (a != 0 || b != 0) continue;
      struct stat x {}, y {};
      ASSERT_TRUE(fstat(nearFd.get(), &x) == 0 && fstat(wholeFd.get(), &y) == 0);
      EXPECT_TRUE(x.st_dev == y.st_dev && x.st_ino == y.st_ino) << relative;
      EXPECT_EQ(near.holderOwner, whole.holderOwner) << relative;
    }
  }
  EXPECT_EQ(openDescriptors(), before);
}

// A held folder is the one that stood at its path when it was pinned: a user
// who moves it away and puts a link in its place leads nothing through the link.
TEST(PinTrustedNear, AHeldFolderReplacedByALinkIsNotFollowed) {
  TrustedTree tree;
  EXPECT_EQ(mkdir(tree.t("user501/dir").c_str(), 0755), 0);
  writeText(tree.t("user501/dir/a"), "a");
  writeText(tree.t("user501/dir/b"), "b");
  TrustedFolders held;
  TrustedPin first, second;
  ASSERT_EQ(pinTrustedNear(held, tree.t("user501/dir/a"), &first), 0);
  const UniqueFd firstFd(first.fd);
  ASSERT_EQ(rename(tree.t("user501/dir").c_str(), tree.t("user501/moved").c_str()), 0);
  ASSERT_EQ(symlink(tree.t("real").c_str(), tree.t("user501/dir").c_str()), 0);
  writeText(tree.t("real/b"), "outside");
  ASSERT_EQ(pinTrustedNear(held, tree.t("user501/dir/b"), &second), 0);
  const UniqueFd secondFd(second.fd);
  EXPECT_TRUE(sameItem(secondFd.get(), tree.t("user501/moved/b")));
  EXPECT_FALSE(sameItem(secondFd.get(), tree.t("real/b")));
}

TEST(ExistsTrusted, FollowsAFinalLinkOnlyWhenTrusted) {
  TrustedTree tree;
  struct stat status {};
  EXPECT_TRUE(existsTrusted(tree.t("root/rel"), &status) && S_ISDIR(status.st_mode));
  EXPECT_FALSE(existsTrusted(tree.t("root/dangling")));
  EXPECT_FALSE(existsTrusted(tree.t("root/user")));
}

// Nothing is resolved by its whole text: a path longer than PATH_MAX, with a
// trusted link at its far end, opens.
TEST(TrustedLongPath, OpensPastPathMax) {
  TrustedTree tree;
  const std::string name(200, 'd');
  std::string path = tree.top;
  UniqueFd fd(open(tree.top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int depth = 0; depth < 40; ++depth, path += "/" + name) {
    ASSERT_EQ(mkdirat(fd.get(), name.c_str(), 0755), 0);
    fd.reset(openat(fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  ASSERT_EQ(symlinkat(tree.t("real/file").c_str(), fd.get(), "link"), 0);
  ASSERT_GT(path.size(), static_cast<size_t>(PATH_MAX));
  UniqueFd file(openTrusted(path + "/link", O_RDONLY, FinalLink::Follow));
  EXPECT_TRUE(sameItem(file.get(), tree.t("real/file")));
  std::string last;
  UniqueFd parent(openTrustedParent(path + "/link", &last));
  struct stat deepest {}, found {};
  EXPECT_TRUE(fstat(fd.get(), &deepest) == 0 && fstat(parent.get(), &found) == 0 && last == "link");
  EXPECT_EQ(deepest.st_ino, found.st_ino);
  EXPECT_TRUE(existsTrusted(path + "/link"));
  std::string error;  // too deep for the fixture's own removal
  EXPECT_EQ(removeItem(tree.t(name), &error), 0) << error;
}

#ifdef HOLLIN_PAUSE_POINTS
// While it is set, the program `script` (run by /bin/sh) runs at the pause point `point`.
struct PauseAt {
  PauseAt(const std::string& point, const std::string& program, const std::string& script) {
    writeText(program, "#!/bin/sh\n" + script);
    EXPECT_EQ(chmod(program.c_str(), 0755), 0);
    setenv("HOLLIN_PAUSE_AT", point.c_str(), 1);
    setenv("HOLLIN_PAUSE_RUN", program.c_str(), 1);
  }
  ~PauseAt() {
    unsetenv("HOLLIN_PAUSE_AT");
    unsetenv("HOLLIN_PAUSE_RUN");
  }
};

// The item is swapped after it was resolved and before it is opened again: the open fails rather than reach
// what took its place, which has the same device. dir/item is a file, dir/folder a folder; outside/ holds the
// file and folder that are swapped in. The program is told the held item and moves it aside to NAME.was.
TEST(OpenTrusted, ASwapBeforeTheOpenFails) {
  const struct { const char* why; const char* name; const char* swap; int flags; int error; } cases[] = {
      {"nothing swapped", "item", ":", O_RDONLY, 0},
      {"another name of a file outside", "item", "mv \"$2\" \"$2.was\" && ln \"$OUT/secret\" \"$2\"", O_RDONLY,
       ESTALE},
      {"another file renamed in", "item", "mv \"$2\" \"$2.was\" && cp \"$OUT/secret\" \"$2\"", O_RDONLY, ESTALE},
      {"a link to a file outside", "item", "mv \"$2\" \"$2.was\" && ln -s \"$OUT/secret\" \"$2\"", O_RDONLY,
       ELOOP},
      {"another folder renamed in", "folder", "mv \"$2\" \"$2.was\" && mv \"$OUT/other\" \"$2\"",
       O_RDONLY | O_DIRECTORY, ESTALE},
  };
  for (const auto& c : cases) {
    TempDir top;
    for (const char* folder : {"dir", "dir/folder", "outside", "outside/other"}) {
      ASSERT_EQ(mkdir(top.at(folder).c_str(), 0755), 0);
    }
    writeText(top.at("dir/item"), "mine");
    writeText(top.at("outside/secret"), "secret");
    const std::string item = top.at(std::string("dir/") + c.name);
    const PauseAt pause("open-trusted", top.at("swap"),
                        "OUT='" + top.at("outside") + "'\n[ \"$2\" = '" + item + "' ] || exit 0\n" + c.swap +
                            " && touch \"$OUT/../swapped\"\n");
    UniqueFd fd(openTrusted(item, c.flags, FinalLink::Follow));
    EXPECT_TRUE(fs::exists(top.at("swapped"))) << c.why << ": the program did not run at the point";
    EXPECT_EQ(fd.valid() ? 0 : -fd.get(), c.error) << c.why;
    const bool swapped = fs::exists(item + ".was");
    EXPECT_TRUE(!fd.valid() || sameItem(fd.get(), swapped ? item + ".was" : item)) << c.why;
  }
}
#else
TEST(OpenTrusted, ASwapBeforeTheOpenFails) { GTEST_SKIP() << "built without HOLLIN_PAUSE_POINTS: no pause point"; }
#endif

}  // namespace
