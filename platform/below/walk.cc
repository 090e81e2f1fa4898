#include "platform/below/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/flags.h"

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// One folder being read. Levels beyond the descriptor bound are closed, with
// their read position kept, and re-entered from their child through "..".
struct Level {
  std::string name;
  struct stat status {};
  DIR* dir = nullptr;
  long position = 0;
  size_t pathLength = 0;
  bool complete = true;
};

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

void closeLevel(Level& level) {
  if (!level.dir) return;
  level.position = telldir(level.dir);
  closedir(level.dir);
  level.dir = nullptr;
}

// Re-enters a closed level from its open child, refusing a folder that is no
// longer the one the walk left (moved or swapped while closed).
bool reopenLevel(Walk& w, size_t index) {
  Level& level = w.levels[index];
  const int fd = openat(dirfd(w.levels[index + 1].dir), "..", kFolderFlags);
  struct stat now {};
  if (fd < 0 || fstat(fd, &now) != 0 || now.st_dev != level.status.st_dev || now.st_ino != level.status.st_ino) {
    if (fd >= 0) close(fd);
    noteError(w, fd < 0 ? errno : ESTALE, level.pathLength);
    return false;
  }
  level.dir = fdopendir(fd);
  if (!level.dir) {
    close(fd);
    noteError(w, errno, level.pathLength);
    return false;
  }
  seekdir(level.dir, level.position);
  return true;
}

void enforceBound(Walk& w) {
  unsigned open = 0;
  for (const Level& level : w.levels) open += level.dir != nullptr;
  for (size_t i = 1; open > w.maxOpen && i + 1 < w.levels.size(); ++i) {
    if (w.levels[i].dir) {
      closeLevel(w.levels[i]);
      --open;
    }
  }
}

// One call gives both the status and the kernel flags of a folder.
int statFolder(int fd, struct stat* status, std::optional<uint32_t>* kernelFlags) {
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) != 0) return -1;
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
int examine(int parentFd, const dirent* entry, bool examineNonFolders, WalkItem* item, int* error) {
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
      if (statFolder(fd, status, &item->kernelFlags) == 0) return fd;
      *error = errno;
      close(fd);
      return -1;
    }
    if (errno != ENOTDIR && errno != ELOOP) {
      *error = errno;
      return -1;
    }
  }
  if (fstatat(parentFd, entry->d_name, status, AT_SYMLINK_NOFOLLOW) != 0) *error = errno;
  return -1;
}

void leaveLevel(Walk& w) {
  const size_t index = w.levels.size() - 1;
  Level& level = w.levels[index];
  if (!w.levels[index - 1].dir && !reopenLevel(w, index - 1)) {
    w.stopped = true;
  } else if (w.visitor.leave) {
    WalkItem item;
    item.parentFd = dirfd(w.levels[index - 1].dir);
    item.name = level.name.c_str();
    w.path.resize(level.pathLength);
    item.path = &w.path;
    item.rootLength = w.rootLength;
    item.status = level.status;
    item.fd = dirfd(level.dir);
    item.depth = static_cast<unsigned>(index);
    w.visitor.leave(item, level.complete);
  }
  const bool complete = level.complete;
  closedir(level.dir);
  w.levels.pop_back();
  if (!complete) w.levels.back().complete = false;
}

void visitEntry(Walk& w, const dirent* entry) {
  Level& parent = w.levels.back();
  const size_t parentLength = parent.pathLength;
  w.path.resize(parentLength);
  w.path += '/';
  w.path += entry->d_name;
  WalkItem item;
  item.parentFd = dirfd(parent.dir);
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
  child.dir = fdopendir(fd);
  if (!child.dir) {
    close(fd);
    noteError(w, errno, w.path.size());
    parent.complete = false;
    return;
  }
  w.levels.push_back(std::move(child));
  enforceBound(w);
}

}  // namespace

WalkError walkTree(int rootFd, const std::string& rootPath, const WalkVisitor& visitor, unsigned maxOpenFolders) {
  Walk w{visitor, rootPath, rootPath.size(), 0, maxOpenFolders < 2 ? 2 : maxOpenFolders, {}, {}};
  Level root;
  const int fd = fcntl(rootFd, F_DUPFD_CLOEXEC, 3);
  if (fd < 0 || fstat(fd, &root.status) != 0 || !(root.dir = fdopendir(fd))) {
    if (fd >= 0) close(fd);
    w.error = {errno ? errno : EBADF, rootPath};
    return w.error;
  }
  // The duplicate shares the caller's read position: start from the top.
  rewinddir(root.dir);
  w.rootDevice = root.status.st_dev;
  root.pathLength = rootPath.size();
  w.levels.push_back(std::move(root));
  while (!w.levels.empty() && !w.stopped) {
    Level& level = w.levels.back();
    errno = 0;
    const dirent* entry = readdir(level.dir);
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
    if (level.dir) closedir(level.dir);
  }
  return w.error;
}
