// Tree copier: `mirra [-rsrcFork] SOURCE DESTINATION`.
//
// Every item inside SOURCE comes to stand, under the same name, inside the
// existing folder DESTINATION. Folders merge, and one already there keeps its
// own owner, mode, times, flags and attributes; anything else replaces what
// stands there, except that a folder in DESTINATION is never replaced by a
// non-folder (it is left alone and the copy fails). Modes, owners, access and
// modification times, flags and every extended attribute (the resource fork
// is one) come along; links are copied as links; hard links are not kept.
//
// The copy runs as root into folders a user may own, so DESTINATION is only
// ever reached from open folder descriptors, and nothing in it is followed: a
// link there is replaced like a file. Replacing means unlink then create: an
// item is copied straight to its final name, which costs no rename in the
// common case of an empty destination, at the price of a moment in which the
// name is missing while an item is replaced.
//
// A new folder stays 0700 and a new file keeps its final mode from creation;
// owner, mode, times and the kernel flags (immutable last) are set once the
// contents are in, a folder's after everything inside it.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/program_info.h"
#include "platform/admin/trusted.h"
#include "platform/below/pin.h"
#include "platform/below/reenter.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/text.h"
#include "platform/xattr.h"

namespace {

constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_ATIME |
                                STATX_MTIME | STATX_SIZE | STATX_INO;

// Owns the source folder's stream (and with it the folder's descriptor).
struct DirStream {
  DIR* dir = nullptr;
  DirStream() = default;
  explicit DirStream(DIR* d) : dir(d) {}
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;
  DirStream(DirStream&& other) noexcept : dir(other.dir) { other.dir = nullptr; }
  DirStream& operator=(DirStream&& other) noexcept {
    if (this != &other) {
      if (dir) closedir(dir);
      dir = other.dir;
      other.dir = nullptr;
    }
    return *this;
  }
  ~DirStream() {
    if (dir) closedir(dir);
  }
  int fd() const { return dirfd(dir); }
};

struct Context {
  std::string destinationText;  // DESTINATION as given, for messages
  dev_t destinationDevice = 0;
  ino_t destinationInode = 0;
  uid_t euid = 0;
  gid_t egid = 0;
  bool failed = false;
  std::vector<char> buffer;  // data, when the kernel cannot copy by itself
  std::string relative;      // of the deepest folder being copied
  // The open levels below the root are always the deepest ones, from
  // `lowestOpen` down, so the bound is kept by a count.
  size_t lowestOpen = 1;
  size_t open = 1;
};

// What a new item in a destination folder starts as.
struct Birth {
  uid_t owner = 0;
  gid_t group = 0;          // the folder's group when it is set-group-id
  bool setgid = false;      // new folders inherit the bit
  uint32_t inherited = 0;   // kernel flags new items may inherit (nodump)
};

// A folder's path below the roots, for messages: a stretch of the one path
// the copy shares among its levels (each level's is a prefix of the
// deepest's), so memory grows with the depth only linearly.
struct RelativeText {
  const std::string* shared = nullptr;
  size_t length = 0;
  bool empty() const { return length == 0; }
  operator std::string() const { return shared ? shared->substr(0, length) : std::string(); }
};

// One folder being copied: the source being read and its counterpart.
struct Folder {
  DirStream source;
  UniqueFd destination;
  struct statx status {};   // the source folder
  uid_t owner = 0;          // what the destination folder has now
  gid_t group = 0;
  mode_t mode = 0;
  uint32_t kernelFlags = 0;
  uint32_t keptFlags = 0;   // a merged folder's own kernel flags, put back at the end
  bool merged = false;      // the destination folder was there before
  struct stat there {};     // the destination folder, to know it again when reopened
  long position = 0;        // where reading the source goes on after a close
  Birth birth;
  RelativeText relative;
  size_t nameStart = 0;     // of the folder's own name in the shared path
  FolderMark sourceMark;    // what re-entering each side takes, once closed
  FolderMark destinationMark;
};

// The item being copied, as read from SOURCE.
struct Item {
  UniqueFd fd;  // regular files and folders only
  struct statx status {};
};

std::string relativeOf(const Folder& folder, const char* name) {
  return folder.relative.empty() ? std::string(name) : std::string(folder.relative) + "/" + name;
}

// Paths in messages are escaped: a name from a home must not steer the
// administrator's terminal or pass for a line of its own.
void report(Context& cx, const std::string& relative, const char* what, int error) {
  const std::string text = relative.empty() ? cx.destinationText : cx.destinationText + "/" + relative;
  std::fprintf(stderr, "mirra: %s: %s: %s\n", printable(text).c_str(), what, std::strerror(error));
  cx.failed = true;
}

struct timespec toTimespec(const struct statx_timestamp& t) {
  struct timespec value {};
  value.tv_sec = t.tv_sec;
  value.tv_nsec = t.tv_nsec;
  return value;
}

// The kernel flags the source item carries. statx reports them for free on
// the usual file systems; otherwise they are asked of the open item.
uint32_t kernelFlagsOf(const struct statx& status, int fd) {
  if (const std::optional<uint32_t> reported = kernelFlagsOf(status)) return *reported;
  const std::optional<uint32_t> flags = fd >= 0 ? readFlags(fd) : std::nullopt;
  return flags ? *flags & kKernelFlags : 0;
}

int statxFd(int fd, struct statx* status) {
  return statx(fd, "", AT_EMPTY_PATH, kStatxMask, status) < 0 ? errno : 0;
}

// Reads the source item without following a link; regular files and folders
// are opened (a regular file without blocking, should it have become a fifo).
int readItem(int dirFd, const dirent* entry, Item* item) {
  const bool folder = entry->d_type == DT_DIR;
  if (entry->d_type != DT_REG && !folder) {
    if (statx(dirFd, entry->d_name, AT_SYMLINK_NOFOLLOW, kStatxMask, &item->status) < 0) return errno;
    const mode_t type = item->status.stx_mode & S_IFMT;
    if (type != S_IFREG && type != S_IFDIR) return 0;
  }
  // Reading the template leaves its access times alone where allowed.
  const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  item->fd.reset(openat(dirFd, entry->d_name, flags | O_NOATIME));
  if (!item->fd.valid() && errno == EPERM) item->fd.reset(openat(dirFd, entry->d_name, flags));
  if (!item->fd.valid()) return errno;
  return statxFd(item->fd.get(), &item->status);
}

// Creates `name` in `dirFd` through `create` (which returns 0 or an error
// number). Whatever stands there already is removed first, unless it is a
// folder, which is left alone (EISDIR).
template <typename Create>
int placeItem(int dirFd, const char* name, Create create) {
  const int error = create();
  if (error != EEXIST) return error;
  struct stat there {};
  if (fstatat(dirFd, name, &there, AT_SYMLINK_NOFOLLOW) < 0) return errno;
  if (S_ISDIR(there.st_mode)) return EISDIR;
  if (unlinkat(dirFd, name, 0) < 0) return errno;
  return create();
}

int copyByReading(int in, int out, std::vector<char>& buffer) {
  if (buffer.empty()) buffer.resize(1 << 17);
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    for (ssize_t done = 0; done < n;) {
      const ssize_t written = write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (written < 0 && errno != EINTR) return errno;
      done += written < 0 ? 0 : written;
    }
  }
}

// The kernel copies in place when it can; across file systems that refuse
// it, the data goes through the buffer.
int copyData(int in, int out, uint64_t size, std::vector<char>& buffer) {
  uint64_t done = 0;
  while (done < size) {
    const ssize_t n = copy_file_range(in, nullptr, out, nullptr, size - done, 0);
    if (n < 0) {
      const bool unsupported = errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS;
      if (done == 0 && unsupported) return copyByReading(in, out, buffer);
      return errno;
    }
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  return 0;
}

// Gives `to` every attribute of `from`.
int copyAttributes(int from, int to) {
  int error = 0;
  const std::optional<std::vector<std::string>> names = listAttributes(from, &error);
  if (!names) return error;
  for (const std::string& name : *names) {
    const std::optional<std::string> value = getAttribute(from, name.c_str(), &error);
    if (!value) return error;
    if ((error = setAttribute(to, name.c_str(), *value))) return error;
  }
  return 0;
}

// Owner, then mode (a change of owner drops the set-id bits), then times,
// then the kernel flags, immutability last of all.
int finishOpenItem(int fd, const struct statx& status, uid_t owner, gid_t group, mode_t mode,
                   uint32_t kernelNow, uint32_t kernelWanted) {
  const bool chown = status.stx_uid != owner || status.stx_gid != group;
  if (chown && fchown(fd, status.stx_uid, status.stx_gid) < 0) return errno;
  const mode_t wanted = status.stx_mode & 07777;
  if ((chown && (wanted & 07000)) || wanted != mode) {
    if (fchmod(fd, wanted) < 0) return errno;
  }
  const struct timespec times[2] = {toTimespec(status.stx_atime), toTimespec(status.stx_mtime)};
  if (futimens(fd, times) < 0) return errno;
  // What the item has now is known only as a guess when it may have inherited
  // a flag, so any flag at all is settled against the item itself.
  if (kernelNow | kernelWanted) return writeKernelFlags(fd, kernelWanted);
  return 0;
}

void copyFile(Context& cx, const Folder& folder, const char* name, const Item& item) {
  const int dirFd = folder.destination.get();
  const mode_t mode = item.status.stx_mode & 0777;
  UniqueFd out;
  int error = placeItem(dirFd, name, [&] {
    out.reset(openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    return out.valid() ? 0 : errno;
  });
  if (error == EISDIR) return report(cx, relativeOf(folder, name), "a folder stands there; left alone", EEXIST);
  if (error) return report(cx, relativeOf(folder, name), "cannot create", error);
  if ((error = copyData(item.fd.get(), out.get(), item.status.stx_size, cx.buffer))) {
    return report(cx, relativeOf(folder, name), "cannot copy data", error);
  }
  if ((error = copyAttributes(item.fd.get(), out.get()))) {
    return report(cx, relativeOf(folder, name), "cannot copy extended attributes", error);
  }
  const uint32_t wanted = kernelFlagsOf(item.status, item.fd.get());
  const uint32_t now = folder.birth.inherited;
  if ((error = finishOpenItem(out.get(), item.status, folder.birth.owner, folder.birth.group, mode, now, wanted))) {
    report(cx, relativeOf(folder, name), "cannot set attributes", error);
  }
}

// Links and special files have no descriptor of their own to write through;
// the one just made is pinned, never followed, and changed only through the
// pin. Someone who swapped it meanwhile for another name of a file they do
// not own (which may lie outside the home) finds that file left alone.
int finishPinnedItem(int dirFd, const char* name, int sourceDir, const char* sourceName,
                     const struct statx& status, const Birth& birth) {
  struct stat made {};
  const int to = pinAt(dirFd, name, &made);
  if (to < 0) return -to;
  UniqueFd pin(to);
  if (leftAloneForLinks(made, status.stx_uid)) return EMLINK;
  if (status.stx_uid != birth.owner || status.stx_gid != birth.group) {
    if (const int failed = changeOwnerPinned(pin.get(), status.stx_uid, status.stx_gid)) return failed;
  }
  struct stat pinned {};
  const int from = pinAt(sourceDir, sourceName, &pinned);
  if (from < 0) return -from;
  UniqueFd sourcePin(from);
  int error = 0;
  const std::optional<std::vector<std::string>> names = listAttributes(sourcePin.get(), &error);
  if (!names) return error;
  if (!names->empty() && (error = copyAttributes(sourcePin.get(), pin.get()))) return error;
  const struct timespec times[2] = {toTimespec(status.stx_atime), toTimespec(status.stx_mtime)};
  return utimensat(pin.get(), "", times, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) < 0 ? errno : 0;
}

void copyOther(Context& cx, const Folder& folder, const char* name, const Item& item) {
  const int dirFd = folder.destination.get();
  const int sourceDir = folder.source.fd();
  const mode_t type = item.status.stx_mode & S_IFMT;
  std::string target;
  if (type == S_IFLNK) {
    target.resize(PATH_MAX + 1);
    const ssize_t n = readlinkat(sourceDir, name, target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) == target.size()) {
      return report(cx, relativeOf(folder, name), "cannot read link", n < 0 ? errno : ENAMETOOLONG);
    }
    target.resize(static_cast<size_t>(n));
  }
  const dev_t device = makedev(item.status.stx_rdev_major, item.status.stx_rdev_minor);
  int error = placeItem(dirFd, name, [&] {
    const int rc = type == S_IFLNK ? symlinkat(target.c_str(), dirFd, name)
                                   : mknodat(dirFd, name, item.status.stx_mode & (S_IFMT | 07777), device);
    return rc < 0 ? errno : 0;
  });
  if (error == EISDIR) return report(cx, relativeOf(folder, name), "a folder stands there; left alone", EEXIST);
  if (error) return report(cx, relativeOf(folder, name), "cannot create", error);
  error = finishPinnedItem(dirFd, name, sourceDir, name, item.status, folder.birth);
  if (error) report(cx, relativeOf(folder, name), "cannot set attributes", error);
}

// Makes or finds the destination folder for `name`. A folder already there
// is merged (its immutable and append flags are lifted until it is done);
// anything else there is replaced.
int openDestinationFolder(const Folder& parent, const char* name, Folder* folder) {
  const int dirFd = parent.destination.get();
  const int error = placeItem(dirFd, name, [&] { return mkdirat(dirFd, name, 0700) < 0 ? errno : 0; });
  folder->merged = error == EISDIR;
  if (error && !folder->merged) return error;
  folder->destination.reset(openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder->destination.valid()) return errno;
  if (!folder->merged) {
    folder->owner = parent.birth.owner;
    folder->group = parent.birth.group;
    folder->mode = 0700 | (parent.birth.setgid ? S_ISGID : 0);
    folder->kernelFlags = parent.birth.inherited;
    folder->birth = parent.birth;
    return 0;
  }
  struct statx there {};
  if (const int failed = statxFd(folder->destination.get(), &there)) return failed;
  folder->owner = there.stx_uid;
  folder->group = there.stx_gid;
  folder->mode = there.stx_mode & 07777;
  folder->kernelFlags = kernelFlagsOf(there, folder->destination.get());
  folder->keptFlags = folder->kernelFlags;
  if (folder->kernelFlags & kFreezingFlags) {
    if (const int failed = writeKernelFlags(folder->destination.get(), folder->kernelFlags & ~kFreezingFlags)) {
      return failed;
    }
    folder->kernelFlags &= ~kFreezingFlags;
  }
  return 0;
}

void setBirth(Folder* folder, const Context& cx) {
  folder->birth.owner = cx.euid;
  folder->birth.setgid = folder->mode & S_ISGID;
  folder->birth.group = folder->birth.setgid ? folder->group : cx.egid;
  folder->birth.inherited = folder->kernelFlags & UF_NODUMP;
}

// Prepares a folder to be entered; false when it cannot be.
bool enterFolder(Context& cx, std::vector<Folder>& stack, const char* name, Item& item) {
  const Folder& parent = stack.back();
  if (item.status.stx_dev_major == major(cx.destinationDevice) &&
      item.status.stx_dev_minor == minor(cx.destinationDevice) && item.status.stx_ino == cx.destinationInode) {
    report(cx, relativeOf(parent, name), "the destination itself; not copied into itself", ELOOP);
    return false;
  }
  Folder folder;
  folder.status = item.status;
  if (const int error = openDestinationFolder(parent, name, &folder)) {
    report(cx, relativeOf(parent, name), "cannot make folder", error);
    return false;
  }
  if (folder.merged) setBirth(&folder, cx);
  if (fstat(folder.destination.get(), &folder.there) != 0) {
    report(cx, relativeOf(parent, name), "cannot make folder", errno);
    return false;
  }
  cx.relative.resize(parent.relative.length);
  if (!cx.relative.empty()) cx.relative += '/';
  folder.nameStart = cx.relative.size();
  cx.relative += name;
  folder.relative = {&cx.relative, cx.relative.size()};
  DIR* dir = fdopendir(item.fd.get());
  if (!dir) {
    report(cx, relativeOf(parent, name), "cannot read folder", errno);
    return false;
  }
  item.fd.release();
  folder.source = DirStream(dir);
  stack.push_back(std::move(folder));
  ++cx.open;
  return true;
}

// A folder that was there before keeps its own owner, mode, times, flags and
// attributes: only its contents were merged, and any freezing flag lifted for
// that goes back on.
void finishFolder(Context& cx, const Folder& folder) {
  const int fd = folder.destination.get();
  if (folder.merged) {
    if (folder.keptFlags != folder.kernelFlags) {
      if (const int error = writeKernelFlags(fd, folder.keptFlags)) {
        report(cx, folder.relative, "cannot set attributes", error);
      }
    }
    return;
  }
  int error = copyAttributes(folder.source.fd(), fd);
  if (error) return report(cx, folder.relative, "cannot copy extended attributes", error);
  const uint32_t wanted = kernelFlagsOf(folder.status, folder.source.fd());
  error = finishOpenItem(fd, folder.status, folder.owner, folder.group, folder.mode, folder.kernelFlags, wanted);
  if (error) report(cx, folder.relative, "cannot set attributes", error);
}

void copyEntry(Context& cx, std::vector<Folder>& stack, const dirent* entry) {
  const Folder& folder = stack.back();
  Item item;
  if (const int error = readItem(folder.source.fd(), entry, &item)) {
    return report(cx, relativeOf(folder, entry->d_name), "cannot read source", error);
  }
  switch (item.status.stx_mode & S_IFMT) {
    case S_IFDIR:
      enterFolder(cx, stack, entry->d_name, item);
      return;
    case S_IFREG:
      return copyFile(cx, folder, entry->d_name, item);
    default:
      return copyOther(cx, folder, entry->d_name, item);
  }
}

// At most this many levels keep their pair of folders open; the ones between
// the root and the deepest are closed and reopened through "..".
constexpr size_t kOpenLevels = 32;

void closeLevel(Folder& folder) {
  struct stat source {};
  source.st_dev = makedev(folder.status.stx_dev_major, folder.status.stx_dev_minor);
  source.st_ino = folder.status.stx_ino;
  markFolder(folder.source.fd(), source, &folder.sourceMark);
  markFolder(folder.destination.get(), folder.there, &folder.destinationMark);
  folder.position = telldir(folder.source.dir);
  folder.source = DirStream();
  folder.destination.reset();
}

void enforceBound(Context& cx, std::vector<Folder>& stack) {
  while (cx.open > kOpenLevels && cx.lowestOpen + 1 < stack.size()) {
    closeLevel(stack[cx.lowestOpen++]);
    --cx.open;
  }
}

// Reopens a closed level from its open child, and only when both folders are
// still the ones it left, with the child still inside each.
int reopenLevel(Context& cx, Folder& folder, const Folder& child) {
  const char* name = cx.relative.c_str() + child.nameStart;
  struct stat childSource {};
  childSource.st_dev = makedev(child.status.stx_dev_major, child.status.stx_dev_minor);
  childSource.st_ino = child.status.stx_ino;
  const int sourceFd = reenterFolder(folder.sourceMark, child.source.fd(), name, plainMark(childSource));
  if (sourceFd < 0) return -sourceFd;
  UniqueFd source(sourceFd);
  const int destinationFd = reenterFolder(folder.destinationMark, child.destination.get(), name, plainMark(child.there));
  if (destinationFd < 0) return -destinationFd;
  UniqueFd destination(destinationFd);
  DIR* dir = fdopendir(source.get());
  if (!dir) return errno;
  source.release();
  seekdir(dir, folder.position);
  folder.source = DirStream(dir);
  folder.destination = std::move(destination);
  return 0;
}

// Depth first without recursion: the stack holds a pair of folders per level,
// a bounded number of them open, and a folder is finished when its source has
// no entry left.
void copyTree(Context& cx, Folder root) {
  std::vector<Folder> stack;
  stack.push_back(std::move(root));
  while (!stack.empty()) {
    errno = 0;
    const dirent* entry = readdir(stack.back().source.dir);
    if (entry) {
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) copyEntry(cx, stack, entry);
      enforceBound(cx, stack);
      continue;
    }
    if (errno) report(cx, stack.back().relative, "cannot read folder", errno);
    if (stack.size() > 1) finishFolder(cx, stack.back());
    if (stack.size() > 1 && !stack[stack.size() - 2].source.dir) {
      cx.relative.resize(stack.back().relative.length);
      if (const int error = reopenLevel(cx, stack[stack.size() - 2], stack.back())) {
        report(cx, stack[stack.size() - 2].relative, "cannot go back to folder", error);
        return;  // the folders above moved meanwhile: nothing more is copied
      }
      ++cx.open;
      cx.lowestOpen = stack.size() - 2;
    }
    stack.pop_back();
    --cx.open;
    cx.lowestOpen = std::min(cx.lowestOpen, stack.size());
  }
}

const char* rootError(int error) {
  return error == ELOOP ? "refusing a symbolic link that root did not place" : std::strerror(error);
}

// The roots are resolved one component at a time, following a link only
// where root alone could have placed it; DESTINATION must itself be a
// folder, not a link to one.
bool openRoots(Context& cx, const char* source, const char* destination, Folder* root) {
  const int sourceFd = openTrusted(source, O_RDONLY | O_DIRECTORY, FinalLink::Follow);
  if (sourceFd < 0) {
    std::fprintf(stderr, "mirra: %s: %s\n", printable(source).c_str(), rootError(-sourceFd));
    return false;
  }
  UniqueFd from(sourceFd);
  const int destinationFd = openTrusted(destination, O_RDONLY | O_DIRECTORY, FinalLink::Refuse);
  if (destinationFd < 0) {
    std::fprintf(stderr, "mirra: %s: %s\n", printable(destination).c_str(), rootError(-destinationFd));
    return false;
  }
  root->destination.reset(destinationFd);
  struct statx there {};
  if (statxFd(root->destination.get(), &there) != 0) {
    std::fprintf(stderr, "mirra: %s: %s\n", printable(destination).c_str(), std::strerror(errno));
    return false;
  }
  struct stat sourceStatus {};
  fstat(from.get(), &sourceStatus);
  cx.destinationDevice = makedev(there.stx_dev_major, there.stx_dev_minor);
  cx.destinationInode = there.stx_ino;
  if (sourceStatus.st_dev == cx.destinationDevice && sourceStatus.st_ino == cx.destinationInode) {
    std::fprintf(stderr, "mirra: %s: source and destination are the same folder\n", printable(destination).c_str());
    return false;
  }
  root->mode = there.stx_mode & 07777;
  root->group = there.stx_gid;
  root->kernelFlags = kernelFlagsOf(there, root->destination.get());
  setBirth(root, cx);
  root->source = DirStream(fdopendir(from.get()));
  if (!root->source.dir) {
    std::fprintf(stderr, "mirra: %s: %s\n", printable(source).c_str(), std::strerror(errno));
    return false;
  }
  from.release();
  return true;
}

}  // namespace

constexpr const char* kUsage = "usage: mirra [-rsrcFork] SOURCE DESTINATION\n";

int main(int argc, char** argv) {
  if (answerInfoOption(argc, argv, "mirra", kUsage)) return 0;
  int first = 1;
  while (first < argc && argv[first][0] == '-') {
    const bool known = std::strcmp(argv[first], "-rsrcFork") == 0 || std::strcmp(argv[first], "--") == 0;
    if (!known) break;
    if (std::strcmp(argv[first++], "--") == 0) break;
  }
  if (argc - first != 2) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  umask(0);
  Context cx;
  cx.destinationText = argv[first + 1];
  cx.euid = geteuid();
  cx.egid = getegid();
  Folder root;
  if (!openRoots(cx, argv[first], argv[first + 1], &root)) return 1;
  copyTree(cx, std::move(root));
  return cx.failed ? 1 : 0;
}
