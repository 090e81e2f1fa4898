#pragma once

// Resolving a path that root was handed, one component at a time from a held
// descriptor. A symbolic link is followed only where root alone could have
// placed it: the link is owned by root and the folder that holds it is owned
// by root with no group or other write bit (a sticky world-writable folder
// does not count). Any other link, in any component, refuses the path with
// ELOOP. Nothing is resolved by its full text, so the path's length is not
// limited by PATH_MAX.

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd.h"

/// What to do when the last component is a symbolic link.
enum class FinalLink {
  Follow,  // follow it under the trusted-link rule, as any other component
  Refuse,  // never follow it: ELOOP
  Keep,    // stop at the link itself (only with O_PATH)
};

/// Opens `path` (absolute, or relative to the working folder) with `flags`
/// (O_CLOEXEC is added). Returns the descriptor, or -errno.
int openTrusted(std::string_view path, int flags, FinalLink final);

/// An item named by path, pinned where the resolution ended.
struct TrustedPin {
  int fd = -1;               // the item, O_PATH; the caller closes it
  struct stat status {};     // of the item (a kept final link: the link)
  uid_t holderOwner = 0;     // owner of the folder that holds the item
};

/// Pins what `path` names under the rule above, and says who owns the folder
/// it was found in: the owner a change leads to when a program is not told
/// one. Returns 0 or -errno.
int pinTrusted(std::string_view path, FinalLink final, TrustedPin* out);

/// The folders of the last path pinned through it, outermost first, each held
/// open: a program handed many paths in walk order (`find ... -exec touch {} +`)
/// finds the next item mostly in one of them and walks only the rest of its
/// path. At most kMost are kept, the innermost.
struct TrustedFolders {
  static constexpr size_t kMost = 64;
  struct Held {
    std::string path;
    UniqueFd fd;
    uid_t owner = 0;  // when it was pinned
  };
  std::vector<Held> chain;
};

/// pinTrusted with FinalLink::Keep, starting from the deepest folder in
/// `held` that holds the item: below it each component is pinned without
/// following; where one is a link, or the path is not absolute and plain
/// (".", ".." or empty components), the whole path is resolved from the top
/// as pinTrusted does. A held folder is the one that stood at its path when it
/// was pinned, with the owner it had then, as in any walk. Returns 0 or -errno.
int pinTrustedNear(TrustedFolders& held, std::string_view path, TrustedPin* out);

/// Opens the folder that holds the last component of `path`, following trusted
/// links on the way, and gives that component in `name` (never empty; "." when
/// the path is "/" or ends in "." or ".." and so names the folder itself).
/// Trailing separators are ignored: the last component is never followed.
/// Returns the folder's descriptor (O_PATH), or -errno.
int openTrustedParent(std::string_view path, std::string* name);

/// True when the link pinned at `linkFd` (O_PATH) lies in the folder `dirFd`
/// where only root could have made it.
bool isTrustedLink(int dirFd, int linkFd);

/// The whole content of the file `path` names, read under the trusted-link
/// rule, at most `limit` bytes. None, with -errno in `error` (-EFBIG beyond
/// the limit), when it cannot be read.
std::optional<std::string> readTrusted(std::string_view path, size_t limit, int* error);

/// The status of what `path` names under the trusted-link rule (a final link
/// is followed only when trusted). None, with -errno in `error`, when it
/// cannot be had.
std::optional<struct stat> statTrusted(std::string_view path, int* error);

/// True when something exists at `path` under the trusted-link rule (a final
/// link is followed only when trusted); `status`, when given, receives it.
bool existsTrusted(std::string_view path, struct stat* status = nullptr);
