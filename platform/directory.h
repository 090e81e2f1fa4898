#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
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

/// Every account of `passwdFile`, in file order; none when it cannot be read.
std::optional<std::vector<AccountRecord>> readAccounts(const char* passwdFile = kPasswdFile);

/// Every group of `groupFile`, in file order; none when it cannot be read.
std::optional<std::vector<GroupRecord>> readGroups(const char* groupFile = kGroupFile);

/// The account whose short name is exactly `name`.
std::optional<AccountRecord> accountByShortName(std::string_view name, const char* passwdFile = kPasswdFile);

/// The account with `uid`.
std::optional<AccountRecord> accountByUid(uid_t uid, const char* passwdFile = kPasswdFile);

/// The group named exactly `name` ("everyone" is known without a line).
std::optional<Uuid> groupUuidByName(std::string_view name, const char* groupFile = kGroupFile);

Uuid accountUuid(uid_t uid);
Uuid groupUuid(gid_t gid);

/// Text qualifier for a UUID as the access-list text form writes it: the
/// user's short name, "group:NAME", or the UUID text when no one has it.
std::string qualifierName(const Uuid& uuid);
