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

// Only an empty read ends a listing: the kernel may hand out fewer entries
// than fit (network and user-space file systems do), and more may follow.
long readEntries(int fd, char* buffer) { return syscall(SYS_getdents64, fd, buffer, kListingBuffer); }

bool isDots(const char* name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }

// One folder on the way down. Only what resuming it takes stays for every
// level: where its path ends, the kernel's offset of the entry after the last
// one handed out, and what re-entering it from its child takes.
// Its name is the last component of the walk's path up to `pathLength`. The
// open levels (a bounded number) also hold a descriptor and a listing buffer,
// read straight from the kernel (no stream, so no extra calls to set one up).
// A sorted level is read whole when entered: its names then lie on the walk's
// name stack, and `used` and `next` index that instead of a buffer.
struct Level {
  FolderMark mark;     // device and inode; a handle once closed by the bound
  off64_t resume = 0;
  size_t pathLength = 0;
  Listing listing;     // while open and read from
  uint32_t used = 0;   // bytes of `listing` the last read filled
  uint32_t next = 0;   // where the next entry in it starts
  int fd = -1;
  bool complete = true;
  bool listed = false;  // sorted, and read whole
};

struct Walk {
  const WalkVisitor& visitor;
  std::string path;
  size_t rootLength;
  dev_t rootDevice;
  unsigned maxOpen;
  std::vector<Level> levels{};
  // The root stays open; below it, the open levels are always the deepest
  // ones, from `lowestOpen` down, so the bound is kept by a count.
  size_t lowestOpen = 1;
  unsigned open = 0;
  std::vector<Listing> spare{};  // buffers of closed levels, for the next to read
  // Sorted walks: the names of the levels on the way down, the deepest last,
  // each as its listed type, the name and a NUL. Every level's block in
  // `order` starts with where its names start, then their offsets in order.
  std::string names{};
  std::vector<size_t> order{};
  int folderFlags = kFolderFlags;
  WalkError error{};
  bool stopped = false;
};

void noteError(Walk& w, int error, size_t pathLength) {
  if (w.error.error == 0) {
    w.error.error = error;
    w.error.path = w.path.substr(0, pathLength);
  }
}

// The deepest level's next item that the listing gives: 1 with `name` and
// `type` set, 0 at its end, or -errno.
int nextListed(Walk& w, Level& level, const char** name, unsigned char* type) {
  const Entry* entry = nullptr;
  do {
    if (level.next >= level.used) {
      if (!level.listing) {
        if (w.spare.empty()) {
          level.listing = std::make_unique<char[]>(kListingBuffer);
        } else {
          level.listing = std::move(w.spare.back());
          w.spare.pop_back();
        }
      }
      const long n = readEntries(level.fd, level.listing.get());
      if (n <= 0) return n < 0 ? -errno : 0;
      level.used = static_cast<uint32_t>(n);
      level.next = 0;
    }
    entry = reinterpret_cast<const Entry*>(level.listing.get() + level.next);
    level.next += entry->d_reclen;
    level.resume = entry->d_off;
  } while (isDots(entry->d_name));
  *name = entry->d_name;
  *type = entry->d_type;
  return 1;
}

// Reads the deepest level whole onto the name stack and sorts it; an error
// is noted and what was read before it is still handed out.
void readSorted(Walk& w, Level& level) {
  level.listed = true;
  level.used = static_cast<uint32_t>(w.order.size());
  w.order.push_back(w.names.size());
  const int error = readFolder(level.fd, [&w](const char* name, unsigned char type) {
    w.order.push_back(w.names.size());
    w.names += static_cast<char>(type);
    w.names.append(name, std::strlen(name) + 1);
  });
  level.next = level.used + 1;
  const char* base = w.names.data() + 1;
  std::sort(w.order.begin() + level.next, w.order.end(),
            [base](size_t a, size_t b) { return std::strcmp(base + a, base + b) < 0; });
  if (error) {
    noteError(w, -error, level.pathLength);
    level.complete = false;
  }
}

// The deepest level's next item, in the order the visitor asked for.
int nextName(Walk& w, Level& level, const char** name, unsigned char* type) {
  if (!w.visitor.sorted) return nextListed(w, level, name, type);
  if (!level.listed) readSorted(w, level);
  if (level.next == w.order.size()) return 0;
  const char* entry = w.names.data() + w.order[level.next++];
  *type = static_cast<unsigned char>(entry[0]);
  *name = entry + 1;
  return 1;
}

// What was read ahead is dropped with the buffer; a reopened level reads on
// from `resume`.
void closeLevel(Walk& w, Level& level, bool reentered) {
  if (level.fd < 0) return;
  if (reentered) addHandle(level.fd, &level.mark);
  close(level.fd);
  level.fd = -1;
  --w.open;
  if (level.listed) return;  // its names stay on the name stack
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
  if (!level.listed && lseek64(fd, level.resume, SEEK_SET) < 0) {
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
int examine(const Walk& w, int parentFd, const char* name, unsigned char type, WalkItem* item, int* error) {
  *error = 0;
  struct stat* status = &item->status;
  if (!w.visitor.examineNonFolders && type != DT_DIR && type != DT_UNKNOWN) {
    status->st_mode = DTTOIF(type);
    item->statusKnown = false;
    return -1;
  }
  if (type == DT_DIR || type == DT_UNKNOWN) {
    int fd = openat(parentFd, name, w.folderFlags);
    if (fd < 0 && errno == EPERM && w.folderFlags != kFolderFlags) fd = openat(parentFd, name, kFolderFlags);
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
  if (statItem(parentFd, name, AT_SYMLINK_NOFOLLOW, status, &item->kernelFlags) != 0) *error = errno;
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
  if (level.listed) {
    w.names.resize(w.order[level.used]);
    w.order.resize(level.used);
  }
  w.levels.pop_back();
  w.lowestOpen = std::min(w.lowestOpen, w.levels.size());
  if (!complete) w.levels.back().complete = false;
}

void visitEntry(Walk& w, const char* name, unsigned char type) {
  Level& parent = w.levels.back();
  w.path.resize(parent.pathLength);
  w.path += '/';
  w.path += name;
  WalkItem item;
  item.parentFd = parent.fd;
  item.name = name;
  item.path = &w.path;
  item.rootLength = w.rootLength;
  item.depth = static_cast<unsigned>(w.levels.size());
  int error = 0;
  const int fd = examine(w, item.parentFd, name, type, &item, &error);
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
  w.levels.push_back(std::move(child));  // `parent` and `name` are not used past here
  ++w.open;
  enforceBound(w);
}

}  // namespace

WalkError walkTree(int rootFd, const std::string& rootPath, const WalkVisitor& visitor, unsigned maxOpenFolders) {
  Walk w{.visitor = visitor, .path = rootPath, .rootLength = rootPath.size(),
         .rootDevice = 0, .maxOpen = maxOpenFolders < 2 ? 2 : maxOpenFolders};
  if (visitor.keepAccessTimes) w.folderFlags |= O_NOATIME;
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
    const char* name = nullptr;
    unsigned char type = DT_UNKNOWN;
    const int got = nextName(w, level, &name, &type);
    if (got > 0) {
      visitEntry(w, name, type);
      continue;
    }
    if (got < 0) {
      noteError(w, -got, level.pathLength);
      level.complete = false;
    }
    if (w.levels.size() == 1) break;
    leaveLevel(w);
  }
  for (Level& level : w.levels) {
    if (level.fd >= 0) close(level.fd);
  }
  return w.error;
}

int readFolder(int fd, const std::function<void(const char* name, unsigned char type)>& take) {
  alignas(Entry) char buffer[kListingBuffer];
  for (;;) {
    const long n = readEntries(fd, buffer);
    if (n <= 0) return n < 0 ? -errno : 0;
    for (long at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const Entry*>(buffer + at);
      at += entry->d_reclen;
      if (!isDots(entry->d_name)) take(entry->d_name, entry->d_type);
    }
  }
}
