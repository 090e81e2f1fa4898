#include "main/identity.h"

#include "platform/directory.h"
#include "platform/syslog.h"

// The directory is the local accounts file only, so no network directory is
// ever asked. An account matches on its short name or its full name, and the
// lookup never chooses among several: exactly one match or none.
std::optional<Identity> lookupIdentityIn(const std::optional<std::string>& name, const char* passwdFile) {
  if (!name) return std::nullopt;
  const std::optional<std::vector<AccountRecord>> accounts = readAccounts(passwdFile);
  if (!accounts) {
    logLine("OstrelQueryExecute failed");
    return std::nullopt;
  }
  const AccountRecord* found = nullptr;
  for (const AccountRecord& account : *accounts) {
    if (account.shortName != *name && account.fullName != *name) continue;
    if (found) return std::nullopt;
    found = &account;
  }
  if (!found) return std::nullopt;
  return identityOf(*found);
}

Identity identityOf(const AccountRecord& account) {
  Identity identity;
  identity.shortName = account.shortName;
  identity.uid = account.uid;
  identity.gid = account.gid;
  // The home as a path has no trailing separator ("/" stays itself).
  std::string home = account.home;
  while (home.size() > 1 && home.ends_with('/')) home.pop_back();
  if (!home.empty()) identity.home = home;
  identity.uuid = accountUuid(account.uid);
  return identity;
}

std::optional<Identity> lookupIdentity(const std::optional<std::string>& name) {
  return lookupIdentityIn(name, kPasswdFile);
}
