#include "platform/below/beneath.h"

#include "tests/unit/fixture.h"

using namespace fixture;

// Below a folder a user controls, no link is followed and nothing leads out,
// whatever the link's target or the path's dots.
TEST(Beneath, RefusesEveryLinkAndEveryEscape) {
  TempDir top;
  fs::create_directories(top.path + "/home/a/b");
  writeText(top.path + "/home/a/file", "x");
  writeText(top.path + "/outside", "secret");
  fs::create_symlink("file", top.path + "/home/a/relative");
  fs::create_symlink("../a", top.path + "/home/a/b/up");
  fs::create_symlink(top.path + "/home/a", top.path + "/home/absolute");
  fs::create_symlink("/", top.path + "/home/root");
  UniqueFd home(open((top.path + "/home").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const struct {
    const char* relative;
    int result;  // 0: opens; otherwise -errno
  } cases[] = {
      {"a/file", 0}, {"a/b/../file", 0}, {"a", 0}, {"", 0},
      {"a/relative", -ELOOP}, {"a/b/up/file", -ELOOP}, {"absolute/file", -ELOOP}, {"root/etc", -ELOOP},
      {"../outside", -EXDEV}, {"a/../../outside", -EXDEV}, {"/etc/passwd", -EXDEV}, {"a/missing", -ENOENT},
  };
  for (const auto& c : cases) {
    const int fd = openBeneath(home.get(), c.relative, O_PATH);
    if (fd >= 0) close(fd);
    EXPECT_EQ(fd >= 0 ? 0 : fd, c.result) << c.relative;
  }
  EXPECT_TRUE(existsBeneathWithoutLinks(home.get(), "/a/b/"));
  EXPECT_FALSE(existsBeneathWithoutLinks(home.get(), "a/relative"));
  std::string name;
  UniqueFd parent(openParentBeneath(home.get(), "a/b/up", &name));
  EXPECT_TRUE(parent.valid() && name == "up");
  EXPECT_LT(openParentBeneath(home.get(), "absolute/file", &name), 0);
}
