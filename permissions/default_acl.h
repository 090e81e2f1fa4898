#pragma once

#include <sys/types.h>

#include <string>

#include "platform/acl.h"

/// The process-wide list holding one entry that denies everyone the deletion
/// of the folder it is set on; built once, never freed or changed. Borrowed by
/// callers. Null when building it failed.
hostacl::acl_t defaultDenyDeleteACL();

/// Makes `entry` the everyone deny-delete entry (its flags are not touched).
void fillDenyDeleteEntry(hostacl::acl_entry_t entry);

/// The mode of a home folder itself.
inline constexpr mode_t kHomeMode = 0750;

/// Gives the pinned home folder the deny-delete list and mode 0750; a home
/// that could not be pinned (`homeFd` < 0) gets neither. A failed list is
/// logged as "MODULE:LINE HOME".
void setHomeListAndMode(int homeFd, const std::string& homePath, const char* module, int line);
