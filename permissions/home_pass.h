#pragma once

#include <optional>
#include <string>

#include "platform/admin/home.h"
#include "platform/uuid.h"

/// Without a policy, a home's Sites/Streaming goes to this group, whole.
inline constexpr const char* kStreamingFolder = "Sites/Streaming";
inline constexpr const char* kStreamingGroup = "vexa";

/// Gives a whole home its permissions: the home itself, every item below it,
/// then the machine's policy or the built-in commands. True on success.
bool setPermissions(const HeldHome& home, const std::optional<std::string>& userName,
                    const std::optional<std::string>& userIdText, const std::optional<std::string>& groupIdText,
                    const std::optional<Uuid>& userUUID);
