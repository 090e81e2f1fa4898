#pragma once

#include <optional>
#include <string>

#include "platform/admin/home.h"
#include "platform/uuid.h"

/// Puts an existing home's ownership and permissions back in order. False only
/// when the home cannot be examined.
bool repairPermissions(const std::string& templateRoot, const HeldHome& home, const std::string& ownerName,
                       const std::string& groupName, const std::optional<Uuid>& userUUID);
