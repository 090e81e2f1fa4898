#pragma once

#include <string>

#include "platform/plist.h"

/// Hides the home's Library folder unless the tool has done so once already.
void hideLibraryFolder(const std::string& libraryPath);

/// Writes `priorGlobalPreferences` back over the global preferences file.
void mergeGlobalPreferences(const std::string& globalPrefsPath, plist_t priorGlobalPreferences);

/// Writes the user's locale preference from `language` and the machine's country.
void setUserLocale(const std::string& userName, const std::string& language);
