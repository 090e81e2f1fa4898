#include "platform/below/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/below/reenter.h"
#include "platform/flags.h"

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

constexpr size_t kListingBuffer = 16384;

// One entry as the kernel lists it.
struct Entry {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

using Listing = std::unique_ptr<char[]>;

// One folder on the way down. Only what resuming it takes stays for every
// level: where its path ends, the kernel's offset of the entry after the last
// one handed out, and what re-entering it from its child takes.
// Its name is the last component of the walk's path up to `pathLength`. The
// open levels (a bounded number) also hold a descriptor and a listing buffer,
// read straight from the kernel (no stream, so no extra calls to set one up).
struct Level {
  FolderMark mark;     // device and inode; a handle once closed by the bound
  off64_t resume = 0;
  size_t pathLength = 0;
  Listing listing;     // while open and read from
  uint32_t used = 0;   // bytes of `listing` the last read filled
  uint32_t next = 0;   // where the next entry in it starts
  int fd = -1;
  bool complete = true;
};

struct Walk {
  const WalkVisitor& visitor;
  std::string path;
  size_t rootLength;
  dev_t rootDevice;
  unsigned maxOpen;
  std::vector<Level> levels;
  // The root stays open; below it, the open levels are always the deepest
  // ones, from `lowestOpen` down, so the bound is kept by a count.
  size_t lowestOpen = 1;
  unsigned open = 0;
  std::vector<Listing> spare;  // buffers of closed levels, for the next to read
  WalkError error;
  bool stopped = false;
};

void noteError(Walk& w, int error, size_t pathLength) {
  if (w.error.error == 0) {
    w.error.error = error;
    w.error.path = w.path.substr(0, pathLength);
  }
}

// The next entry of the level, or null at its end (errno set on a failure).
// Only an empty read ends a listing: the kernel may hand out fewer entries
// than fit (network and user-space file systems do), and more may follow.
const Entry* nextEntry(Walk& w, Level& level) {
  if (level.next >= level.used) {
    if (!level.listing) {
      if (w.spare.empty()) {
        level.listing = std::make_unique<char[]>(kListingBuffer);
      } else {
        level.listing = std::move(w.spare.back());
        w.spare.pop_back();
      }
    }
    const long n = syscall(SYS_getdents64, level.fd, level.listing.get(), kListingBuffer);
    if (n <= 0) return nullptr;
    level.used = static_cast<uint32_t>(n);
    level.next = 0;
  }
  const auto* entry = reinterpret_cast<const Entry*>(level.listing.get() + level.next);
  level.next += entry->d_reclen;
  level.resume = entry->d_off;
  return entry;
}

// What was read ahead is dropped with the buffer; a reopened level reads on
// from `resume`.
void closeLevel(Walk& w, Level& level, bool reentered) {
  if (level.fd < 0) return;
  if (reentered) addHandle(level.fd, &level.mark);
  close(level.fd);
  level.fd = -1;
  --w.open;
  level.used = level.next = 0;
  if (level.listing) w.spare.push_back(std::move(level.listing));
}

// Re-enters a closed level from its open child, refusing a folder that is no
// longer the one the walk left, or that the child no longer stands in (moved
// or swapped while closed). The walk's path ends at the child.
bool reopenLevel(Walk& w, size_t index) {
  Level& level = w.levels[index];
  const Level& child = w.levels[index + 1];
  const int fd = reenterFolder(level.mark, child.fd, w.path.c_str() + level.pathLength + 1, child.mark);
  if (fd < 0) {
    noteError(w, -fd, level.pathLength);
    return false;
  }
  if (lseek64(fd, level.resume, SEEK_SET) < 0) {
    noteError(w, errno, level.pathLength);
    close(fd);
    return false;
  }
  level.fd = fd;
  ++w.open;
  w.lowestOpen = index;
  return true;
}

// The shallowest open level below the root goes first; never the deepest,
// which is being read.
void enforceBound(Walk& w) {
  while (w.open > w.maxOpen && w.lowestOpen + 1 < w.levels.size()) closeLevel(w, w.levels[w.lowestOpen++], true);
}

// One call gives both the status and the kernel flags of an item.
int statItem(int dirFd, const char* name, int flags, struct stat* status, std::optional<uint32_t>* kernelFlags) {
  struct statx sx {};
  if (statx(dirFd, name, flags, STATX_BASIC_STATS, &sx) != 0) return -1;
  *status = {};
  status->st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  status->st_ino = sx.stx_ino;
  status->st_mode = sx.stx_mode;
  status->st_nlink = sx.stx_nlink;
  status->st_uid = sx.stx_uid;
  status->st_gid = sx.stx_gid;
  status->st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
  status->st_size = static_cast<off_t>(sx.stx_size);
  status->st_atim = {sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
  status->st_mtim = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
  status->st_ctim = {sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
  *kernelFlags = kernelFlagsOf(sx);
  return 0;
}

// Reaches the item without following a link: folders are opened and checked
// through their descriptor, everything else is examined by name. Returns the
// pinned folder's descriptor, or -1 with `*error` set (0 when examined).
int examine(int parentFd, const Entry* entry, bool examineNonFolders, WalkItem* item, int* error) {
  *error = 0;
  struct stat* status = &item->status;
  if (!examineNonFolders && entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) {
    status->st_mode = DTTOIF(entry->d_type);
    item->statusKnown = false;
    return -1;
  }
  if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
    const int fd = openat(parentFd, entry->d_name, kFolderFlags);
    if (fd >= 0) {
      if (statItem(fd, "", AT_EMPTY_PATH, status, &item->kernelFlags) == 0) return fd;
      *error = errno;
      close(fd);
      return -1;
    }
    if (errno != ENOTDIR && errno != ELOOP) {
      *error = errno;
      return -1;
    }
  }
  if (statItem(parentFd, entry->d_name, AT_SYMLINK_NOFOLLOW, status, &item->kernelFlags) != 0) *error = errno;
  return -1;
}

// The folder's status is read again when it is left: after its contents, so
// no level has to keep one on the way down.
void leaveLevel(Walk& w) {
  const size_t index = w.levels.size() - 1;
  Level& level = w.levels[index];
  const size_t parentLength = w.levels[index - 1].pathLength;
  w.path.resize(level.pathLength);
  if (w.levels[index - 1].fd < 0 && !reopenLevel(w, index - 1)) {
    w.stopped = true;
  } else if (w.visitor.leave) {
    WalkItem item;
    item.parentFd = w.levels[index - 1].fd;
    item.name = w.path.c_str() + parentLength + 1;
    item.path = &w.path;
    item.rootLength = w.rootLength;
    if (statItem(level.fd, "", AT_EMPTY_PATH, &item.status, &item.kernelFlags) != 0) {
      item.status.st_dev = level.mark.device;
      item.status.st_ino = level.mark.inode;
      item.status.st_mode = S_IFDIR;
      item.statusKnown = false;
    }
    item.fd = level.fd;
    item.depth = static_cast<unsigned>(index);
    w.visitor.leave(item, level.complete);
  }
  const bool complete = level.complete;
  closeLevel(w, level, false);
  w.levels.pop_back();
  w.lowestOpen = std::min(w.lowestOpen, w.levels.size());
  if (!complete) w.levels.back().complete = false;
}

void visitEntry(Walk& w, const Entry* entry) {
  Level& parent = w.levels.back();
  w.path.resize(parent.pathLength);
  w.path += '/';
  w.path += entry->d_name;
  WalkItem item;
  item.parentFd = parent.fd;
  item.name = entry->d_name;
  item.path = &w.path;
  item.rootLength = w.rootLength;
  item.depth = static_cast<unsigned>(w.levels.size());
  int error = 0;
  const int fd = examine(item.parentFd, entry, w.visitor.examineNonFolders, &item, &error);
  if (error == ENOENT) return;  // gone since it was listed
  if (error != 0) {
    noteError(w, error, w.path.size());
    parent.complete = false;
    return;
  }
  item.fd = fd;
  const WalkStep step = w.visitor.enter(item);
  const bool sameDevice = w.visitor.crossDevices || item.status.st_dev == w.rootDevice;
  const bool descend = fd >= 0 && step == WalkStep::Descend && sameDevice;
  if (step == WalkStep::Stop) w.stopped = true;
  if (!descend || w.stopped) {
    if (fd >= 0) close(fd);
    return;
  }
  Level child;
  child.mark = plainMark(item.status);
  child.pathLength = w.path.size();
  child.fd = fd;
  w.levels.push_back(std::move(child));  // `parent` and `entry` are not used past here
  ++w.open;
  enforceBound(w);
}

}  // namespace

WalkError walkTree(int rootFd, const std::string& rootPath, const WalkVisitor& visitor, unsigned maxOpenFolders) {
  Walk w{visitor, rootPath, rootPath.size(), 0, maxOpenFolders < 2 ? 2 : maxOpenFolders, {}, 1, 0, {}, {}, false};
  Level root;
  root.fd = fcntl(rootFd, F_DUPFD_CLOEXEC, 3);
  // The duplicate shares the caller's read position: start from the top.
  int error = 0;
  struct stat status {};
  if (root.fd < 0 || fstat(root.fd, &status) != 0) {
    error = errno;
  } else if (!S_ISDIR(status.st_mode)) {
    error = ENOTDIR;
  } else if (lseek64(root.fd, 0, SEEK_SET) < 0) {
    error = errno;
  }
  if (error) {
    if (root.fd >= 0) close(root.fd);
    w.error = {error, rootPath};
    return w.error;
  }
  w.rootDevice = status.st_dev;
  root.mark = plainMark(status);
  root.pathLength = rootPath.size();
  w.levels.push_back(std::move(root));
  w.open = 1;
  while (!w.levels.empty() && !w.stopped) {
    Level& level = w.levels.back();
    errno = 0;
    const Entry* entry = nextEntry(w, level);
    if (!entry) {
      if (errno != 0) {
        noteError(w, errno, level.pathLength);
        level.complete = false;
      }
      if (w.levels.size() == 1) break;
      leaveLevel(w);
      continue;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    visitEntry(w, entry);
  }
  for (Level& level : w.levels) {
    if (level.fd >= 0) close(level.fd);
  }
  return w.error;
}
