#pragma once

#include <optional>
#include <string>

#include "platform/admin/home.h"
#include "platform/uuid.h"

/// The Applications folder directly in a home is closed to all but its owner,
/// after the template walk.
inline constexpr const char* kApplicationsFolder = "Applications";
inline constexpr const char* kApplicationsMode = "u=rwx,g-rwx,o-rwx";

/// Puts an existing home's ownership and permissions back in order. False only
/// when the home cannot be examined.
bool repairPermissions(const std::string& templateRoot, const HeldHome& home, const std::string& ownerName,
                       const std::string& groupName, const std::optional<Uuid>& userUUID);
