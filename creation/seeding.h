#pragma once

// Preference seeding for a freshly copied home. Everything inside the home is
// reached from the home folder's descriptor without following any link, so a
// home whose Library or Library/Preferences is a link changes nothing
// outside it.

#include <string>

#include "platform/admin/home.h"
#include "platform/plist.h"

/// Application domain and key of the tool's own "Library hidden once" flag.
inline constexpr const char* kToolPreferencesDomain = "com.velmora.Tessmark";
inline constexpr const char* kHidLibraryFolderKey = "com.velmora.HidLibraryFolderAlready";

/// Hides HOME/Library unless the tool has done so once already on this
/// machine; sets that flag either way. Logs a failure to hide. A Library that
/// is a file with other names is hidden only when it belongs to `owner`, the
/// home's new owner.
void hideLibraryFolder(const HeldHome& home, uid_t owner);

/// HOME/Library/Preferences/.GlobalPreferences.plist as a dictionary, read
/// without following a link; none when missing or not a dictionary.
PlistRef readGlobalPreferences(const HeldHome& home);

/// Writes `priorGlobalPreferences` back over HOME's global preferences file,
/// its entries winning, replacing the file atomically. Logs a failure to
/// remove the old file.
void mergeGlobalPreferences(const HeldHome& home, plist_t priorGlobalPreferences);

/// Writes the user's locale preference from `language` and the machine's country.
void setUserLocale(const std::string& userName, const std::string& language);
