#include "platform/filestatus.h"

#include <cerrno>

std::optional<FileStatus> lstatPath(const std::string& path, int* error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (error) *error = errno;
    return std::nullopt;
  }
  FileStatus status;
  status.device = st.st_dev;
  status.mode = st.st_mode;
  status.owner = st.st_uid;
  status.group = st.st_gid;
  return status;
}
