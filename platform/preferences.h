#pragma once

// The preferences store: property-list files addressed by key, application
// domain, user scope and host scope.
//
// Any-user preferences live in /Library/Preferences; a named user's in
// HOME/Library/Preferences (HOME from the identity directory), or in
// /Library/Preferences/Users/NAME when the name has no account or no home.
// Current-host files sit in the ByHost folder as DOMAIN.HOSTID.plist, HOSTID
// being the first line of /etc/machine-id ("localhost" when missing).
//
// Inside a home no symbolic link is followed: the home is opened from the
// identity directory's path and everything below it is reached from that
// descriptor. What the store creates there belongs to the account (folders
// 0700, files 0600); outside homes it belongs to root (folders 0755, files
// 0644). A file that cannot be read as a dictionary reads as empty, and is
// kept as NAME.corrupt before a write replaces it.
//
// The machine's places here (the preferences folders, /etc/passwd,
// /etc/machine-id) move below a test root with setTestRoot (test_root.h).

#include <optional>
#include <string>

#include "platform/plist.h"

inline constexpr const char* kAnyApplication = ".GlobalPreferences";

struct PreferenceScope {
  // User: none is any-user; otherwise a short name (currentUserName() for the
  // user the process runs as).
  std::optional<std::string> user;
  bool currentHost = false;  // false is any-host
};

/// Short name of the account of the process's effective uid (uid 0 without
/// an account line is "root").
std::string currentUserName();

/// The file that holds `domain` for `scope`, as text (for messages); none when
/// the domain or user name cannot name a file.
std::optional<std::string> preferencesFile(const std::string& domain, const PreferenceScope& scope);

/// The value of `key` (a copy) or none.
PlistRef copyPreference(const std::string& key, const std::string& domain, const PreferenceScope& scope);

/// Sets `key` to `value` (borrowed, copied) in `domain` for `scope`; a null
/// value removes the key. Returns 0, or -errno when the store could not be
/// written (-EINVAL for a domain or user name that names no file).
int setPreference(const std::string& key, plist_t value, const std::string& domain, const PreferenceScope& scope);

/// Writes pending changes of `domain` for `scope` to disk. Writes reach the
/// disk as they are made, so this only reports whether the domain's file is
/// absent or readable as a dictionary: 0 if so, else -errno (-EINVAL for a
/// file that is not a dictionary).
int synchronizePreferences(const std::string& domain, const PreferenceScope& scope);

/// Application-level value for the current user: looks at current-user /
/// current-host, current-user / any-host, any-user / current-host, any-user /
/// any-host and takes the first file that holds the key.
PlistRef copyAppValue(const std::string& key, const std::string& domain);

/// The same lookup read as a boolean. A boolean, a number (non-zero is true)
/// and the texts YES/NO/true/false (any case) are valid forms; none when the
/// key is not found with one of them.
std::optional<bool> appBooleanValue(const std::string& key, const std::string& domain);

/// Application-level write for the current user and any-host. Returns 0 or
/// -errno, as setPreference.
int setAppValue(const std::string& key, plist_t value, const std::string& domain);
