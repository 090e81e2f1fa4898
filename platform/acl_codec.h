#pragma once

// Access-list entries and their two forms: the stored value of the attribute
// trusted.velmora.acl, and the text form that chmod +a takes and hostls shows.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory.h"
#include "platform/uuid.h"

namespace hostacl {

inline constexpr const char* kAclAttribute = "trusted.velmora.acl";

// Entry kinds (tag types).
inline constexpr uint32_t ACL_EXTENDED_ALLOW = 1;
inline constexpr uint32_t ACL_EXTENDED_DENY = 2;

// Permissions.
inline constexpr uint32_t ACL_LIST_DIRECTORY = 0x2;
inline constexpr uint32_t ACL_ADD_FILE = 0x4;
inline constexpr uint32_t ACL_SEARCH = 0x8;
inline constexpr uint32_t ACL_DELETE = 0x10;
inline constexpr uint32_t ACL_ADD_SUBDIRECTORY = 0x20;
inline constexpr uint32_t ACL_DELETE_CHILD = 0x40;
inline constexpr uint32_t ACL_READ_ATTRIBUTES = 0x80;
inline constexpr uint32_t ACL_WRITE_ATTRIBUTES = 0x100;
inline constexpr uint32_t ACL_READ_EXTATTRIBUTES = 0x200;
inline constexpr uint32_t ACL_WRITE_EXTATTRIBUTES = 0x400;
inline constexpr uint32_t ACL_READ_SECURITY = 0x800;
inline constexpr uint32_t ACL_WRITE_SECURITY = 0x1000;
inline constexpr uint32_t ACL_CHANGE_OWNER = 0x2000;
/// All thirteen, as the owner of a Drop Box folder is allowed them.
inline constexpr uint32_t ACL_ALL_PERMISSIONS =
    ACL_LIST_DIRECTORY | ACL_ADD_FILE | ACL_SEARCH | ACL_DELETE | ACL_ADD_SUBDIRECTORY | ACL_DELETE_CHILD |
    ACL_READ_ATTRIBUTES | ACL_WRITE_ATTRIBUTES | ACL_READ_EXTATTRIBUTES | ACL_WRITE_EXTATTRIBUTES |
    ACL_READ_SECURITY | ACL_WRITE_SECURITY | ACL_CHANGE_OWNER;

// Inheritance flags.
inline constexpr uint32_t ACL_ENTRY_FILE_INHERIT = 0x20;
inline constexpr uint32_t ACL_ENTRY_DIRECTORY_INHERIT = 0x40;

// The extended list type.
inline constexpr int ACL_TYPE_EXTENDED = 0x100;

struct AclEntry {
  uint32_t kind = 0;
  uint32_t perms = 0;
  uint32_t flags = 0;
  Uuid qualifier;
  bool operator==(const AclEntry&) const = default;
};

/// The stored form of a list (the empty list is no attribute at all).
std::string encodeAcl(const std::vector<AclEntry>& entries);
/// Decodes a stored value; none when it is malformed.
std::optional<std::vector<AclEntry>> decodeAcl(std::string_view value);

/// Text form "QUALIFIER KIND PERM[,PERM...]" of one entry, the qualifier
/// named as `identities` name it.
std::string formatAclEntry(const AclEntry& entry, const IdentityFiles& identities);
/// Parses the text form, names taken from `identities`; none when it is
/// malformed or names no known account.
std::optional<AclEntry> parseAclEntry(std::string_view text, std::string* error, const IdentityFiles& identities);

// The same for a single entry, reading the identity files for it: a caller of
// many reads them once (readIdentityFiles) and hands them in.
std::string formatAclEntry(const AclEntry& entry);
std::optional<AclEntry> parseAclEntry(std::string_view text, std::string* error);

/// Where `entry` goes in `entries`: deny entries before allow entries, an
/// identical entry already present leaves the list as it is. Returns true when
/// the list changed.
bool insertAclEntry(std::vector<AclEntry>& entries, const AclEntry& entry);

}  // namespace hostacl
