#pragma once

#include <cstdint>
#include <string>

/// Copies the contents of `source` into the existing folder `destination` with
/// the tree copier: -1 when either is missing (logged), else its exit status.
int64_t copyDirectory(const std::string& source, const std::string& destination);
