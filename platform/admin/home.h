#pragma once

// The home as one run holds it. The entry point and the creation sequence
// resolve the home's path once, and everything below it is then reached from
// the folder held here, never by its path again.

#include <sys/stat.h>

#include <string>

#include "platform/fd.h"

struct HeldHome {
  std::string path;       // as the caller named it, for log lines and for tools
  bool examined = false;  // something is there (a link included)
  struct stat status {};  // of the item itself: a final link is not followed
  UniqueFd folder;        // the folder, when it is a real one (never through a link)
  UniqueFd item;          // whatever stands there, pinned O_PATH (a final link: the link)
};

/// Holds the home at `path`: links on the way are followed only under the
/// trusted-link rule, the last component never.
HeldHome holdHome(const std::string& path);
