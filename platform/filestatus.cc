#include "platform/filestatus.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/trusted.h"

// The call that changes a mode through a descriptor of any kind; older C
// libraries do not name it yet.
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif

std::optional<FileStatus> lstatPath(const std::string& path, int* error) {
  struct stat st {};
  const int pin = openTrusted(path, O_PATH, FinalLink::Keep);
  const int failed = pin < 0 ? -pin : fstat(pin, &st) == 0 ? 0 : errno;
  if (pin >= 0) close(pin);
  if (failed) {
    if (error) *error = failed;
    return std::nullopt;
  }
  FileStatus status;
  status.device = st.st_dev;
  status.mode = st.st_mode;
  status.owner = st.st_uid;
  status.group = st.st_gid;
  return status;
}

int changeModePinned(int pinnedFd, mode_t mode) {
  if (syscall(SYS_fchmodat2, pinnedFd, "", mode, AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOSYS && errno != EINVAL) return errno;
  // Without it, the descriptor's /proc entry names the pinned item itself.
  char name[32];
  std::snprintf(name, sizeof name, "/proc/self/fd/%d", pinnedFd);
  return chmod(name, mode) == 0 ? 0 : errno;
}

int changeOwnerPinned(int pinnedFd, uid_t owner, gid_t group) {
  return fchownat(pinnedFd, "", owner, group, AT_EMPTY_PATH) == 0 ? 0 : errno;
}
