#pragma once

// Reaching items below a folder that a user controls: no symbolic link is
// followed anywhere on the way, and nothing resolves outside that folder.

#include <sys/types.h>

#include <string>

/// Opens `relative` (a path below the folder open at `rootFd`) with `flags`
/// (O_CLOEXEC is added), refusing any symbolic link on the way and any escape
/// from the folder. Returns the descriptor, or -errno.
int openBeneath(int rootFd, const std::string& relative, int flags, mode_t mode = 0);

/// Opens the folder that holds the last component of `relative` (the root
/// itself for a single name) and gives that component in `name`. Returns the
/// folder's descriptor, or -errno. `relative` must name something below root.
int openParentBeneath(int rootFd, const std::string& relative, std::string* name);

/// Pins (O_PATH) what `relative` names below the folder `rootFd`, reached
/// with no symbolic link anywhere on the way and not itself one; -errno when
/// it is not there so.
int pinBeneathWithoutLinks(int rootFd, const std::string& relative);

/// True when `relative` names an item below the folder `rootFd` that is
/// reached with no symbolic link anywhere on the way and is not itself one.
bool existsBeneathWithoutLinks(int rootFd, const std::string& relative);
