#pragma once

#include <optional>
#include <string>

#include "platform/admin/home.h"
#include "platform/plist.h"

/// A rule of the policy file is a dictionary with "Command", "Argument" and
/// "Paths"; the loaded policy is the file's top-level array.

/// The machine-wide policy (an array, possibly empty), or null when there is
/// none that can be read.
PlistRef loadPermissionPolicy();

/// Carries the rules out on the home, one tool run per existing path; always
/// true. A path reached through a symbolic link is not handed to a tool.
bool runPermissionPolicy(const HeldHome& home, const std::optional<std::string>& userName, plist_t rules);
