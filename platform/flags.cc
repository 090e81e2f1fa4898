#include "platform/flags.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/below/pin.h"
#include "platform/bytes.h"
#include "platform/fd.h"
#include "platform/xattr.h"

namespace {

struct FlagBit {
  uint32_t bsd;
  int inode;
};
constexpr FlagBit kFlagBits[] = {
    {UF_NODUMP, FS_NODUMP_FL}, {UF_IMMUTABLE, FS_IMMUTABLE_FL}, {UF_APPEND, FS_APPEND_FL}};

uint32_t bsdFromInode(int inode) {
  uint32_t bsd = 0;
  for (const FlagBit& bit : kFlagBits) {
    if (inode & bit.inode) bsd |= bit.bsd;
  }
  return bsd;
}

int inodeFromBsd(uint32_t bsd) {
  int inode = 0;
  for (const FlagBit& bit : kFlagBits) {
    if (bsd & bit.bsd) inode |= bit.inode;
  }
  return inode;
}

// A file system without inode flags simply has none set.
bool noInodeFlags(int error) { return error == ENOTTY || error == EOPNOTSUPP || error == EINVAL; }

std::optional<uint32_t> readKernelPart(int fd, int* error) {
  int inode = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &inode) < 0) {
    if (noInodeFlags(errno)) return 0;
    *error = -errno;
    return std::nullopt;
  }
  return bsdFromInode(inode);
}

std::optional<uint32_t> readAttributePart(int fd, int* error) {
  int readError = 0;
  const std::optional<std::string> value = getAttribute(fd, kFlagsAttribute, &readError);
  if (!value) {
    if (readError == -ENODATA || readError == -EOPNOTSUPP) return 0;
    *error = readError;
    return std::nullopt;
  }
  if (value->size() != 4) {
    *error = -EINVAL;
    return std::nullopt;
  }
  return readLittleEndian32(*value, 0) & ~kKernelFlags;
}

int writeAttributePart(int fd, uint32_t part) {
  if (part == 0) return removeAttribute(fd, kFlagsAttribute);
  std::string value;
  appendLittleEndian32(value, part);
  return setAttribute(fd, kFlagsAttribute, value);
}

}  // namespace

// The inode's other bits (extents, inline data and the like) stay as they are.
int writeKernelFlags(int fd, uint32_t bsd) {
  int inode = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &inode) < 0) return -errno;
  int wanted = inode & ~inodeFromBsd(kKernelFlags);
  wanted |= inodeFromBsd(bsd);
  if (wanted == inode) return 0;
  return ioctl(fd, FS_IOC_SETFLAGS, &wanted) < 0 ? -errno : 0;
}

std::optional<uint32_t> kernelFlagsOf(const struct statx& status) {
  constexpr uint64_t kReported = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND | STATX_ATTR_NODUMP;
  if ((status.stx_attributes_mask & kReported) != kReported) return std::nullopt;
  uint32_t flags = 0;
  if (status.stx_attributes & STATX_ATTR_IMMUTABLE) flags |= UF_IMMUTABLE;
  if (status.stx_attributes & STATX_ATTR_APPEND) flags |= UF_APPEND;
  if (status.stx_attributes & STATX_ATTR_NODUMP) flags |= UF_NODUMP;
  return flags;
}

std::optional<uint32_t> readFlags(int fd, int* error) {
  int failed = 0;
  const std::optional<uint32_t> kernel = readKernelPart(fd, &failed);
  const std::optional<uint32_t> attribute = kernel ? readAttributePart(fd, &failed) : std::nullopt;
  if (!attribute) {
    if (error) *error = failed;
    return std::nullopt;
  }
  return *kernel | *attribute;
}

// While the item is immutable or append-only its attributes are frozen, so a
// change of the attribute part first lifts those bits; the kernel part then
// reaches what is wanted. Clearing immutability thus writes the kernel first,
// setting it writes the kernel last, and an item that stays immutable is
// unfrozen only for the attribute write.
int writeFlags(int fd, uint32_t current, uint32_t wanted) {
  uint32_t kernelNow = current & kKernelFlags;
  const uint32_t kernelWanted = wanted & kKernelFlags;
  const bool attributeChanges = (current & ~kKernelFlags) != (wanted & ~kKernelFlags);
  if (attributeChanges && (kernelNow & kFreezingFlags)) {
    const uint32_t lifted = kernelWanted & ~kFreezingFlags;
    if (const int error = writeKernelFlags(fd, lifted)) return error;
    kernelNow = lifted;
  }
  if (attributeChanges) {
    if (const int error = writeAttributePart(fd, wanted & ~kKernelFlags)) return error;
  }
  if (kernelNow != kernelWanted) return writeKernelFlags(fd, kernelWanted);
  return 0;
}

std::optional<uint32_t> readFlagsPinned(int pinnedFd, mode_t mode, int* error) {
  if (S_ISLNK(mode)) return 0;
  if (!S_ISREG(mode) && !S_ISDIR(mode)) {
    int failed = 0;
    const std::optional<uint32_t> part = readAttributePart(pinnedFd, &failed);
    if (!part && error) *error = failed;
    return part;
  }
  const int fd = reopenPinned(pinnedFd, O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    if (error) *error = fd;
    return std::nullopt;
  }
  UniqueFd item(fd);
  return readFlags(item.get(), error);
}

std::optional<uint32_t> readFlagsAt(int dirFd, const char* name, int* error) {
  struct stat status {};
  const int fd = pinAt(dirFd, name, &status);
  if (fd < 0) {
    if (error) *error = fd;
    return std::nullopt;
  }
  UniqueFd pin(fd);
  return readFlagsPinned(pin.get(), status.st_mode, error);
}

int setHiddenAt(int dirFd, const char* name, uid_t owner, struct stat* leftAlone) {
  struct stat status {};
  const int fd = pinAt(dirFd, name, &status);
  if (fd < 0) return fd;
  UniqueFd pin(fd);
  if (S_ISLNK(status.st_mode)) return -ELOOP;
  if (leftAloneForLinks(status, owner)) {
    *leftAlone = status;
    return -EMLINK;
  }
  UniqueFd item;
  if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) {
    const int opened = reopenPinned(pin.get(), O_RDONLY | O_NONBLOCK);
    if (opened < 0) return opened;
    item.reset(opened);
  }
  const int target = item.valid() ? item.get() : pin.get();
  int error = 0;
  const std::optional<uint32_t> current =
      item.valid() ? readFlags(target, &error) : readFlagsPinned(target, status.st_mode, &error);
  if (!current) return error;
  if (*current & UF_HIDDEN) return 0;
  if (!item.valid()) return writeAttributePart(target, (*current | UF_HIDDEN) & ~kKernelFlags);
  return writeFlags(target, *current, *current | UF_HIDDEN);
}

std::string flagNames(uint32_t flags) {
  struct Named {
    uint32_t bit;
    const char* name;
  };
  static constexpr Named kNames[] = {
      {UF_NODUMP, "nodump"}, {UF_IMMUTABLE, "uchg"}, {UF_APPEND, "uappnd"}, {UF_HIDDEN, "hidden"}};
  std::string text;
  uint32_t rest = flags;
  for (const Named& named : kNames) {
    if (!(rest & named.bit)) continue;
    text += text.empty() ? "" : ",";
    text += named.name;
    rest &= ~named.bit;
  }
  if (rest) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", rest);
    text += text.empty() ? "" : ",";
    text += hex;
  }
  return text.empty() ? "-" : text;
}
