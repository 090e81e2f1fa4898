#pragma once

// What the helpers say about an operand they could not or would not change:
// one line on standard error each, with the path escaped, since a name from a
// home must not steer the administrator's terminal or pass for a line of its
// own.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/text.h"

/// "PROGRAM: 'PATH': WHAT", the path escaped.
inline void complainAbout(const char* program, std::string_view path, const char* what) {
  std::fprintf(stderr, "%s: '%s': %s\n", program, printable(path).c_str(), what);
}

/// An operand that cannot be reached or changed; a link on the way that root
/// did not place has a sentence of its own.
inline void complainError(const char* program, std::string_view path, int error) {
  complainAbout(program, path,
                error == ELOOP ? "refusing a symbolic link that root did not place" : std::strerror(error));
}

/// A file with other names that the hard-link rule leaves as it is.
inline void reportLeftAlone(const char* program, std::string_view path, const struct stat& status) {
  const std::string what = "left alone: " + std::to_string(status.st_nlink) + " hard links, owned by uid " +
                           std::to_string(status.st_uid);
  complainAbout(program, path, what.c_str());
}
