#include "permissions/item_rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "permissions/default_acl.h"
#include "permissions/log_sites.h"
#include "platform/below/pin.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/path.h"
#include "platform/syslog.h"
#include "platform/text.h"

using namespace hostacl;

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr mode_t kLocalizedFileMode = 0644;


// Gives the folder open at `fd` the list of a change; a folder that has it
// already keeps it unwritten: the same entries, one read instead of a write.
void setList(int fd, const std::string& path, const ItemChange& change, ListRule rule) {
  if (hostacl::readAclFd(fd, nullptr) == change.entries) return;
  if (hostacl::writeAclFd(fd, change.entries) != 0) {
    const int site = rule == ListRule::DropBox ? permissionsLog::kDropBoxList : permissionsLog::kFolderList;
    logFormat("%s:%d %s", permissionsLog::kModule, site, path.c_str());
  }
}

bool modeDiffers(const ItemChange& change, mode_t mode) { return (mode & 07777) != change.mode; }

bool ownerDiffers(const ItemChange& change, uid_t uid, gid_t gid) {
  return (change.uid != static_cast<uid_t>(-1) && change.uid != uid) ||
         (change.gid != static_cast<gid_t>(-1) && change.gid != gid);
}

// Makes the rules' changes to a folder through `fd`, the folder itself,
// opened. A folder keeps its mode while it is immutable: the mode change
// comes first and the kernel refuses it, then the flag goes.
void changeFolder(const WalkItem& item, const ItemDecision& decision, const std::vector<ItemChange>& changes) {
  for (const ItemChange& change : changes) {
    switch (change.attribute) {
      case Attribute::Mode:
        // Not examined: a mode the folder refuses stays as it was, silently.
        if (modeDiffers(change, item.status.st_mode)) fchmod(item.fd, change.mode);
        break;
      case Attribute::Flags:
        // Not examined: a flag change that fails is silent, and the list and owner still follow.
        if (item.kernelFlags) {
          // Only the kernel part changes, and only when it has a flag to lose.
          if (*item.kernelFlags & change.clearFlags) writeKernelFlags(item.fd, *item.kernelFlags & ~change.clearFlags);
        } else if (const std::optional<uint32_t> flags = readFlags(item.fd, nullptr)) {
          writeFlags(item.fd, *flags, *flags & ~change.clearFlags);
        }
        break;
      case Attribute::List:
        setList(item.fd, *item.path, change, decision.list);
        break;
      case Attribute::Owner:
        // Not examined: the rules never report a failed owner change.
        if (ownerDiffers(change, item.status.st_uid, item.status.st_gid)) fchown(item.fd, change.uid, change.gid);
        break;
    }
  }
}

// Makes the rules' changes to a file or link through its pin; a file has
// only a mode and an owner to change.
void changePinned(int pin, const struct stat& status, const std::vector<ItemChange>& changes) {
  for (const ItemChange& change : changes) {
    // Not examined: the rules never report a failed mode or owner change.
    if (change.attribute == Attribute::Mode && modeDiffers(change, status.st_mode)) changeModePinned(pin, change.mode);
    if (change.attribute == Attribute::Owner) changeOwnerPinned(pin, change.uid, change.gid);
  }
}

// Whether the rules change anything of a file or link with this status.
bool needsChange(const std::vector<ItemChange>& changes, mode_t mode, uid_t uid, gid_t gid) {
  for (const ItemChange& change : changes) {
    if (change.attribute == Attribute::Mode && modeDiffers(change, mode)) return true;
    if (change.attribute == Attribute::Owner && ownerDiffers(change, uid, gid)) return true;
  }
  return false;
}

// Looked at by name: an item the rules would leave as it is gets no call
// at all, and since nothing is changed, a swap after this look reaches
// nothing. The rules' modes carry no set-id bits, so an item whose mode is
// right has none for a change of owner to clear.
bool alreadyRight(const WalkItem& item, const OwnerIds& owner, const std::optional<Uuid>& userUUID) {
  struct statx seen {};
  constexpr unsigned kWanted = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_GID;
  if (statx(item.parentFd, item.name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kWanted, &seen) != 0) return false;
  const mode_t type = seen.stx_mode & S_IFMT;
  if (S_ISDIR(type) || (seen.stx_nlink > 1 && seen.stx_uid != owner.linkedFileOwner)) return false;
  const ItemDecision decision = decideItem(type, *item.path, userUUID.has_value());
  return !needsChange(ruleChanges(decision, owner, userUUID, std::nullopt), seen.stx_mode, seen.stx_uid, seen.stx_gid);
}

// A copied home needs every owner changed, a home set right before needs
// nothing: the files before say which way to look at the next.
thread_local LookGuess lookGuess;

}  // namespace

void logLeftAloneForLinks(const std::string& path, const struct stat& status, uid_t owner) {
  logFormat("Skipping %s because it has %lu links and belongs to uid %u, not %u", path.c_str(),
            static_cast<unsigned long>(status.st_nlink), static_cast<unsigned>(status.st_uid),
            static_cast<unsigned>(owner));
}

ItemDecision decideItem(mode_t type, const std::string& path, bool ownerUuidKnown) {
  ItemDecision decision;
  if (!S_ISDIR(type)) {
    if (!S_ISLNK(type)) decision.mode = lastComponent(path) == ".localized" ? kLocalizedFileMode : kFileMode;
    return decision;
  }
  decision.folder = true;
  decision.mode = kFolderMode;
  decision.clearImmutable = true;
  // The Drop Box test comes first: a Drop Box folder is never a Movies one.
  if (path.ends_with("/Public/Drop Box")) {
    decision.list = ownerUuidKnown ? ListRule::DropBox : ListRule::DropBoxNoOwner;
  } else if (defaultDenyDeleteACL() && lastComponent(path) != "Movies") {
    decision.list = ListRule::Default;
  }
  return decision;
}

std::vector<ItemChange> ruleChanges(const ItemDecision& decision, const OwnerIds& owner,
                                    const std::optional<Uuid>& userUUID, std::optional<uint32_t> flags) {
  std::vector<ItemChange> changes;
  uint32_t freezing = flags ? *flags & kFreezingFlags : 0;
  if (decision.mode) {
    ItemChange change;
    change.attribute = Attribute::Mode;
    change.mode = *decision.mode;
    change.refusedBy = freezing;
    changes.push_back(std::move(change));
  }
  if (decision.clearImmutable) {
    ItemChange change;
    change.attribute = Attribute::Flags;
    change.clearFlags = UF_IMMUTABLE;
    change.refusedBy = freezing & ~UF_IMMUTABLE;
    changes.push_back(std::move(change));
    freezing &= ~UF_IMMUTABLE;
  }
  if (std::optional<std::vector<AclEntry>> entries = wantedList(decision.list, userUUID)) {
    ItemChange change;
    change.attribute = Attribute::List;
    change.entries = std::move(*entries);
    change.refusedBy = freezing;
    changes.push_back(std::move(change));
  }
  if (owner.present) {
    ItemChange change;
    change.attribute = Attribute::Owner;
    change.uid = owner.uid;
    change.gid = owner.gid;
    change.refusedBy = freezing;
    changes.push_back(std::move(change));
  }
  return changes;
}

acl_t buildDropBoxList(const Uuid& userUUID) {
  acl_t list = acl_init(1);
  if (!list) return nullptr;
  acl_entry_t entry = nullptr;
  if (acl_create_entry(&list, &entry) != 0) {
    acl_free(list);
    return nullptr;
  }
  fillDenyDeleteEntry(entry);
  if (acl_create_entry(&list, &entry) != 0) {
    acl_free(list);
    return nullptr;
  }
  // Not examined: each call below sets a value of the table on an entry just made.
  acl_set_tag_type(entry, ACL_EXTENDED_ALLOW);
  acl_permset_t permset = nullptr;
  acl_get_permset(entry, &permset);
  acl_clear_perms(permset);
  for (uint32_t bit = ACL_LIST_DIRECTORY; bit <= ACL_CHANGE_OWNER; bit <<= 1) {
    if (ACL_ALL_PERMISSIONS & bit) acl_add_perm(permset, bit);
  }
  acl_set_qualifier(entry, userUUID.bytes.data());
  acl_set_permset(entry, permset);
  acl_flagset_t flagset = nullptr;
  acl_get_flagset_np(entry, &flagset);
  acl_clear_flags_np(flagset);
  acl_add_flag_np(flagset, ACL_ENTRY_FILE_INHERIT);
  acl_add_flag_np(flagset, ACL_ENTRY_DIRECTORY_INHERIT);
  acl_set_flagset_np(entry, flagset);
  return list;
}

std::optional<std::vector<AclEntry>> wantedList(ListRule rule, const std::optional<Uuid>& userUUID) {
  if (rule == ListRule::Default) return defaultDenyDeleteACL()->entries;
  if (rule != ListRule::DropBox || !userUUID) return std::nullopt;
  acl_t list = buildDropBoxList(*userUUID);
  if (!list) return std::nullopt;
  std::vector<AclEntry> entries = list->entries;
  acl_free(list);
  return entries;
}

OwnerIds ownerIds(const std::optional<std::string>& userIdText, const std::optional<std::string>& groupIdText,
                  uid_t homeOwner) {
  OwnerIds ids;
  ids.linkedFileOwner = homeOwner;
  if (!userIdText || !groupIdText) return ids;
  ids.present = true;
  ids.uid = static_cast<uid_t>(decimalIdValue(*userIdText));
  ids.gid = static_cast<gid_t>(decimalIdValue(*groupIdText));
  ids.linkedFileOwner = ids.uid;
  return ids;
}

void applyItemPermissions(const WalkItem& item, const OwnerIds& owner, const std::optional<Uuid>& userUUID) {
  if (S_ISDIR(item.status.st_mode) && item.fd >= 0) {
    const ItemDecision decision = decideItem(item.status.st_mode, *item.path, userUUID.has_value());
    if (decision.list == ListRule::DropBoxNoOwner) {
      logFormat("UUID is NULL! %s:%d", permissionsLog::kModule, permissionsLog::kDropBoxWithoutUuid);
    }
    changeFolder(item, decision, ruleChanges(decision, owner, userUUID, item.kernelFlags));
    return;
  }
  if (S_ISDIR(item.status.st_mode)) return;  // a folder that could not be pinned is not touched
  if (!lookGuess.pinFirst() && alreadyRight(item, owner, userUUID)) {
    lookGuess.alreadyRight();
    return;
  }
  // Pinned before it is examined, and changed only through the pin: swapped
  // meanwhile for another name of a file outside the home, it is not changed.
  UniqueFd pin(openat(item.parentFd, item.name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!pin.valid() || fstat(pin.get(), &status) != 0 || S_ISDIR(status.st_mode)) return;
  if (leftAloneForLinks(status, owner.linkedFileOwner)) {
    logLeftAloneForLinks(*item.path, status, owner.linkedFileOwner);
    return;
  }
  const ItemDecision decision = decideItem(status.st_mode, *item.path, userUUID.has_value());
  const std::vector<ItemChange> changes = ruleChanges(decision, owner, userUUID, std::nullopt);
  if (!needsChange(changes, status.st_mode, status.st_uid, status.st_gid)) return lookGuess.alreadyRight();
  lookGuess.changed();
  changePinned(pin.get(), status, changes);
}

bool applyItemPermissionsAt(int parentFd, const char* name, const std::string& path, const OwnerIds& owner,
                            const std::optional<Uuid>& userUUID) {
  WalkItem item;
  item.parentFd = parentFd;
  item.name = name;
  item.path = &path;
  UniqueFd pin(openat(parentFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!pin.valid() || fstat(pin.get(), &item.status) != 0) return false;
  UniqueFd folder;
  if (S_ISDIR(item.status.st_mode)) {
    // Opened through the pin, so it is the very folder just examined.
    folder.reset(reopenPinned(pin.get(), O_RDONLY | O_DIRECTORY));
    if (!folder.valid()) return false;
    item.fd = folder.get();
  }
  applyItemPermissions(item, owner, userUUID);
  return true;
}
