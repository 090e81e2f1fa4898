#pragma once

#include <optional>
#include <string>
#include <vector>

#include "permissions/plan.h"
#include "platform/admin/home.h"
#include "platform/plist.h"
#include "platform/uuid.h"

/// The Applications folder directly in a home is closed to all but its owner,
/// after the template walk.
inline constexpr const char* kApplicationsFolder = "Applications";
inline constexpr const char* kApplicationsMode = "u=rwx,g-rwx,o-rwx";

/// The group text a repair hands to chown: the build's fixed group id, or
/// where the build says so the account's own primary group (`primaryGroup`;
/// none: empty, which chown reads as the owner's login group).
std::string repairGroupFor(std::optional<gid_t> primaryGroup);

/// The programs a repair runs before anything else: the recursive owner
/// change. `identities`, when given, names the owner and group instead of
/// the files (a check over many homes reads them once).
std::vector<ProgramRun> repairRunsBefore(const std::string& homePath, const std::string& ownerName,
                                         const std::string& groupName, const IdentityFiles* identities = nullptr);

/// The programs a repair runs after the template walk: the Applications
/// folder's mode, then the policy's runs (`policy` as loaded, or null).
std::vector<ProgramRun> repairRunsAfter(const std::string& homePath, const std::string& ownerName, plist_t policy,
                                        const IdentityFiles* identities = nullptr);

/// Puts an existing home's ownership and permissions back in order. False only
/// when the home cannot be examined.
bool repairPermissions(const std::string& templateRoot, const HeldHome& home, const std::string& ownerName,
                       const std::string& groupName, const std::optional<Uuid>& userUUID);
