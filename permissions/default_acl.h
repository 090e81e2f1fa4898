#pragma once

#include <sys/types.h>

#include <string>

#include "platform/acl.h"
#include "platform/admin/home.h"

/// The process-wide list holding one entry that denies everyone the deletion
/// of the folder it is set on; built once, never freed or changed. Borrowed by
/// callers. Null when building it failed.
hostacl::acl_t defaultDenyDeleteACL();

/// Makes `entry` the everyone deny-delete entry (its flags are not touched).
void fillDenyDeleteEntry(hostacl::acl_entry_t entry);

/// The mode of a home folder itself.
inline constexpr mode_t kHomeMode = 0750;

/// Gives the held home the deny-delete list and mode 0750, through its pin,
/// whatever it is but a link (never followed) or a file with other names
/// that does not belong to `linkedFileOwner` (left alone, and logged). A home
/// that is missing gets neither. A failed list is logged as "MODULE:LINE HOME".
/// False when the home was left alone for its links.
bool setHomeListAndMode(const HeldHome& home, uid_t linkedFileOwner, const char* module, int line);
