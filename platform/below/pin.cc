#include "platform/below/pin.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/below/pause.h"

// The call that changes a mode through a descriptor of any kind; older C
// libraries do not name it yet.
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif

ProcName procName(int fd) {
  ProcName name;
  std::snprintf(name.text, sizeof name.text, "/proc/self/fd/%d", fd);
  return name;
}

int pinAt(int dirFd, const char* name, struct stat* status) {
  const int fd = openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -errno;
  if (fstat(fd, status) < 0) {
    const int error = errno;
    close(fd);
    return -error;
  }
  return fd;
}

int reopenPinned(int pinnedFd, int flags) {
  const int fd = open(procName(pinnedFd).text, flags | O_CLOEXEC | O_NOCTTY);
  return fd < 0 ? -errno : fd;
}

int changeModePinned(int pinnedFd, mode_t mode) {
  pausePoint("pinned-mode", pinnedFd);
  if (syscall(SYS_fchmodat2, pinnedFd, "", mode, AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOSYS && errno != EINVAL) return -errno;
  return chmod(procName(pinnedFd).text, mode) == 0 ? 0 : -errno;
}

int changeOwnerPinned(int pinnedFd, uid_t owner, gid_t group) {
  pausePoint("pinned-owner", pinnedFd);
  return fchownat(pinnedFd, "", owner, group, AT_EMPTY_PATH) == 0 ? 0 : -errno;
}

bool leftAloneForLinks(const struct stat& status, uid_t owner) {
  return !S_ISDIR(status.st_mode) && status.st_nlink > 1 && status.st_uid != owner;
}

int touchPinned(int pinnedFd) {
  if (utimensat(pinnedFd, "", nullptr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) == 0) return 0;
  if (errno != EINVAL) return -errno;
  // Kernels that refuse an empty path here still reach the item through its
  // descriptor's name; a link then has no way in that cannot follow it.
  struct stat status {};
  if (fstat(pinnedFd, &status) != 0) return -errno;
  if (S_ISLNK(status.st_mode)) return -EINVAL;
  return utimensat(AT_FDCWD, procName(pinnedFd).text, nullptr, 0) == 0 ? 0 : -errno;
}
