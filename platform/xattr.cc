#include "platform/xattr.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "platform/below/pin.h"

namespace {

// An O_PATH pin refuses the f*xattr calls; its /proc name reaches the item.

ssize_t readValue(int fd, const char* name, void* buffer, size_t size) {
  ssize_t n = fgetxattr(fd, name, buffer, size);
  if (n < 0 && errno == EBADF) n = getxattr(procName(fd).text, name, buffer, size);
  return n;
}

ssize_t readNames(int fd, char* buffer, size_t size) {
  ssize_t n = flistxattr(fd, buffer, size);
  if (n < 0 && errno == EBADF) n = listxattr(procName(fd).text, buffer, size);
  return n;
}

}  // namespace

std::optional<std::string> getAttribute(int fd, const char* name, int* error) {
  std::string value(256, '\0');
  for (;;) {
    const ssize_t n = readValue(fd, name, value.data(), value.size());
    if (n >= 0) {
      value.resize(static_cast<size_t>(n));
      return value;
    }
    if (errno != ERANGE) break;
    const ssize_t needed = readValue(fd, name, nullptr, 0);
    if (needed < 0) break;
    value.resize(static_cast<size_t>(needed) + 1);
  }
  if (error) *error = -errno;
  return std::nullopt;
}

int setAttribute(int fd, const char* name, std::string_view value) {
  int rc = fsetxattr(fd, name, value.data(), value.size(), 0);
  if (rc < 0 && errno == EBADF) rc = setxattr(procName(fd).text, name, value.data(), value.size(), 0);
  return rc < 0 ? -errno : 0;
}

int removeAttribute(int fd, const char* name) {
  int rc = fremovexattr(fd, name);
  if (rc < 0 && errno == EBADF) rc = removexattr(procName(fd).text, name);
  if (rc < 0 && errno != ENODATA) return -errno;
  return 0;
}

std::optional<std::vector<std::string>> listAttributes(int fd, int* error) {
  std::string buffer(1024, '\0');
  ssize_t n;
  for (;;) {
    n = readNames(fd, buffer.data(), buffer.size());
    if (n >= 0) break;
    const ssize_t needed = errno == ERANGE ? readNames(fd, nullptr, 0) : -1;
    if (needed < 0) {
      if (error) *error = -errno;
      return std::nullopt;
    }
    buffer.resize(static_cast<size_t>(needed) + 1);
  }
  std::vector<std::string> names;
  for (size_t at = 0; at < static_cast<size_t>(n);) {
    const std::string name(buffer.c_str() + at);
    at += name.size() + 1;
    if (!name.empty()) names.push_back(name);
  }
  return names;
}
