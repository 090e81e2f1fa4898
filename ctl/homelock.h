#pragma once

// One change at a time per home. Several logins of a new user each run the
// creation hook at once; the lock makes one of them create the home while the
// others wait, then find it there.

#include <string>

#include "platform/fd.h"

/// Root's folder of lock files: mode 0700, on the memory file system, so it
/// starts empty at every boot.
inline constexpr const char* kHomeLockFolder = "/run/hollin-locks";

/// The home's path text as two accounts' home fields are compared: repeated
/// separators as one, no trailing separator ("/" stays "/").
std::string normalHomeText(const std::string& home);

/// The lock file's name for `home`: its normal text with the leading separator
/// dropped, each "/" as "-" and every byte other than a letter, a digit, "." or
/// "_" as "%XX"; a name too long for the file system is "long-" and a hash.
std::string homeLockName(const std::string& home);

struct HomeLock {
  UniqueFd fd;     // holds the exclusive lock until it is closed
  int error = 0;   // when fd is not valid
  std::string where;  // the folder or file that failed, for the message
};

/// Takes the exclusive lock of `home`, waiting while another run holds it.
/// The folder is made when missing (never through a link) and must be
/// root's; the lock file is created without following a link.
HomeLock lockHome(const std::string& home);
