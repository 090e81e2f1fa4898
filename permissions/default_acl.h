#pragma once

#include "platform/acl.h"

/// The process-wide list holding one entry that denies everyone the deletion
/// of the folder it is set on; built once, never freed or changed. Borrowed by
/// callers. Null when building it failed.
hostacl::acl_t defaultDenyDeleteACL();

/// Makes `entry` the everyone deny-delete entry (its flags are not touched).
void fillDenyDeleteEntry(hostacl::acl_entry_t entry);
