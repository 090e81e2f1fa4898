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
/// under the trusted-link rule). None, with -errno in `error`, when it fails.
std::optional<FileStatus> lstatPath(const std::string& path, int* error);
