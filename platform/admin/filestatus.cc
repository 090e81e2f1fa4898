#include "platform/admin/filestatus.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/admin/trusted.h"

std::optional<FileStatus> lstatPath(const std::string& path, int* error) {
  struct stat st {};
  const int pin = openTrusted(path, O_PATH, FinalLink::Keep);
  const int failed = pin < 0 ? pin : fstat(pin, &st) == 0 ? 0 : -errno;
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
