#pragma once

// The machine's own files that the identity directory and the preferences
// store read (/etc/passwd, /etc/group, /etc/machine-id and the machine-wide
// preferences folders) stand at their places, or all of them below one test
// root, so that a test sets up one small machine of its own.

#include <string>
#include <string_view>

/// The absolute `path` of a machine file as this process reads it: below the
/// test root when one is set, else as it is.
std::string fixedPlace(std::string_view path);

/// Test hook: reads every such file below `root` from now on; an empty text
/// restores their places. Homes named in that passwd file are used as written.
void setTestRoot(const std::string& root);
