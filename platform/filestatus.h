#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

struct FileStatus {
  dev_t device = 0;
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
};

/// `lstat` of `path` (a final link is not followed; links on the way only
/// under the trusted-link rule). None when it fails; `error`, when given,
/// receives the error number.
std::optional<FileStatus> lstatPath(const std::string& path, int* error = nullptr);

/// Changes the mode of the item pinned at `pinnedFd` (an O_PATH descriptor of
/// anything but a link), never reaching it again by name. Returns 0 or an
/// error number.
int changeModePinned(int pinnedFd, mode_t mode);

/// Changes the owner and group of the item pinned at `pinnedFd` (a link
/// included: the link itself). -1 leaves an id as it is. Returns 0 or an
/// error number.
int changeOwnerPinned(int pinnedFd, uid_t owner, gid_t group);
