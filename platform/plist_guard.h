#pragma once

// Property lists that someone other than root could have written are parsed
// in a child process with no privileges and tight limits; the child hands
// back a small re-encoded copy that the tool rebuilds without libplist's
// parsers. The in-process steps are exposed for tests and fuzzing.

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/plist.h"

/// Containers nested deeper than this read as unparsable and are never written.
inline constexpr int kPlistMaxDepth = 64;

/// A copy holds at most this many values and keys, and this many bytes.
inline constexpr size_t kPlistMaxNodes = size_t{1} << 17;
inline constexpr size_t kPlistMaxCopySize = size_t{8} << 20;

/// What the child runs: parses `bytes` (binary or XML) with libplist and
/// returns the copy; none when they are not a property list, exceed a limit,
/// or hold a NUL inside a string or key. Parses in this process, so it is for
/// inputs already known to be small (tests, fuzzing) or for the child itself.
std::optional<std::string> checkAndEncodePlist(std::string_view bytes);

/// The copy of `node`, under the same limits; none when it exceeds one.
std::optional<std::string> encodeGuardedPlist(plist_t node);

/// Rebuilds a node from a copy, checking every length against what remains
/// and every limit; none for anything malformed.
PlistRef decodeGuardedPlist(std::string_view encoded);

/// The whole guarded path: `bytes` parsed in a child process; none when they
/// are not a property list within the limits, or the child fails in any way.
PlistRef parseUntrustedPlist(std::string_view bytes);

/// True when libplist can write `node` faithfully: no NUL inside a string or
/// key, nesting within kPlistMaxDepth.
bool plistIsWritable(plist_t node);

#ifdef HOLLIN_PAUSE_POINTS
/// Test builds only: what the child sees of itself once it is set up to
/// parse, told back through its pipe instead of a copy.
struct PlistChildReport {
  uid_t uids[3];  // real, effective, saved
  gid_t gids[3];
  int groups;  // supplementary groups, or -1
  int noNewPrivileges;  // PR_GET_NO_NEW_PRIVS, or -1
  int dumpable;  // PR_GET_DUMPABLE, or -1
  rlimit limits[7];  // core, file size, processes, open files, stack, CPU, data
  int openDescriptors;  // below 1024
};
std::optional<PlistChildReport> plistChildReport();

/// Test builds only: how many parses this process has handed to a child.
uint64_t plistChildParses();
#endif
