#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

// BSD file flags as the host reports them.
inline constexpr uint32_t UF_NODUMP = 0x1;
inline constexpr uint32_t UF_IMMUTABLE = 0x2;
inline constexpr uint32_t UF_APPEND = 0x4;
inline constexpr uint32_t UF_HIDDEN = 0x8000;

/// The flags the kernel keeps as inode bits, and those among them that also
/// freeze an item's extended attributes (and so must be lifted to change them).
inline constexpr uint32_t kKernelFlags = UF_NODUMP | UF_IMMUTABLE | UF_APPEND;
inline constexpr uint32_t kFreezingFlags = UF_IMMUTABLE | UF_APPEND;

/// Extended attribute that keeps the flags the kernel has no inode bit for.
inline constexpr const char* kFlagsAttribute = "trusted.velmora.flags";

/// The flags word of the regular file or folder open at `fd`. Kernel inode
/// bits give nodump, immutable and append; the attribute gives the rest. None,
/// with -errno in `error`, when either part cannot be read.
std::optional<uint32_t> readFlags(int fd, int* error);

/// Writes the flags word of the regular file or folder at `fd`, knowing it now
/// holds `current`. Unchanged parts are not written; the kernel part is written
/// first when immutability is being cleared and last when it is being set.
/// Returns 0 or -errno.
int writeFlags(int fd, uint32_t current, uint32_t wanted);

/// Sets nodump, immutable and append of the regular file or folder at `fd` as
/// they are in `wanted`, keeping the inode's other bits; the attribute part is
/// not touched. Writes nothing when they already match. Returns 0 or -errno.
int writeKernelFlags(int fd, uint32_t wanted);

/// The kernel part of the flags word (nodump, immutable, append) as `statx`
/// reported it, so that a walk learns it without asking the item again; none
/// when the file system does not report all three.
std::optional<uint32_t> kernelFlagsOf(const struct statx& status);

/// The flags word as a listing shows it: "nodump", "uchg", "uappnd", "hidden"
/// and any other bits as one 0x word, joined by commas; "-" for none.
std::string flagNames(uint32_t flags);

/// Flags word of the item `name` in the folder `dirFd`, without following a
/// link: a link has none; other non-folders and non-files only have the
/// attribute part. None, with -errno in `error`, when it cannot be read.
std::optional<uint32_t> readFlagsAt(int dirFd, const char* name, int* error);

/// Flags word of the item pinned (O_PATH, not following) at `pinnedFd`, whose
/// type bits are in `mode`: a link has none; a regular file or folder is
/// reopened through the pin for the kernel part; other items only have the
/// attribute part and are never opened. None, with -errno in `error`, on
/// failure.
std::optional<uint32_t> readFlagsPinned(int pinnedFd, mode_t mode, int* error);

/// Sets the hidden flag of the item `name` in `dirFd` without following a
/// final link (a link has no flags: -ELOOP). A file with other names that does
/// not belong to `owner` is left as it is: -EMLINK, with its status in
/// `leftAlone`. Returns 0 or -errno.
int setHiddenAt(int dirFd, const char* name, uid_t owner, struct stat* leftAlone);
