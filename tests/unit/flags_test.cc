#include "platform/flags.h"

#include <linux/fs.h>
#include <sys/ioctl.h>

#include "tests/unit/fixture.h"

using fixture::word;

namespace {

int inodeFlags(int fd) {
  int flags = 0;
  EXPECT_EQ(ioctl(fd, FS_IOC_GETFLAGS, &flags), 0);
  return flags;
}

}  // namespace

// Each step starts from the word the last one left. The attribute part must
// change even while the item stays immutable (its attributes are frozen then),
// the kernel must enforce the inode part, and other inode bits must survive.
TEST(Flags, WordRoundTripsThroughInodeBitsAndAttribute) {
  fixture::TempDir dir;
  const std::string file = dir.at("item");
  UniqueFd fd(open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  ASSERT_EQ(readFlags(fd.get(), nullptr), 0u);
  int otherBits = inodeFlags(fd.get()) | FS_NOATIME_FL;
  ASSERT_EQ(ioctl(fd.get(), FS_IOC_SETFLAGS, &otherBits), 0);
  uint32_t current = 0;
  for (const uint32_t wanted : {UF_IMMUTABLE | UF_HIDDEN, UF_IMMUTABLE | UF_APPEND | UF_HIDDEN | 0x10000, UF_IMMUTABLE,
                                UF_NODUMP | UF_HIDDEN, 0u}) {
    SCOPED_TRACE(testing::Message() << std::hex << current << " -> " << wanted);
    ASSERT_EQ(writeFlags(fd.get(), current, wanted), 0);
    current = wanted;
    EXPECT_EQ(readFlags(fd.get(), nullptr), wanted);
    const uint32_t stored = wanted & ~(UF_NODUMP | UF_IMMUTABLE | UF_APPEND);
    EXPECT_EQ(fixture::attribute(file, kFlagsAttribute), stored ? word(stored) : "<absent>");
    EXPECT_EQ(inodeFlags(fd.get()) & ~(FS_NODUMP_FL | FS_IMMUTABLE_FL | FS_APPEND_FL), otherBits);
    EXPECT_EQ(UniqueFd(open(file.c_str(), O_WRONLY | O_CLOEXEC)).valid(), (wanted & UF_IMMUTABLE) == 0);
  }
}

// A link has no flags whatever its target; a fifo only has the attribute part
// and is never opened (reading it would block); hiding keeps the rest.
TEST(Flags, ByNameLinksFifosAndMalformedAttributes) {
  fixture::TempDir dir;
  UniqueFd folder(open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd target(openat(folder.get(), "target", O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  ASSERT_EQ(writeFlags(target.get(), 0, UF_IMMUTABLE | UF_NODUMP), 0);
  ASSERT_EQ(symlinkat("target", folder.get(), "link"), 0);
  ASSERT_EQ(symlinkat("nowhere", folder.get(), "dangling"), 0);
  ASSERT_EQ(mkfifoat(folder.get(), "fifo", 0600), 0);
  for (const char* name : {"link", "dangling", "fifo"}) EXPECT_EQ(readFlagsAt(folder.get(), name, nullptr), 0u) << name;
  struct stat linked {};
  EXPECT_EQ(setHiddenAt(folder.get(), "link", 0, &linked), -ELOOP);
  for (const char* name : {"fifo", "target", "target"}) ASSERT_EQ(setHiddenAt(folder.get(), name, 0, &linked), 0) << name;
  EXPECT_EQ(readFlagsAt(folder.get(), "fifo", nullptr), UF_HIDDEN);
  EXPECT_EQ(readFlagsAt(folder.get(), "target", nullptr), UF_IMMUTABLE | UF_NODUMP | UF_HIDDEN);
  int error = 0;
  EXPECT_FALSE(readFlagsAt(folder.get(), "missing", &error));
  EXPECT_EQ(error, -ENOENT);
  EXPECT_EQ(setHiddenAt(folder.get(), "missing", 0, &linked), -ENOENT);
  UniqueFd odd(openat(folder.get(), "odd", O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  ASSERT_EQ(fsetxattr(odd.get(), kFlagsAttribute, "abc", 3, 0), 0);
  EXPECT_FALSE(readFlags(odd.get(), &error));
  EXPECT_EQ(error, -EINVAL);
  // Through a pin the reason is the same: the listings print it.
  struct stat oddStatus {};
  ASSERT_EQ(fstat(odd.get(), &oddStatus), 0);
  error = 0;
  EXPECT_FALSE(readFlagsPinned(odd.get(), oddStatus.st_mode, &error));
  EXPECT_EQ(error, -EINVAL);
  // Kernel bits written into the attribute by someone else do not count.
  ASSERT_EQ(fsetxattr(odd.get(), kFlagsAttribute, word(UF_IMMUTABLE | UF_HIDDEN).data(), 4, 0), 0);
  EXPECT_EQ(readFlags(odd.get(), nullptr), UF_HIDDEN);
}

// Another name of a file that is not the new owner's is never written: it may
// lie outside the home. The new owner's own file is.
TEST(Flags, HidingLeavesSomeoneElsesLinkedFileAlone) {
  fixture::TempDir dir;
  UniqueFd folder(open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd file(openat(folder.get(), "outside", O_RDWR | O_CREAT | O_CLOEXEC, 0660));
  ASSERT_EQ(linkat(folder.get(), "outside", folder.get(), "Library", 0), 0);
  struct stat linked {};
  EXPECT_EQ(setHiddenAt(folder.get(), "Library", 501, &linked), -EMLINK);
  EXPECT_EQ(linked.st_nlink, 2u);
  EXPECT_EQ(readFlagsAt(folder.get(), "outside", nullptr), 0u);
  EXPECT_EQ(setHiddenAt(folder.get(), "Library", 0, &linked), 0);  // root's own file, and root is the owner
  EXPECT_EQ(readFlagsAt(folder.get(), "outside", nullptr), UF_HIDDEN);
}
