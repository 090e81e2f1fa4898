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
#include "platform/below/walk.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/text.h"
#include "platform/xattr.h"

namespace {

constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_ATIME |
                                STATX_MTIME | STATX_SIZE | STATX_INO;

// At most this many source folders, and as many destination folders, stay
// open; the ones between the root and the deepest are closed and re-entered.
constexpr unsigned kOpenLevels = 32;

// What a new item in a destination folder starts as.
struct Birth {
  uid_t owner = 0;
  gid_t group = 0;          // the folder's group when it is set-group-id
  bool setgid = false;      // new folders inherit the bit
  uint32_t inherited = 0;   // kernel flags new items may inherit (nodump)
};

// What a source item hands on to its copy.
struct Source {
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  struct timespec atime {};
  struct timespec mtime {};
  uint32_t kernelFlags = 0;
};

// One destination folder being filled while the walk is in its source
// folder: the copy's own stack, one entry per folder the walk entered, so its
// memory grows with the depth only, a few dozen bytes a level.
struct Folder {
  UniqueFd fd;              // closed while the level is beyond the descriptor bound
  FolderMark mark;          // what re-entering it takes, once closed
  Source source;            // the source folder as it was entered
  uid_t owner = 0;          // what the destination folder has now
  gid_t group = 0;
  mode_t mode = 0;
  uint32_t kernelFlags = 0;
  uint32_t keptFlags = 0;   // a merged folder's own kernel flags, put back at the end
  bool merged = false;      // the destination folder was there before
  Birth birth;
};

struct Context {
  std::string destinationText;  // DESTINATION as given, for messages
  dev_t destinationDevice = 0;
  ino_t destinationInode = 0;
  uid_t euid = 0;
  gid_t egid = 0;
  bool failed = false;
  bool lost = false;         // a destination folder could not be re-entered
  std::vector<char> buffer;  // data, when the kernel cannot copy by itself
  std::vector<Folder> stack;
  // The open levels below the root are always the deepest ones, from
  // `lowestOpen` down, so the bound is kept by a count.
  size_t lowestOpen = 1;
  size_t open = 1;
};

// The item being copied, as read from SOURCE: anything but a folder.
struct Item {
  UniqueFd fd;  // regular files only
  struct statx status {};
};

// Built only for a message: the walk's path grows with the depth.
std::string relativeOf(const WalkItem& item) { return item.path->substr(item.rootLength + 1); }

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
uint32_t kernelFlagsOf(std::optional<uint32_t> reported, int fd) {
  if (reported) return *reported;
  const std::optional<uint32_t> flags = fd >= 0 ? readFlags(fd, nullptr) : std::nullopt;
  return flags ? *flags & kKernelFlags : 0;
}

Source sourceOf(const struct statx& status, int fd) {
  return {status.stx_mode, status.stx_uid, status.stx_gid, toTimespec(status.stx_atime),
          toTimespec(status.stx_mtime), kernelFlagsOf(kernelFlagsOf(status), fd)};
}

int statxFd(int fd, struct statx* status) {
  return statx(fd, "", AT_EMPTY_PATH, kStatxMask, status) < 0 ? errno : 0;
}

// Reads the source item, of the type the listing gave, without following a
// link; a regular file is opened (without blocking, should it have become a
// fifo).
int readItem(int dirFd, const char* name, mode_t type, Item* item) {
  if (type != S_IFREG) {
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW, kStatxMask, &item->status) < 0) return errno;
    if ((item->status.stx_mode & S_IFMT) != S_IFREG) return 0;
  }
  // Reading the template leaves its access times alone where allowed.
  const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  item->fd.reset(openat(dirFd, name, flags | O_NOATIME));
  if (!item->fd.valid() && errno == EPERM) item->fd.reset(openat(dirFd, name, flags));
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
  // The attribute calls answer -errno; this file keeps plain error numbers.
  const std::optional<std::vector<std::string>> names = listAttributes(from, &error);
  if (!names) return -error;
  for (const std::string& name : *names) {
    const std::optional<std::string> value = getAttribute(from, name.c_str(), &error);
    if (!value) return -error;
    if ((error = setAttribute(to, name.c_str(), *value))) return -error;
  }
  return 0;
}

// Owner, then mode (a change of owner drops the set-id bits), then times,
// then the kernel flags, immutability last of all.
int finishOpenItem(int fd, const Source& source, uid_t owner, gid_t group, mode_t mode, uint32_t kernelNow) {
  const bool chown = source.uid != owner || source.gid != group;
  if (chown && fchown(fd, source.uid, source.gid) < 0) return errno;
  const mode_t wanted = source.mode & 07777;
  if ((chown && (wanted & 07000)) || wanted != mode) {
    if (fchmod(fd, wanted) < 0) return errno;
  }
  const struct timespec times[2] = {source.atime, source.mtime};
  if (futimens(fd, times) < 0) return errno;
  // What the item has now is known only as a guess when it may have inherited
  // a flag, so any flag at all is settled against the item itself.
  if (kernelNow | source.kernelFlags) return -writeKernelFlags(fd, source.kernelFlags);
  return 0;
}

void copyFile(Context& cx, const Folder& folder, const WalkItem& at, const Item& item) {
  const int dirFd = folder.fd.get();
  const char* name = at.name;
  const mode_t mode = item.status.stx_mode & 0777;
  UniqueFd out;
  int error = placeItem(dirFd, name, [&] {
    out.reset(openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    return out.valid() ? 0 : errno;
  });
  if (error == EISDIR) return report(cx, relativeOf(at), "a folder stands there; left alone", EEXIST);
  if (error) return report(cx, relativeOf(at), "cannot create", error);
  if ((error = copyData(item.fd.get(), out.get(), item.status.stx_size, cx.buffer))) {
    return report(cx, relativeOf(at), "cannot copy data", error);
  }
  if ((error = copyAttributes(item.fd.get(), out.get()))) {
    return report(cx, relativeOf(at), "cannot copy extended attributes", error);
  }
  const Source source = sourceOf(item.status, item.fd.get());
  const Birth& birth = folder.birth;
  if ((error = finishOpenItem(out.get(), source, birth.owner, birth.group, mode, birth.inherited))) {
    report(cx, relativeOf(at), "cannot set attributes", error);
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
    if (const int failed = changeOwnerPinned(pin.get(), status.stx_uid, status.stx_gid)) return -failed;
  }
  struct stat pinned {};
  const int from = pinAt(sourceDir, sourceName, &pinned);
  if (from < 0) return -from;
  UniqueFd sourcePin(from);
  int error = 0;
  const std::optional<std::vector<std::string>> names = listAttributes(sourcePin.get(), &error);
  if (!names) return -error;
  if (!names->empty() && (error = copyAttributes(sourcePin.get(), pin.get()))) return error;
  const struct timespec times[2] = {toTimespec(status.stx_atime), toTimespec(status.stx_mtime)};
  return utimensat(pin.get(), "", times, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) < 0 ? errno : 0;
}

void copyOther(Context& cx, const Folder& folder, const WalkItem& at, const Item& item) {
  const int dirFd = folder.fd.get();
  const int sourceDir = at.parentFd;
  const char* name = at.name;
  const mode_t type = item.status.stx_mode & S_IFMT;
  std::string target;
  if (type == S_IFLNK) {
    target.resize(PATH_MAX + 1);
    const ssize_t n = readlinkat(sourceDir, name, target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) == target.size()) {
      return report(cx, relativeOf(at), "cannot read link", n < 0 ? errno : ENAMETOOLONG);
    }
    target.resize(static_cast<size_t>(n));
  }
  const dev_t device = makedev(item.status.stx_rdev_major, item.status.stx_rdev_minor);
  int error = placeItem(dirFd, name, [&] {
    const int rc = type == S_IFLNK ? symlinkat(target.c_str(), dirFd, name)
                                   : mknodat(dirFd, name, item.status.stx_mode & (S_IFMT | 07777), device);
    return rc < 0 ? errno : 0;
  });
  if (error == EISDIR) return report(cx, relativeOf(at), "a folder stands there; left alone", EEXIST);
  if (error) return report(cx, relativeOf(at), "cannot create", error);
  error = finishPinnedItem(dirFd, name, sourceDir, name, item.status, folder.birth);
  if (error) report(cx, relativeOf(at), "cannot set attributes", error);
}

// Anything but a folder, from the source folder the walk is in to the
// destination folder on top of the stack.
void copyItem(Context& cx, const WalkItem& at) {
  Item item;
  if (const int error = readItem(at.parentFd, at.name, at.status.st_mode & S_IFMT, &item)) {
    return report(cx, relativeOf(at), "cannot read source", error);
  }
  switch (item.status.stx_mode & S_IFMT) {
    case S_IFDIR:  // a folder since it was listed: not copied as anything else
      return report(cx, relativeOf(at), "cannot read source", EISDIR);
    case S_IFREG:
      return copyFile(cx, cx.stack.back(), at, item);
    default:
      return copyOther(cx, cx.stack.back(), at, item);
  }
}

// Makes or finds the destination folder for `name`. A folder already there
// is merged (its immutable and append flags are lifted until it is done);
// anything else there is replaced.
int openDestinationFolder(const Folder& parent, const char* name, Folder* folder) {
  const int dirFd = parent.fd.get();
  const int error = placeItem(dirFd, name, [&] { return mkdirat(dirFd, name, 0700) < 0 ? errno : 0; });
  folder->merged = error == EISDIR;
  if (error && !folder->merged) return error;
  folder->fd.reset(openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder->fd.valid()) return errno;
  if (!folder->merged) {
    folder->owner = parent.birth.owner;
    folder->group = parent.birth.group;
    folder->mode = 0700 | (parent.birth.setgid ? S_ISGID : 0);
    folder->kernelFlags = parent.birth.inherited;
    folder->birth = parent.birth;
    return 0;
  }
  struct statx there {};
  if (const int failed = statxFd(folder->fd.get(), &there)) return failed;
  folder->owner = there.stx_uid;
  folder->group = there.stx_gid;
  folder->mode = there.stx_mode & 07777;
  folder->kernelFlags = kernelFlagsOf(kernelFlagsOf(there), folder->fd.get());
  folder->keptFlags = folder->kernelFlags;
  if (folder->kernelFlags & kFreezingFlags) {
    if (const int failed = writeKernelFlags(folder->fd.get(), folder->kernelFlags & ~kFreezingFlags)) {
      return -failed;
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

// Keeps at most kOpenLevels destination folders open: the shallowest open
// one below the root is closed first, never the deepest, being filled.
void keepBound(Context& cx) {
  while (cx.open > kOpenLevels && cx.lowestOpen + 1 < cx.stack.size()) {
    Folder& closing = cx.stack[cx.lowestOpen++];
    addHandle(closing.fd.get(), &closing.mark);
    closing.fd.reset();
    --cx.open;
  }
}

// Makes or merges the counterpart of the source folder the walk is about to
// enter, and stacks it; Skip (the folder is not entered) when that fails.
WalkStep enterFolder(Context& cx, const WalkItem& at) {
  if (at.status.st_dev == cx.destinationDevice && at.status.st_ino == cx.destinationInode) {
    report(cx, relativeOf(at), "the destination itself; not copied into itself", ELOOP);
    return WalkStep::Skip;
  }
  Folder folder;
  const struct stat& s = at.status;
  folder.source = {s.st_mode, s.st_uid, s.st_gid, s.st_atim, s.st_mtim, kernelFlagsOf(at.kernelFlags, at.fd)};
  if (const int error = openDestinationFolder(cx.stack.back(), at.name, &folder)) {
    report(cx, relativeOf(at), "cannot make folder", error);
    return WalkStep::Skip;
  }
  if (folder.merged) setBirth(&folder, cx);
  struct stat there {};
  if (fstat(folder.fd.get(), &there) != 0) {
    report(cx, relativeOf(at), "cannot make folder", errno);
    return WalkStep::Skip;
  }
  folder.mark = plainMark(there);
  cx.stack.push_back(std::move(folder));
  ++cx.open;
  keepBound(cx);
  return WalkStep::Descend;
}

// A folder that was there before keeps its own owner, mode, times, flags and
// attributes: only its contents were merged, and any freezing flag lifted for
// that goes back on.
void finishFolder(Context& cx, const Folder& folder, int sourceFd, const WalkItem& at) {
  const int fd = folder.fd.get();
  if (folder.merged) {
    if (folder.keptFlags != folder.kernelFlags) {
      if (const int error = writeKernelFlags(fd, folder.keptFlags)) {
        report(cx, relativeOf(at), "cannot set attributes", -error);
      }
    }
    return;
  }
  int error = copyAttributes(sourceFd, fd);
  if (error) return report(cx, relativeOf(at), "cannot copy extended attributes", error);
  error = finishOpenItem(fd, folder.source, folder.owner, folder.group, folder.mode, folder.kernelFlags);
  if (error) report(cx, relativeOf(at), "cannot set attributes", error);
}

// The source folder the walk leaves is done: its counterpart gets its
// attributes and leaves the stack, and the one above is re-entered if the
// bound had closed it, only when it is still the folder left with this one
// still inside. Otherwise nothing more is copied.
void leaveFolder(Context& cx, const WalkItem& at) {
  if (cx.lost) return;
  Folder& folder = cx.stack.back();
  finishFolder(cx, folder, at.fd, at);
  Folder& parent = cx.stack[cx.stack.size() - 2];
  if (!parent.fd.valid()) {
    const int fd = reenterFolder(parent.mark, folder.fd.get(), at.name, folder.mark);
    if (fd < 0) {
      const std::string relative = relativeOf(at);
      const size_t slash = relative.rfind('/');
      report(cx, slash == std::string::npos ? "" : relative.substr(0, slash), "cannot go back to folder", -fd);
      cx.lost = true;
      return;
    }
    parent.fd.reset(fd);
    ++cx.open;
    cx.lowestOpen = cx.stack.size() - 2;
  }
  cx.stack.pop_back();
  --cx.open;
  cx.lowestOpen = std::min(cx.lowestOpen, cx.stack.size());
}

// One walk of the source, each folder's names in byte order; the copy keeps
// a destination folder per source folder entered, on its own stack.
void copyTree(Context& cx, int sourceFd, const std::string& sourceText) {
  WalkVisitor visitor;
  visitor.sorted = true;
  visitor.crossDevices = true;
  visitor.examineNonFolders = false;
  visitor.keepAccessTimes = true;
  visitor.enter = [&cx](const WalkItem& at) {
    if (cx.lost) return WalkStep::Stop;
    if (at.fd >= 0) return enterFolder(cx, at);
    copyItem(cx, at);
    return WalkStep::Skip;
  };
  visitor.leave = [&cx](const WalkItem& at, bool) { leaveFolder(cx, at); };
  // The source's own trailing slash stands for the separator.
  const bool slash = !sourceText.empty() && sourceText.back() == '/';
  const std::string root = slash ? sourceText.substr(0, sourceText.size() - 1) : sourceText;
  const WalkError error = walkTree(sourceFd, root, visitor, kOpenLevels);
  if (error.error) {
    report(cx, error.path.size() > root.size() ? error.path.substr(root.size() + 1) : "", "cannot read source",
           error.error);
  }
}

const char* rootError(int error) {
  return error == ELOOP ? "refusing a symbolic link that root did not place" : std::strerror(error);
}

// The roots are resolved one component at a time, following a link only
// where root alone could have placed it; DESTINATION must itself be a
// folder, not a link to one.
bool openRoots(Context& cx, const char* source, const char* destination, UniqueFd* from, Folder* root) {
  const int sourceFd = openTrusted(source, O_RDONLY | O_DIRECTORY, FinalLink::Follow);
  if (sourceFd < 0) {
    std::fprintf(stderr, "mirra: %s: %s\n", printable(source).c_str(), rootError(-sourceFd));
    return false;
  }
  from->reset(sourceFd);
  const int destinationFd = openTrusted(destination, O_RDONLY | O_DIRECTORY, FinalLink::Refuse);
  if (destinationFd < 0) {
    std::fprintf(stderr, "mirra: %s: %s\n", printable(destination).c_str(), rootError(-destinationFd));
    return false;
  }
  root->fd.reset(destinationFd);
  struct statx there {};
  if (statxFd(root->fd.get(), &there) != 0) {
    std::fprintf(stderr, "mirra: %s: %s\n", printable(destination).c_str(), std::strerror(errno));
    return false;
  }
  struct stat sourceStatus {};
  fstat(from->get(), &sourceStatus);
  cx.destinationDevice = makedev(there.stx_dev_major, there.stx_dev_minor);
  cx.destinationInode = there.stx_ino;
  if (sourceStatus.st_dev == cx.destinationDevice && sourceStatus.st_ino == cx.destinationInode) {
    std::fprintf(stderr, "mirra: %s: source and destination are the same folder\n", printable(destination).c_str());
    return false;
  }
  root->mode = there.stx_mode & 07777;
  root->group = there.stx_gid;
  root->kernelFlags = kernelFlagsOf(kernelFlagsOf(there), root->fd.get());
  setBirth(root, cx);
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
  UniqueFd source;
  Folder root;
  if (!openRoots(cx, argv[first], argv[first + 1], &source, &root)) return 1;
  cx.stack.push_back(std::move(root));
  copyTree(cx, source.get(), argv[first]);
  return cx.failed ? 1 : 0;
}
