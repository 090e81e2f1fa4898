#pragma once

#include <cstdint>
#include <optional>

// BSD file flags as the host reports them.
inline constexpr uint32_t UF_NODUMP = 0x1;
inline constexpr uint32_t UF_IMMUTABLE = 0x2;
inline constexpr uint32_t UF_APPEND = 0x4;
inline constexpr uint32_t UF_HIDDEN = 0x8000;

/// Extended attribute that keeps the flags the kernel has no inode bit for.
inline constexpr const char* kFlagsAttribute = "trusted.velmora.flags";

/// The flags word of the regular file or folder open at `fd`. Kernel inode
/// bits give nodump, immutable and append; the attribute gives the rest.
std::optional<uint32_t> readFlags(int fd);

/// Writes the flags word of the regular file or folder at `fd`, knowing it now
/// holds `current`. Unchanged parts are not written; the kernel part is written
/// first when immutability is being cleared and last when it is being set.
/// Returns 0 or an error number.
int writeFlags(int fd, uint32_t current, uint32_t wanted);

/// Flags word of the item `name` in the folder `dirFd`, without following a
/// link: a link has none; other non-folders and non-files only have the
/// attribute part. None when the item cannot be reached.
std::optional<uint32_t> readFlagsAt(int dirFd, const char* name);

/// Sets the hidden flag of the item at `path` without following a final link.
/// Returns 0 or an error number.
int setHiddenAt(int dirFd, const char* name);
