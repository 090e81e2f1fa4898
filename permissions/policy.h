#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/admin/home.h"
#include "platform/plist.h"

/// A rule of the policy file is a dictionary with "Command", "Argument" and
/// "Paths"; the loaded policy is the file's top-level array.

/// One tool run that a policy asks for, before its path is looked at.
struct PolicyStep {
  const char* tool;       // kChmodTool or kChgrpTool
  std::string argument;   // the user's name already in place of its marker
  std::string relative;   // below the home
};

inline constexpr const char* kChmodTool = "/bin/chmod";
inline constexpr const char* kChgrpTool = "/usr/bin/chgrp";

/// Every tool run of `rules` for the user, in the order they run; rules and
/// entries that run nothing are left out.
std::vector<PolicyStep> policySteps(plist_t rules, const std::optional<std::string>& userName);

/// The machine-wide policy (an array, possibly empty), or null when there is
/// none that can be read.
PlistRef loadPermissionPolicy();

/// Carries the rules out on the home, one tool run per existing path; always
/// true. A path reached through a symbolic link is not handed to a tool.
bool runPermissionPolicy(const HeldHome& home, const std::optional<std::string>& userName, plist_t rules);
