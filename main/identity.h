#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/directory.h"
#include "platform/uuid.h"

/// The identity directory's record of one account.
struct Identity {
  std::string shortName;
  uid_t uid = 0;
  gid_t gid = 0;  // the primary group
  std::optional<std::string> home;
  Uuid uuid;
};

/// The one account whose short name or full name equals `name`; none when no
/// account or more than one matches, or when there is no name.
std::optional<Identity> lookupIdentity(const std::optional<std::string>& name);

/// The identity of one account record, as a lookup that finds it gives it.
Identity identityOf(const AccountRecord& account);

/// lookupIdentity over the given accounts file.
std::optional<Identity> lookupIdentityIn(const std::optional<std::string>& name, const char* passwdFile);
