#include "platform/preferences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <strings.h>
#include <vector>

#include "platform/admin/trusted.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/places.h"
#include "platform/test_root.h"

namespace {

// A name that stands for exactly one directory entry.
bool isEntryName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// Where one scope's files live: a base folder that only the administrator
// names (opened as given), then components reached without following links
// and created as needed with the owner and modes that fit the place.
struct StoreFolder {
  std::string base;
  std::vector<std::string> components;
  std::optional<uid_t> owner;
  std::optional<gid_t> group;
  mode_t folderMode = 0755;
  mode_t fileMode = 0644;
};

std::string hostId() {
  const std::optional<std::string> text = readTrusted(fixedPlace("/etc/machine-id"), 4096, nullptr);
  if (!text) return "localhost";
  std::string line = text->substr(0, text->find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return isEntryName(line) ? line : "localhost";
}

// A home of "/" (system accounts) or a relative one would put a user's files
// into machine places; such accounts are treated as having no home.
bool isUsableHome(const std::string& home) {
  return !home.empty() && home.front() == '/' && home.find_first_not_of('/') != std::string::npos;
}

// A fixed folder of the places table: its parent must exist, the folder itself
// is made when first written.
StoreFolder placeFolder(std::string_view place, std::vector<std::string> below) {
  const size_t slash = place.rfind('/');
  StoreFolder folder;
  folder.base = fixedPlace(place.substr(0, slash));
  folder.components = {std::string(place.substr(slash + 1))};
  folder.components.insert(folder.components.end(), below.begin(), below.end());
  return folder;
}

StoreFolder machineFolder(std::vector<std::string> below) {
  return placeFolder(places::kMachinePreferences, std::move(below));
}

// Root's own preferences are the tool's: where the build puts them, else in
// root's home like any account's.
std::optional<StoreFolder> toolFolder() {
  if (places::kToolPreferences.empty()) return std::nullopt;
  StoreFolder folder = placeFolder(places::kToolPreferences, {});
  folder.owner = 0;
  folder.group = 0;
  folder.folderMode = 0755;
  folder.fileMode = 0644;
  return folder;
}

std::optional<StoreFolder> storeFolder(const PreferenceScope& scope) {
  StoreFolder folder;
  if (!scope.user) {
    folder = machineFolder({});
  } else if (!isEntryName(*scope.user)) {
    return std::nullopt;
  } else {
    const auto account = accountByShortName(*scope.user);
    const std::optional<StoreFolder> tool = account && account->uid == 0 ? toolFolder() : std::nullopt;
    if (tool) {
      folder = *tool;
    } else if (account && isUsableHome(account->home)) {
      folder.base = account->home;
      folder.components = {"Library", "Preferences"};
      folder.owner = account->uid;
      folder.group = account->gid;
      folder.folderMode = 0700;
      folder.fileMode = 0600;
    } else {
      folder = machineFolder({"Users", *scope.user});
    }
  }
  if (scope.currentHost) folder.components.push_back("ByHost");
  return folder;
}

std::optional<std::string> fileName(const std::string& domain, const PreferenceScope& scope) {
  if (!isEntryName(domain)) return std::nullopt;
  return scope.currentHost ? domain + "." + hostId() + ".plist" : domain + ".plist";
}

std::string relativePath(const StoreFolder& folder, const std::string& name) {
  std::string path;
  for (const auto& component : folder.components) path += component + "/";
  return path + name;
}

// The base folder: the descriptor, or -errno.
int openBase(const StoreFolder& folder) { return openTrusted(folder.base, O_RDONLY | O_DIRECTORY, FinalLink::Follow); }

// One folder below `parent`, created when missing. A link in its place is
// refused (O_NOFOLLOW); only a folder made here gets the place's owner and
// mode. Returns the descriptor, or -errno.
int openOrCreateFolder(int parent, const std::string& name, const StoreFolder& folder) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  const int found = openat(parent, name.c_str(), flags);
  if (found >= 0) return found;
  if (errno != ENOENT) return -errno;
  const bool created = mkdirat(parent, name.c_str(), folder.folderMode) == 0;
  if (!created && errno != EEXIST) return -errno;
  const int opened = openat(parent, name.c_str(), flags);
  if (opened < 0) return -errno;
  UniqueFd fd(opened);
  if (!created) return fd.release();
  if ((folder.owner || folder.group) &&
      fchown(fd.get(), folder.owner.value_or(static_cast<uid_t>(-1)), folder.group.value_or(static_cast<gid_t>(-1))) != 0) {
    return -errno;
  }
  if (fchmod(fd.get(), folder.folderMode) != 0) return -errno;
  return fd.release();
}

// The innermost folder of `folder`, made as needed: the descriptor, or -errno.
int openFolderForWriting(const StoreFolder& folder) {
  int current = openBase(folder);
  for (const auto& component : folder.components) {
    if (current < 0) break;
    UniqueFd holder(current);
    current = openOrCreateFolder(holder.get(), component, folder);
  }
  return current;
}

// The domain's dictionary for reading: absent, unreadable or malformed files
// all read as none.
PlistRef readDomain(const std::string& domain, const PreferenceScope& scope) {
  const auto folder = storeFolder(scope);
  const auto name = fileName(domain, scope);
  if (!folder || !name) return nullptr;
  const int base = openBase(*folder);
  if (base < 0) return nullptr;
  UniqueFd holder(base);
  return readPlistDictionaryBeneath(holder.get(), relativePath(*folder, *name));
}

// The dictionary that a write starts from. A file that is there but is not a
// readable dictionary is moved aside as NAME.corrupt so that nothing the user
// had is lost; a folder in its place stops the write. None, with -errno in
// `error`, when the write cannot go on.
PlistRef dictionaryToReplace(int dirFd, const std::string& name, int* error) {
  int readError = 0;
  const std::optional<std::string> bytes = readFileBeneath(dirFd, name, &readError);
  if (!bytes && readError == -ENOENT) return PlistRef(plist_new_dict());
  if (!bytes && readError == -EISDIR) {
    *error = readError;
    return nullptr;
  }
  if (bytes) {
    PlistRef dictionary = parsePlist(*bytes);
    if (isPlistDictionary(dictionary.get())) return dictionary;
  }
  const std::string kept = name + ".corrupt";
  if (renameat(dirFd, name.c_str(), dirFd, kept.c_str()) != 0) {
    *error = -errno;
    return nullptr;
  }
  return PlistRef(plist_new_dict());
}

bool validBoolean(plist_t node, bool* value) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t flag = 0;
      plist_get_bool_val(node, &flag);
      *value = flag != 0;
      return true;
    }
    case PLIST_UINT: {
      uint64_t number = 0;
      plist_get_uint_val(node, &number);
      *value = number != 0;
      return true;
    }
    case PLIST_REAL: {
      double number = 0;
      plist_get_real_val(node, &number);
      *value = number != 0;
      return true;
    }
    case PLIST_STRING: {
      const std::string text = plistString(node).value_or("");
      const char* t = text.c_str();
      const bool yes = strcasecmp(t, "yes") == 0 || strcasecmp(t, "true") == 0;
      const bool no = strcasecmp(t, "no") == 0 || strcasecmp(t, "false") == 0;
      *value = yes;
      return yes || no;
    }
    default:
      return false;
  }
}

}  // namespace

std::string currentUserName() {
  const uid_t uid = geteuid();
  if (const auto account = accountByUid(uid)) return account->shortName;
  return uid == 0 ? "root" : std::to_string(uid);
}

std::optional<std::string> preferencesFile(const std::string& domain, const PreferenceScope& scope) {
  const auto folder = storeFolder(scope);
  const auto name = fileName(domain, scope);
  if (!folder || !name) return std::nullopt;
  return folder->base + "/" + relativePath(*folder, *name);
}

PlistRef copyPreference(const std::string& key, const std::string& domain, const PreferenceScope& scope) {
  PlistRef dictionary = readDomain(domain, scope);
  if (!dictionary) return nullptr;
  plist_t value = plist_dict_get_item(dictionary.get(), key.c_str());
  return PlistRef(value ? plist_copy(value) : nullptr);
}

int setPreference(const std::string& key, plist_t value, const std::string& domain, const PreferenceScope& scope) {
  const auto folder = storeFolder(scope);
  const auto name = fileName(domain, scope);
  if (!folder || !name) return -EINVAL;
  const int opened = openFolderForWriting(*folder);
  if (opened < 0) return opened;
  UniqueFd dir(opened);
  int error = 0;
  PlistRef dictionary = dictionaryToReplace(dir.get(), *name, &error);
  if (!dictionary) return error;
  if (value != nullptr) {
    plist_dict_set_item(dictionary.get(), key.c_str(), plist_copy(value));
  } else if (plist_dict_get_item(dictionary.get(), key.c_str()) != nullptr) {
    plist_dict_remove_item(dictionary.get(), key.c_str());
  }
  const PlistFileAttributes attributes{folder->fileMode, folder->owner, folder->group};
  return writePlistAt(dir.get(), *name, dictionary.get(), attributes);
}

int synchronizePreferences(const std::string& domain, const PreferenceScope& scope) {
  const auto folder = storeFolder(scope);
  const auto name = fileName(domain, scope);
  if (!folder || !name) return -EINVAL;
  const int base = openBase(*folder);
  if (base < 0) return base;
  UniqueFd holder(base);
  int error = 0;
  const std::optional<std::string> bytes = readFileBeneath(holder.get(), relativePath(*folder, *name), &error);
  if (!bytes) return error == -ENOENT ? 0 : error;
  return isPlistDictionary(parsePlist(*bytes).get()) ? 0 : -EINVAL;
}

PlistRef copyAppValue(const std::string& key, const std::string& domain) {
  const std::string user = currentUserName();
  const PreferenceScope order[] = {{user, true}, {user, false}, {std::nullopt, true}, {std::nullopt, false}};
  for (const auto& scope : order) {
    if (PlistRef value = copyPreference(key, domain, scope)) return value;
  }
  return nullptr;
}

std::optional<bool> appBooleanValue(const std::string& key, const std::string& domain) {
  bool value = false;
  PlistRef node = copyAppValue(key, domain);
  if (!node || !validBoolean(node.get(), &value)) return std::nullopt;
  return value;
}

int setAppValue(const std::string& key, plist_t value, const std::string& domain) {
  return setPreference(key, value, domain, PreferenceScope{currentUserName(), false});
}
