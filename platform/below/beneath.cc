#include "platform/below/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
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

int pinBeneathWithoutLinks(int rootFd, const std::string& relative) {
  // Separators at either end are dropped, as joining onto the root does;
  // without O_NOFOLLOW the refusal of links covers the last component too.
  const size_t first = relative.find_first_not_of('/');
  if (first == std::string::npos) return -ENOENT;
  const size_t last = relative.find_last_not_of('/');
  return openBeneath(rootFd, relative.substr(first, last - first + 1), O_PATH);
}

bool existsBeneathWithoutLinks(int rootFd, const std::string& relative) {
  const int fd = pinBeneathWithoutLinks(rootFd, relative);
  if (fd < 0) return false;
  close(fd);
  return true;
}
