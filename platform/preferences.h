#pragma once

// The preferences store: property-list files addressed by key, application
// domain, user scope and host scope.

#include <optional>
#include <string>

#include "platform/plist.h"

inline constexpr const char* kAnyApplication = ".GlobalPreferences";

struct PreferenceScope {
  // User: none is any-user; otherwise a short name ("root" for the current
  // user, who is always root here).
  std::optional<std::string> user;
  bool currentHost = false;  // false is any-host
};

/// The file that holds `domain` for `scope`.
std::string preferencesFile(const std::string& domain, const PreferenceScope& scope);

/// The value of `key` (a copy) or none.
PlistRef copyPreference(const std::string& key, const std::string& domain, const PreferenceScope& scope);

/// Sets `key` to `value` (borrowed) in `domain` for `scope`; a null value
/// removes the key. Returns false when the store could not be written.
bool setPreference(const std::string& key, plist_t value, const std::string& domain,
                   const PreferenceScope& scope);

/// Writes pending changes of `domain` for `scope` to disk. Writes are
/// immediate here, so this only reports whether the file is readable.
bool synchronizePreferences(const std::string& domain, const PreferenceScope& scope);

/// Application-level boolean for the current user: looks at current-user /
/// current-host, current-user / any-host, any-user / current-host, any-user /
/// any-host and takes the first file that holds the key. `exists` says whether
/// the key was found with a valid boolean form.
bool appBooleanValue(const std::string& key, const std::string& domain, bool* exists);

/// Application-level write for the current user and any-host.
bool setAppValue(const std::string& key, plist_t value, const std::string& domain);
