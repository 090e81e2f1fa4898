#include "platform/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

int openBeneath(int rootFd, const std::string& relative, int flags, mode_t mode) {
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const char* text = relative.empty() ? "." : relative.c_str();
  long fd = syscall(SYS_openat2, rootFd, text, &how, sizeof how);
  return fd < 0 ? -errno : static_cast<int>(fd);
}

int openParentBeneath(int rootFd, const std::string& relative, std::string* name) {
  std::string trimmed = relative;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) {
    *name = trimmed;
    const int fd = fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    return fd < 0 ? -errno : fd;
  }
  *name = trimmed.substr(slash + 1);
  return openBeneath(rootFd, trimmed.substr(0, slash), O_RDONLY | O_DIRECTORY);
}

bool existsBeneathWithoutLinks(int rootFd, const std::string& relative) {
  const int fd = openBeneath(rootFd, relative, O_PATH | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat status {};
  const bool real = fstat(fd, &status) == 0 && !S_ISLNK(status.st_mode);
  close(fd);
  return real;
}
