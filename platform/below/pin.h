#pragma once

// Pins: an item below a folder that a user controls is opened with O_PATH
// without following a link, examined through that descriptor, and changed
// only through it, so a swap of its name meanwhile changes nothing else.

#include <sys/stat.h>

/// The name under which the kernel resolves a descriptor straight back to the
/// item it holds, never by a path again: for calls that refuse an O_PATH pin.
struct ProcName {
  char text[40];
};
ProcName procName(int fd);

/// Pins the item `name` in `dirFd` with O_PATH, never following a link, and
/// fills `status`. Returns the descriptor, or -errno.
int pinAt(int dirFd, const char* name, struct stat* status);

/// Opens the regular file or folder pinned at `pinnedFd` for reading, through
/// the pin (so it is the same item). Returns the descriptor, or -errno.
int reopenPinned(int pinnedFd, int flags);

/// Changes the mode of the item pinned at `pinnedFd` (anything but a link),
/// never reaching it again by name. Returns 0 or -errno.
int changeModePinned(int pinnedFd, mode_t mode);

/// The hard-link rule, asked of the item a change is about to go through:
/// true when a non-folder with more than one name must be left as it is,
/// because another name may lie outside the home and it does not belong to
/// `owner`, the owner the change leads to, already.
bool leftAloneForLinks(const struct stat& status, uid_t owner);

/// Gives the item pinned at `pinnedFd` (a link included: the link itself) the
/// current access and modification times. Returns 0 or -errno.
int touchPinned(int pinnedFd);

/// Changes the owner and group of the item pinned at `pinnedFd` (a link
/// included: the link itself). -1 leaves an id as it is. Returns 0 or -errno.
int changeOwnerPinned(int pinnedFd, uid_t owner, gid_t group);

/// How an item that is no folder is first looked at. Most trees are either
/// almost all right already or almost all to change: a look by name alone
/// (one call) is cheapest for the first, and pinning at once, which the
/// change needs anyway, for the second. A walk guesses from the items just
/// before (one guess per thread); the guess only ever changes the cost, since
/// a change always goes through a pin whose own status decided it.
struct LookGuess {
  static constexpr unsigned kRunToPinFirst = 8;
  unsigned changedInARow = 0;
  bool pinFirst() const { return changedInARow >= kRunToPinFirst; }
  void changed() { ++changedInARow; }
  void alreadyRight() { changedInARow = 0; }
};
