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
  uint32_t flags = 0;  // BSD flags word
};

/// `lstat` of `path` (a final link is not followed) with the flags word. None
/// when it fails; `error`, when given, receives the error number.
std::optional<FileStatus> lstatPath(const std::string& path, int* error = nullptr);
