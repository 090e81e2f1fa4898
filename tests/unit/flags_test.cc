#include "platform/flags.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/fd.h"

namespace {

int inodeFlags(int fd) {
  int flags = 0;
  EXPECT_EQ(ioctl(fd, FS_IOC_GETFLAGS, &flags), 0);
  return flags;
}

// The flags attribute's raw value, or "" when it is absent.
std::string attributeValue(const std::string& path) {
  char value[64];
  const ssize_t n = lgetxattr(path.c_str(), kFlagsAttribute, value, sizeof value);
  return n < 0 ? std::string() : std::string(value, static_cast<size_t>(n));
}

// A temporary folder on the machine's disk (which has inode flags), emptied
// of every immutable or append-only flag before it is removed.
class FlagsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for trusted attributes and immutable flags";
    char pattern[] = "/tmp/hollin-flags-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    dir_.reset(open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir_.valid());
  }

  void TearDown() override {
    if (root_.empty()) return;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
      if (entry.is_symlink() || !(entry.is_regular_file() || entry.is_directory())) continue;
      UniqueFd fd(open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
      int none = 0;
      if (fd.valid()) ioctl(fd.get(), FS_IOC_SETFLAGS, &none);
    }
    std::filesystem::remove_all(root_);
  }

  std::string path(const char* name) const { return root_ + "/" + name; }

  UniqueFd makeFile(const char* name) {
    UniqueFd fd(openat(dir_.get(), name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    EXPECT_TRUE(fd.valid());
    return fd;
  }

  std::string root_;
  UniqueFd dir_;
};

TEST_F(FlagsTest, NewFileHasNoFlags) {
  UniqueFd file = makeFile("plain");
  EXPECT_EQ(readFlags(file.get()), 0u);
  EXPECT_EQ(readFlagsAt(dir_.get(), "plain"), 0u);
}

TEST_F(FlagsTest, ImmutableAndHiddenRoundTrip) {
  UniqueFd file = makeFile("item");
  ASSERT_EQ(writeFlags(file.get(), 0, UF_IMMUTABLE | UF_HIDDEN), 0);
  EXPECT_EQ(readFlags(file.get()), UF_IMMUTABLE | UF_HIDDEN);
  EXPECT_TRUE(inodeFlags(file.get()) & FS_IMMUTABLE_FL);
  EXPECT_EQ(attributeValue(path("item")), std::string("\x00\x80\x00\x00", 4));
  // The kernel enforces the inode part.
  EXPECT_LT(open(path("item").c_str(), O_WRONLY | O_CLOEXEC), 0);
  EXPECT_EQ(errno, EPERM);

  ASSERT_EQ(writeFlags(file.get(), UF_IMMUTABLE | UF_HIDDEN, UF_HIDDEN), 0);
  EXPECT_EQ(readFlags(file.get()), UF_HIDDEN);
  EXPECT_FALSE(inodeFlags(file.get()) & FS_IMMUTABLE_FL);
  UniqueFd writable(open(path("item").c_str(), O_WRONLY | O_CLOEXEC));
  EXPECT_TRUE(writable.valid());
}

TEST_F(FlagsTest, ClearingImmutabilityAndTheAttributeTogether) {
  UniqueFd file = makeFile("both");
  ASSERT_EQ(writeFlags(file.get(), 0, UF_IMMUTABLE | UF_HIDDEN), 0);
  ASSERT_EQ(writeFlags(file.get(), UF_IMMUTABLE | UF_HIDDEN, 0), 0);
  EXPECT_EQ(readFlags(file.get()), 0u);
  EXPECT_EQ(attributeValue(path("both")), "");
}

TEST_F(FlagsTest, AttributeKeptWhileKernelPartChanges) {
  UniqueFd file = makeFile("mixed");
  ASSERT_EQ(writeFlags(file.get(), 0, UF_HIDDEN | 0x10000), 0);
  ASSERT_EQ(writeFlags(file.get(), UF_HIDDEN | 0x10000, UF_HIDDEN | 0x10000 | UF_NODUMP), 0);
  EXPECT_EQ(readFlags(file.get()), UF_HIDDEN | 0x10000 | UF_NODUMP);
  EXPECT_TRUE(inodeFlags(file.get()) & FS_NODUMP_FL);
  EXPECT_EQ(attributeValue(path("mixed")), std::string("\x00\x80\x01\x00", 4));
}

TEST_F(FlagsTest, AttributeChangesWhileItemStaysImmutable) {
  UniqueFd file = makeFile("frozen");
  ASSERT_EQ(writeFlags(file.get(), 0, UF_IMMUTABLE | UF_APPEND), 0);
  ASSERT_EQ(writeFlags(file.get(), UF_IMMUTABLE | UF_APPEND, UF_IMMUTABLE | UF_APPEND | UF_HIDDEN), 0);
  EXPECT_EQ(readFlags(file.get()), UF_IMMUTABLE | UF_APPEND | UF_HIDDEN);
  ASSERT_EQ(writeFlags(file.get(), UF_IMMUTABLE | UF_APPEND | UF_HIDDEN, UF_IMMUTABLE), 0);
  EXPECT_EQ(readFlags(file.get()), UF_IMMUTABLE);
  EXPECT_EQ(attributeValue(path("frozen")), "");
}

TEST_F(FlagsTest, OtherInodeBitsSurvive) {
  UniqueFd file = makeFile("extents");
  const int before = inodeFlags(file.get());
  ASSERT_EQ(writeFlags(file.get(), 0, UF_NODUMP | UF_IMMUTABLE), 0);
  ASSERT_EQ(writeFlags(file.get(), UF_NODUMP | UF_IMMUTABLE, 0), 0);
  EXPECT_EQ(inodeFlags(file.get()), before);
}

TEST_F(FlagsTest, FolderFlags) {
  ASSERT_EQ(mkdirat(dir_.get(), "folder", 0755), 0);
  UniqueFd folder(openat(dir_.get(), "folder", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(writeFlags(folder.get(), 0, UF_IMMUTABLE | UF_HIDDEN), 0);
  EXPECT_EQ(readFlagsAt(dir_.get(), "folder"), UF_IMMUTABLE | UF_HIDDEN);
  EXPECT_NE(mkdirat(folder.get(), "inside", 0755), 0);
  EXPECT_NE(fchmod(folder.get(), 0700), 0);
  ASSERT_EQ(writeFlags(folder.get(), UF_IMMUTABLE | UF_HIDDEN, 0), 0);
  EXPECT_EQ(mkdirat(folder.get(), "inside", 0755), 0);
}

TEST_F(FlagsTest, LinkHasNoFlagsWhateverItsTarget) {
  UniqueFd file = makeFile("target");
  ASSERT_EQ(writeFlags(file.get(), 0, UF_IMMUTABLE | UF_HIDDEN), 0);
  ASSERT_EQ(symlinkat("target", dir_.get(), "link"), 0);
  EXPECT_EQ(readFlagsAt(dir_.get(), "link"), 0u);
  EXPECT_EQ(setHiddenAt(dir_.get(), "link"), ELOOP);
  ASSERT_EQ(symlinkat("nowhere", dir_.get(), "dangling"), 0);
  EXPECT_EQ(readFlagsAt(dir_.get(), "dangling"), 0u);
}

TEST_F(FlagsTest, FifoIsReadWithoutOpeningIt) {
  // Opening a fifo with no writer for reading would block the test.
  ASSERT_EQ(mkfifoat(dir_.get(), "fifo", 0600), 0);
  EXPECT_EQ(readFlagsAt(dir_.get(), "fifo"), 0u);
  ASSERT_EQ(setHiddenAt(dir_.get(), "fifo"), 0);
  EXPECT_EQ(readFlagsAt(dir_.get(), "fifo"), UF_HIDDEN);
  EXPECT_EQ(attributeValue(path("fifo")), std::string("\x00\x80\x00\x00", 4));
}

TEST_F(FlagsTest, SetHiddenKeepsOtherFlags) {
  UniqueFd file = makeFile("locked");
  ASSERT_EQ(writeFlags(file.get(), 0, UF_IMMUTABLE | UF_NODUMP), 0);
  ASSERT_EQ(setHiddenAt(dir_.get(), "locked"), 0);
  EXPECT_EQ(readFlagsAt(dir_.get(), "locked"), UF_IMMUTABLE | UF_NODUMP | UF_HIDDEN);
  ASSERT_EQ(setHiddenAt(dir_.get(), "locked"), 0);
  EXPECT_EQ(readFlagsAt(dir_.get(), "locked"), UF_IMMUTABLE | UF_NODUMP | UF_HIDDEN);
}

TEST_F(FlagsTest, MissingAndMalformed) {
  EXPECT_FALSE(readFlagsAt(dir_.get(), "missing"));
  EXPECT_EQ(setHiddenAt(dir_.get(), "missing"), ENOENT);
  UniqueFd file = makeFile("odd");
  ASSERT_EQ(fsetxattr(file.get(), kFlagsAttribute, "abc", 3, 0), 0);
  EXPECT_FALSE(readFlags(file.get()));
  // Kernel bits written into the attribute by someone else do not count.
  ASSERT_EQ(fsetxattr(file.get(), kFlagsAttribute, "\x02\x80\x00\x00", 4, 0), 0);
  EXPECT_EQ(readFlags(file.get()), UF_HIDDEN);
}

}  // namespace
