#pragma once

// The host's extended access control lists, behind the POSIX.1e-style calls
// the tool is written against. A list is stored whole in one extended
// attribute of the item; the Linux kernel records it but does not enforce it.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/acl_codec.h"

namespace hostacl {

struct AclList {
  std::vector<AclEntry> entries;
};

using acl_t = AclList*;
using acl_entry_t = AclEntry*;
using acl_permset_t = uint32_t*;
using acl_flagset_t = uint32_t*;
using acl_tag_t = uint32_t;
using acl_perm_t = uint32_t;
using acl_flag_t = uint32_t;
using acl_type_t = int;

// The calls below keep the POSIX.1e names and arguments, but each returns 0
// or -errno as everything in platform/ does, and none sets errno.

/// A new, empty list with room for `count` entries; none for a negative count.
acl_t acl_init(int count);
int acl_free(void* object);
/// Appends an entry to `*list`; `*entry` stays valid until the next append.
int acl_create_entry(acl_t* list, acl_entry_t* entry);
int acl_set_tag_type(acl_entry_t entry, acl_tag_t kind);
int acl_get_permset(acl_entry_t entry, acl_permset_t* permset);
int acl_clear_perms(acl_permset_t permset);
int acl_add_perm(acl_permset_t permset, acl_perm_t perm);
int acl_set_permset(acl_entry_t entry, acl_permset_t permset);
int acl_set_qualifier(acl_entry_t entry, const void* uuidBytes);
int acl_get_flagset_np(acl_entry_t entry, acl_flagset_t* flagset);
int acl_clear_flags_np(acl_flagset_t flagset);
int acl_add_flag_np(acl_flagset_t flagset, acl_flag_t flag);
int acl_set_flagset_np(acl_entry_t entry, acl_flagset_t flagset);
/// Replaces the whole list of the item open at `fd` (a regular file or folder;
/// an O_PATH pin of any other item works too).
int acl_set_fd_np(int fd, acl_t list, acl_type_t type);

/// The list of the item open at `fd`; empty when it has none. None, with
/// -errno in `error`, when it cannot be read (-EINVAL: a malformed list).
std::optional<std::vector<AclEntry>> readAclFd(int fd, int* error);
/// The list of the item `name` in `dirFd`, never following a link.
std::optional<std::vector<AclEntry>> readAclAt(int dirFd, const char* name, int* error);
/// The list of the item pinned (O_PATH, not following) at `pinnedFd`, whose
/// type bits are in `mode`; a link has none.
std::optional<std::vector<AclEntry>> readAclPinned(int pinnedFd, mode_t mode, int* error);
/// Stores `entries` as the whole list of the item at `fd` (any descriptor,
/// O_PATH included). Returns 0 or -errno.
int writeAclFd(int fd, const std::vector<AclEntry>& entries);

}  // namespace hostacl
