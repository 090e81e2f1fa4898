#pragma once

// A streaming walk over a folder tree that a user may control. Every item is
// reached from its parent's descriptor without following a link; folders are
// pinned (opened O_DIRECTORY|O_NOFOLLOW) before the visitor sees them. The
// walk keeps a bounded number of descriptors open (ancestors beyond the bound
// are closed and re-entered by handle or through "..", checked by device and
// inode). Time and memory grow linearly with the depth, a few dozen bytes a
// level besides the path (and the names of sorted folders on the way down),
// so trees deeper than PATH_MAX are fine.

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct WalkItem {
  int parentFd = -1;          // pinned folder that holds the item
  const char* name = nullptr; // the item's name in that folder
  const std::string* path = nullptr;  // full path text, for log lines
  size_t rootLength = 0;      // path->substr(rootLength + 1) is the relative path
  struct stat status {};      // the item itself (a link is not followed)
  bool statusKnown = true;    // false: only the type bits of status are filled
  int fd = -1;                // folders: the pinned folder; otherwise -1
  std::optional<uint32_t> kernelFlags;  // nodump/immutable/append, when examined and reported
  unsigned depth = 0;         // 1 for the root's children
};

enum class WalkStep { Descend, Skip, Stop };

struct WalkVisitor {
  /// Called for every item, before a folder's contents (pre-order). Returning
  /// Descend on a folder (fd >= 0) enters it, unless it lies on another device
  /// than the root and the walk does not cross devices; for other items
  /// Descend and Skip are alike. Stop ends the walk.
  std::function<WalkStep(const WalkItem&)> enter;
  /// Called once for every folder entered, after its contents, innermost
  /// first, also when it could not be read whole (`complete` false then: not
  /// every item inside was read without error). So a visitor may push its own
  /// state for a folder when `enter` descends into it and pop it here, and its
  /// stack runs parallel to the walk's. The folder's status is read again for
  /// this call (statusKnown false when it could not be: then only its device,
  /// inode and type are filled). Once the walk stops (Stop, or an ancestor
  /// that is no longer the folder it left) nothing more is called: the folders
  /// still entered are not left, and the visitor's stack holds just those.
  std::function<void(const WalkItem&, bool complete)> leave;
  /// When false, items other than folders whose type the listing gives are
  /// not examined: the visitor gets their type only (statusKnown false) and
  /// acts on them by name, without following a link, as it would anyway.
  bool examineNonFolders = true;
  /// When true, folders on another device than the root are entered too.
  bool crossDevices = false;
  /// When true, each folder is read whole when entered and its items come in
  /// byte order of their names, whatever the locale; memory then holds the
  /// names of the folders on the way down, never the tree's.
  bool sorted = false;
  /// When true, folders are opened so that reading them leaves their access
  /// time alone where the caller may (root, or their owner).
  bool keepAccessTimes = false;
};

struct WalkError {
  int error = 0;        // 0 when the walk read everything
  std::string path;     // where the first error happened
};

/// Walks every item below the folder open at `rootFd` (whose text is
/// `rootPath`). Unless the visitor crosses devices, folders on another device
/// than the root are reported to `enter` but never entered. Reading errors
/// are recorded and the walk goes on; the first is returned.
WalkError walkTree(int rootFd, const std::string& rootPath, const WalkVisitor& visitor,
                   unsigned maxOpenFolders = 32);

/// One level: calls `take` with the name and listed type (a DT_ value) of
/// every item in the folder open at `fd`, from its read position to its end,
/// "." and ".." left out, in the order the listing gives. Returns 0, or -errno
/// when reading failed (the names read before were taken).
int readFolder(int fd, const std::function<void(const char* name, unsigned char type)>& take);
