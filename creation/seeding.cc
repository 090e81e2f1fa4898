#include "creation/seeding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "creation/log_sites.h"
#include "permissions/item_rules.h"
#include "platform/below/beneath.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/locale.h"
#include "platform/path.h"
#include "platform/preferences.h"
#include "platform/syslog.h"

namespace {

constexpr const char* kLibrary = "Library";
constexpr const char* kPreferencesBelowHome = "Library/Preferences";
constexpr const char* kGlobalPreferencesFile = ".GlobalPreferences.plist";
constexpr const char* kCountryKey = "Country";
constexpr const char* kLocaleKey = "VelmoraLocale";
constexpr const char* kDefaultCountry = "US";

std::string describe(const std::string& path, int error) { return path + ": " + std::strerror(error); }

std::string globalPreferencesPath(const std::string& homePath) {
  return joinPath(joinPath(joinPath(homePath, kLibrary), "Preferences"), kGlobalPreferencesFile);
}

// Why a home could not be held, for the lines that name it.
int unheldReason(const HeldHome& home) { return !home.examined ? ENOENT : S_ISLNK(home.status.st_mode) ? ELOOP : ENOTDIR; }

// Returns 0 or -errno.
int hideLibraryInHome(const HeldHome& home, uid_t owner, struct stat* leftAlone) {
  if (!home.folder.valid()) return -unheldReason(home);
  return setHiddenAt(home.folder.get(), kLibrary, owner, leftAlone);
}

// Removes the global preferences file from the Preferences folder, noting the
// owner and mode it had so that the merged file can take them over.
int removeGlobalPreferences(int preferencesFd, PlistFileAttributes* attributes) {
  struct stat st {};
  if (fstatat(preferencesFd, kGlobalPreferencesFile, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISREG(st.st_mode)) {
    attributes->mode = st.st_mode & 0777;
    attributes->owner = st.st_uid;
    attributes->group = st.st_gid;
  }
  const int flags = S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0;
  return unlinkat(preferencesFd, kGlobalPreferencesFile, flags) == 0 ? 0 : errno;
}

// Without an earlier file to copy them from, the merged file belongs to
// whoever owns the Preferences folder, readable by that owner alone.
PlistFileAttributes folderOwnerAttributes(int preferencesFd) {
  PlistFileAttributes attributes;
  struct stat st {};
  if (fstat(preferencesFd, &st) == 0) {
    attributes.owner = st.st_uid;
    attributes.group = st.st_gid;
  }
  return attributes;
}

// The dictionary as the localized copy left it, with every prior entry put
// over it. When the file no longer reads as a dictionary the prior entries
// alone make the new file.
PlistRef mergedDictionary(int homeFd, plist_t prior) {
  PlistRef merged;
  if (homeFd >= 0) {
    merged = readPlistDictionaryBeneath(homeFd, std::string(kPreferencesBelowHome) + "/" + kGlobalPreferencesFile);
  }
  if (!merged) merged.reset(plist_new_dict());
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(prior, &iter);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(prior, iter, &key, &value);
    if (key == nullptr) break;
    if (value != nullptr) plist_dict_set_item(merged.get(), key, plist_copy(value));
    free(key);
  }
  free(iter);
  return merged;
}

}  // namespace

void hideLibraryFolder(const HeldHome& home, uid_t owner) {
  if (appBooleanValue(kHidLibraryFolderKey, kToolPreferencesDomain).value_or(false)) return;
  struct stat linked {};
  if (const int error = hideLibraryInHome(home, owner, &linked); error == -EMLINK) {
    logLeftAloneForLinks(joinPath(home.path, kLibrary), linked, owner);
  } else if (error != 0) {
    logFormat("VantorURLSetResourcePropertyForKey error %s", describe(joinPath(home.path, kLibrary), -error).c_str());
  }
  PlistRef yes(plist_new_bool(1));
  // Not examined: a mark that cannot be kept only means the next creation hides the folder again.
  setAppValue(kHidLibraryFolderKey, yes.get(), kToolPreferencesDomain);
  // Not examined: the write above has reached the disk already; this only reads it back.
  synchronizePreferences(kToolPreferencesDomain, PreferenceScope{currentUserName(), false});
}

PlistRef readGlobalPreferences(const HeldHome& home) {
  if (!home.folder.valid()) return nullptr;
  return readPlistDictionaryBeneath(home.folder.get(),
                                    std::string(kPreferencesBelowHome) + "/" + kGlobalPreferencesFile);
}

void mergeGlobalPreferences(const HeldHome& home, plist_t priorGlobalPreferences) {
  if (!isPlistDictionary(priorGlobalPreferences)) return;
  const int homeFd = home.folder.get();
  int error = homeFd < 0 ? unheldReason(home) : 0;
  PlistRef merged = mergedDictionary(homeFd, priorGlobalPreferences);

  UniqueFd preferences;
  if (homeFd >= 0) {
    const int fd = openBeneath(homeFd, kPreferencesBelowHome, O_RDONLY | O_DIRECTORY);
    if (fd >= 0) preferences.reset(fd);
    error = fd < 0 ? -fd : 0;
  }
  PlistFileAttributes attributes;
  if (preferences.valid()) {
    attributes = folderOwnerAttributes(preferences.get());
    error = removeGlobalPreferences(preferences.get(), &attributes);
  }
  if (error != 0) {
    logFormat("%s:%d %s", creationLog::kModule, creationLog::kRemoveGlobalPreferences,
              describe(globalPreferencesPath(home.path), error).c_str());
  }
  // Not examined: a failed write is not reported; the home keeps whatever is there now.
  if (preferences.valid()) writePlistAt(preferences.get(), kGlobalPreferencesFile, merged.get(), attributes);
}

// A language that yields no locale identifier gives no locale preference: the
// user's earlier value, if any, stays.
void setUserLocale(const std::string& userName, const std::string& language) {
  const auto requested = canonicalLocaleIdentifier(language);
  if (!requested) return;
  const std::string languagePart = requested->substr(0, requested->find('_'));

  PlistRef countryValue = copyPreference(kCountryKey, kAnyApplication, PreferenceScope{std::nullopt, true});
  std::string country = plistString(countryValue.get()).value_or("");
  if (country.empty()) country = kDefaultCountry;

  const auto locale = canonicalLocaleIdentifier(languagePart + "_" + country);
  if (!locale) return;
  const PreferenceScope user{userName, false};
  PlistRef value(plist_new_string(locale->c_str()));
  // Not examined: the locale is a convenience; the home is whole without it.
  setPreference(kLocaleKey, value.get(), kAnyApplication, user);
  // Not examined: the write above has reached the disk already; this only reads it back.
  synchronizePreferences(kAnyApplication, user);
}
