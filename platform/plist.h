#pragma once

// Property lists (binary or XML) through libplist. A PlistRef owns one node.
// Every parse of file bytes goes through the guard (plist_guard.h): a child
// process without privileges parses, and this process rebuilds its copy.

#include <plist/plist.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistRef = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

/// Files larger than this are not read as property lists.
inline constexpr size_t kPlistMaxFileSize = 8 * 1024 * 1024;

/// Parses `bytes` (binary or XML) in the guarded child; none when they are not
/// a property list within the guard's limits. The bytes this process last
/// wrote with writePlistAt read back as a copy of what was written, unparsed.
PlistRef parsePlist(const std::string& bytes);

/// Reads the file at `path` as a property list whose top level is a dictionary
/// (or an array); none otherwise. Links on the way are followed only where
/// root placed them; these are for places that the administrator names.
PlistRef readPlistDictionary(const std::string& path);
PlistRef readPlistArray(const std::string& path);

/// Reads the regular file at `relative` below the folder open at `dirFd`,
/// following no link on the way and leaving nothing of that folder. None when
/// it cannot, with -errno in `error`: -ENOENT when absent, -ELOOP for a link,
/// -EISDIR for a folder, -EINVAL for any other non-regular item, -EFBIG above
/// the size limit.
std::optional<std::string> readFileBeneath(int dirFd, const std::string& relative, int* error);

/// The file at `relative` below `dirFd` (read as readFileBeneath does) as a
/// dictionary; none when it is missing or cannot be read as one.
PlistRef readPlistDictionaryBeneath(int dirFd, const std::string& relative);

/// True when `node` is a dictionary (an array).
bool isPlistDictionary(plist_t node);
bool isPlistArray(plist_t node);

/// The text of a string node; none for any other node.
std::optional<std::string> plistString(plist_t node);

/// Serializes `node` as XML; empty when libplist could not write it
/// faithfully (a NUL inside a string or key, nesting over the guard's depth).
std::string plistToXml(plist_t node);

/// Owner and mode that a file written by writePlistAt ends with.
struct PlistFileAttributes {
  mode_t mode = 0600;
  std::optional<uid_t> owner;  // none keeps the writer's (root)
  std::optional<gid_t> group;
};

/// Replaces the file `name` in the folder `dirFd` with `node` in XML form,
/// atomically: a temporary file beside it, given its owner and mode before any
/// byte is written, flushed, then renamed over `name`. A link at `name` is
/// replaced, never followed. Returns 0 or -errno (-EINVAL for a node that
/// plistToXml refuses).
int writePlistAt(int dirFd, const std::string& name, plist_t node, const PlistFileAttributes& attributes);
