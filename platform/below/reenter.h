#pragma once

// Going back up to a folder whose descriptor was closed on the way down, to
// keep few descriptors open in deep trees. The folder is reopened from its
// open child: by file handle when the kernel allows it, else through "..".
// (On a bind mount the kernel checks each ".." against the mount's root,
// which costs the whole depth; a handle of a cached folder costs nothing of
// the kind.) Either way the folder reached must be the one left, by device
// and inode, and the child must still stand in it under its name, so a tree
// moved or swapped meanwhile stops the walk instead of misleading it.

#include <sys/stat.h>

#include <cstdint>

struct FolderMark {
  dev_t device = 0;
  ino_t inode = 0;
  int handleType = 0;
  uint8_t handleBytes = 0;  // 0: no handle, only ".." will do
  unsigned char handle[22] = {};
};

/// Notes what re-entering the folder open at `fd` (with `status`) takes,
/// just before it is closed.
void markFolder(int fd, const struct stat& status, FolderMark* mark);

/// Adds the handle of the folder open at `fd` to `mark`, which holds its
/// device and inode already: for a level given up to keep the bound.
void addHandle(int fd, FolderMark* mark);

/// Device and inode alone, for a folder whose handle is not wanted (it stays open).
inline FolderMark plainMark(const struct stat& status) {
  FolderMark mark;
  mark.device = status.st_dev;
  mark.inode = status.st_ino;
  return mark;
}

/// Reopens the folder `mark` (O_RDONLY|O_DIRECTORY) from its child open at
/// `childFd`, named `childName` in it and marked `child`. Returns the
/// descriptor, or -errno (ESTALE when the folder or the child is not the
/// one left).
int reenterFolder(const FolderMark& mark, int childFd, const char* childName, const FolderMark& child);
