#include "platform/below/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/flags.h"

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

constexpr size_t kListingBuffer = 16384;
constexpr size_t kLongestEntry = 8 + 8 + 2 + 1 + 256 + 5;  // header, name, terminator, alignment

// One entry as the kernel lists it.
struct Entry {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

// One folder being read, straight from the kernel's listing into a buffer of
// its own (no stream, so no extra calls to set one up). Levels beyond the
// descriptor bound are closed, with the offset of their next entry kept, and
// re-entered from their child through "..".
struct Level {
  std::string name;
  struct stat status {};
  int fd = -1;
  std::vector<char> listing;
  size_t used = 0;       // bytes of `listing` the last read filled
  size_t next = 0;       // where the next entry in it starts
  off64_t resume = 0;    // the kernel's offset of the entry after the last one handed out
  bool ended = false;    // the last read showed the end of the listing
  size_t pathLength = 0;
  bool complete = true;
};

// The next entry of the level, or null at its end (errno set on a failure).
const Entry* nextEntry(Level& level) {
  if (level.next >= level.used) {
    if (level.ended) return nullptr;
    if (level.listing.empty()) level.listing.resize(kListingBuffer);
    const long n = syscall(SYS_getdents64, level.fd, level.listing.data(), level.listing.size());
    if (n <= 0) return nullptr;
    level.used = static_cast<size_t>(n);
    level.next = 0;
    // The kernel fills the buffer while the next entry fits; room left for
    // the longest one means the listing has ended, and asking again would
    // only say so.
    level.ended = level.listing.size() - level.used >= kLongestEntry;
  }
  const auto* entry = reinterpret_cast<const Entry*>(level.listing.data() + level.next);
  level.next += entry->d_reclen;
  level.resume = entry->d_off;
  return entry;
}

struct Walk {
  const WalkVisitor& visitor;
  std::string path;
  size_t rootLength;
  dev_t rootDevice;
  unsigned maxOpen;
  std::vector<Level> levels;
  WalkError error;
  bool stopped = false;
};

void noteError(Walk& w, int error, size_t pathLength) {
  if (w.error.error == 0) {
    w.error.error = error;
    w.error.path = w.path.substr(0, pathLength);
  }
}

// What was read ahead is dropped; a reopened level reads on from `resume`.
void closeLevel(Level& level) {
  if (level.fd < 0) return;
  close(level.fd);
  level.fd = -1;
  level.used = level.next = 0;
  level.ended = false;
}

// Re-enters a closed level from its open child, refusing a folder that is no
// longer the one the walk left (moved or swapped while closed).
bool reopenLevel(Walk& w, size_t index) {
  Level& level = w.levels[index];
  const int fd = openat(w.levels[index + 1].fd, "..", kFolderFlags);
  struct stat now {};
  if (fd < 0 || fstat(fd, &now) != 0 || now.st_dev != level.status.st_dev || now.st_ino != level.status.st_ino) {
    if (fd >= 0) close(fd);
    noteError(w, fd < 0 ? errno : ESTALE, level.pathLength);
    return false;
  }
  if (lseek64(fd, level.resume, SEEK_SET) < 0) {
    noteError(w, errno, level.pathLength);
    close(fd);
    return false;
  }
  level.fd = fd;
  return true;
}

void enforceBound(Walk& w) {
  unsigned open = 0;
  for (const Level& level : w.levels) open += level.fd >= 0;
  for (size_t i = 1; open > w.maxOpen && i + 1 < w.levels.size(); ++i) {
    if (w.levels[i].fd >= 0) {
      closeLevel(w.levels[i]);
      --open;
    }
  }
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

void leaveLevel(Walk& w) {
  const size_t index = w.levels.size() - 1;
  Level& level = w.levels[index];
  if (w.levels[index - 1].fd < 0 && !reopenLevel(w, index - 1)) {
    w.stopped = true;
  } else if (w.visitor.leave) {
    WalkItem item;
    item.parentFd = w.levels[index - 1].fd;
    item.name = level.name.c_str();
    w.path.resize(level.pathLength);
    item.path = &w.path;
    item.rootLength = w.rootLength;
    item.status = level.status;
    item.fd = level.fd;
    item.depth = static_cast<unsigned>(index);
    w.visitor.leave(item, level.complete);
  }
  const bool complete = level.complete;
  close(level.fd);
  w.levels.pop_back();
  if (!complete) w.levels.back().complete = false;
}

void visitEntry(Walk& w, const Entry* entry) {
  Level& parent = w.levels.back();
  const size_t parentLength = parent.pathLength;
  w.path.resize(parentLength);
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
  child.name = entry->d_name;
  child.status = item.status;
  child.pathLength = w.path.size();
  child.fd = fd;
  w.levels.push_back(std::move(child));
  enforceBound(w);
}

}  // namespace

WalkError walkTree(int rootFd, const std::string& rootPath, const WalkVisitor& visitor, unsigned maxOpenFolders) {
  Walk w{visitor, rootPath, rootPath.size(), 0, maxOpenFolders < 2 ? 2 : maxOpenFolders, {}, {}};
  Level root;
  root.fd = fcntl(rootFd, F_DUPFD_CLOEXEC, 3);
  // The duplicate shares the caller's read position: start from the top.
  int error = 0;
  if (root.fd < 0 || fstat(root.fd, &root.status) != 0) {
    error = errno;
  } else if (!S_ISDIR(root.status.st_mode)) {
    error = ENOTDIR;
  } else if (lseek64(root.fd, 0, SEEK_SET) < 0) {
    error = errno;
  }
  if (error) {
    if (root.fd >= 0) close(root.fd);
    w.error = {error, rootPath};
    return w.error;
  }
  w.rootDevice = root.status.st_dev;
  root.pathLength = rootPath.size();
  w.levels.push_back(std::move(root));
  while (!w.levels.empty() && !w.stopped) {
    Level& level = w.levels.back();
    errno = 0;
    const Entry* entry = nextEntry(level);
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
