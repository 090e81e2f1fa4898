#pragma once

#include <optional>
#include <string>

#include "platform/uuid.h"

/// Builds the home at `homePath` from the template and ends the process with
/// status 0, or 1 when a copy or the timestamp refresh failed.
[[noreturn]] void createHomeFromTemplate(const std::string& templateRoot, const std::string& homePath,
                                         const std::optional<std::string>& userIdText,
                                         const std::optional<std::string>& groupIdText,
                                         const std::optional<std::string>& language,
                                         const std::optional<std::string>& userName,
                                         const std::optional<Uuid>& userUUID);
