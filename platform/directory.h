#pragma once

#include <sys/types.h>

#include <cstdint>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/uuid.h"

/// One account line of the identity directory.
struct AccountRecord {
  std::string shortName;
  std::string fullName;  // field 5 up to its first comma
  std::string home;      // empty when the account has no home
  uid_t uid = 0;
  gid_t gid = 0;
};

struct GroupRecord {
  std::string name;
  gid_t gid = 0;
};

inline constexpr const char* kPasswdFile = "/etc/passwd";
inline constexpr const char* kGroupFile = "/etc/group";

// A lookup given no file reads the directory's own: kPasswdFile, kGroupFile,
// below the test root when one is set (platform/test_root.h).

/// Every account of the text of a passwd file, in line order; a line that is
/// not an account is skipped.
std::vector<AccountRecord> parseAccounts(std::string_view text);

/// Every group of the text of a group file, in line order; a line that is not
/// a group is skipped.
std::vector<GroupRecord> parseGroups(std::string_view text);

/// Every account of `passwdFile`, in file order; none when it cannot be read.
std::optional<std::vector<AccountRecord>> readAccounts(const char* passwdFile = nullptr);

/// Every group of `groupFile`, in file order; none when it cannot be read.
std::optional<std::vector<GroupRecord>> readGroups(const char* groupFile = nullptr);

/// The account whose short name is exactly `name`.
std::optional<AccountRecord> accountByShortName(std::string_view name, const char* passwdFile = nullptr);

/// The account with `uid`.
std::optional<AccountRecord> accountByUid(uid_t uid, const char* passwdFile = nullptr);

/// The group named exactly `name` ("everyone" is known without a line).
std::optional<Uuid> groupUuidByName(std::string_view name, const char* groupFile = nullptr);

/// The accounts and groups of the identity files, read once for many lookups
/// (a file that cannot be read gives none).
struct IdentityFiles {
  std::vector<AccountRecord> accounts;
  std::vector<GroupRecord> groups;
  /// Optional: each UUID's qualifier text, as qualifierName gives it, by the
  /// UUID's bytes (see indexQualifiers).
  std::unordered_map<std::string, std::string> qualifiers;
};

/// The identity files as they are now.
IdentityFiles readIdentityFiles();

/// The first group named exactly `name` in `groups` ("everyone" is known
/// without a line).
std::optional<Uuid> groupUuidByName(std::string_view name, const std::vector<GroupRecord>& groups);

/// A plain decimal id (digits only, below 2^32 - 1), as a tool's operand.
std::optional<uint32_t> plainIdNumber(const std::string& text);

/// The id of the group named exactly `text`, else `text` as a plain number.
std::optional<gid_t> groupIdOf(const std::string& text, const char* groupFile = nullptr);

Uuid accountUuid(uid_t uid);
Uuid groupUuid(gid_t gid);

/// Fills `identities.qualifiers`: a run that names many entries of many
/// accounts then finds each name at once instead of hashing every account.
void indexQualifiers(IdentityFiles& identities);

/// Text qualifier for a UUID as the access-list text form writes it: the
/// user's short name, "group:NAME", or the UUID text when no one has it.
std::string qualifierName(const Uuid& uuid, const IdentityFiles& identities);
