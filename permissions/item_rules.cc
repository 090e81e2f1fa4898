#include "permissions/item_rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "permissions/default_acl.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/path.h"
#include "platform/syslog.h"

using namespace hostacl;

// The call that changes a mode without following a link; older C libraries
// do not name it yet.
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif

namespace {

constexpr const char* kModule = "setPermissions";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr mode_t kLocalizedFileMode = 0644;

constexpr uint32_t kAllPermissions = ACL_LIST_DIRECTORY | ACL_ADD_FILE | ACL_SEARCH | ACL_DELETE |
                                     ACL_ADD_SUBDIRECTORY | ACL_DELETE_CHILD | ACL_READ_ATTRIBUTES |
                                     ACL_WRITE_ATTRIBUTES | ACL_READ_EXTATTRIBUTES | ACL_WRITE_EXTATTRIBUTES |
                                     ACL_READ_SECURITY | ACL_WRITE_SECURITY | ACL_CHANGE_OWNER;

bool endsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Changes the mode of the item itself; a link is refused by the kernel rather
// than followed. Returns 0 or the error number.
int chmodNoFollow(int parentFd, const char* name, mode_t mode) {
  if (syscall(SYS_fchmodat2, parentFd, name, mode, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  if (errno != ENOSYS) return errno;
  UniqueFd pinned(openat(parentFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!pinned.valid() || fstat(pinned.get(), &status) != 0) return errno;
  if (S_ISLNK(status.st_mode)) return EOPNOTSUPP;
  const std::string viaProc = "/proc/self/fd/" + std::to_string(pinned.get());
  return chmod(viaProc.c_str(), mode) == 0 ? 0 : errno;
}

// The Drop Box list: everyone denied deletion, then the owner allowed
// everything, inherited by what is created inside.
void setDropBoxList(int fd, const std::string& path, const Uuid& userUUID) {
  acl_t list = acl_init(1);
  if (!list) return;
  acl_entry_t entry = nullptr;
  bool built = acl_create_entry(&list, &entry) == 0;
  if (built) fillDenyDeleteEntry(entry);
  built = built && acl_create_entry(&list, &entry) == 0;
  if (built) {
    acl_set_tag_type(entry, ACL_EXTENDED_ALLOW);
    acl_permset_t permset = nullptr;
    acl_get_permset(entry, &permset);
    acl_clear_perms(permset);
    for (uint32_t bit = ACL_LIST_DIRECTORY; bit <= ACL_CHANGE_OWNER; bit <<= 1) {
      if (kAllPermissions & bit) acl_add_perm(permset, bit);
    }
    acl_set_qualifier(entry, userUUID.bytes.data());
    acl_set_permset(entry, permset);
    acl_flagset_t flagset = nullptr;
    acl_get_flagset_np(entry, &flagset);
    acl_clear_flags_np(flagset);
    acl_add_flag_np(flagset, ACL_ENTRY_FILE_INHERIT);
    acl_add_flag_np(flagset, ACL_ENTRY_DIRECTORY_INHERIT);
    acl_set_flagset_np(entry, flagset);
  }
  if (built && acl_set_fd_np(fd, list, ACL_TYPE_EXTENDED) != 0) logFormat("%s:%d %s", kModule, 209, path.c_str());
  acl_free(list);
}

void applyFolderList(const WalkItem& item, const std::optional<Uuid>& userUUID) {
  if (endsWith(*item.path, "/Public/Drop Box")) {
    if (!userUUID) {
      logFormat("UUID is NULL! %s:%d", kModule, 165);
      return;
    }
    setDropBoxList(item.fd, *item.path, *userUUID);
    return;
  }
  const acl_t list = defaultDenyDeleteACL();
  if (!list || lastComponent(*item.path) == "Movies") return;
  if (acl_set_fd_np(item.fd, list, ACL_TYPE_EXTENDED) != 0) logFormat("%s:%d %s", kModule, 246, item.path->c_str());
}

// A folder keeps its mode while it is immutable: the mode change comes first
// and the kernel refuses it, then the flag goes.
void applyFolderRules(const WalkItem& item, const std::optional<Uuid>& userUUID) {
  fchmod(item.fd, kFolderMode);
  if (const std::optional<uint32_t> flags = readFlags(item.fd)) writeFlags(item.fd, *flags, *flags & ~UF_IMMUTABLE);
  applyFolderList(item, userUUID);
}

}  // namespace

OwnerIds ownerIds(const std::optional<std::string>& userIdText, const std::optional<std::string>& groupIdText) {
  OwnerIds ids;
  if (!userIdText || !groupIdText) return ids;
  ids.present = true;
  ids.uid = static_cast<uid_t>(decimalIdValue(*userIdText));
  ids.gid = static_cast<gid_t>(decimalIdValue(*groupIdText));
  return ids;
}

void applyItemPermissions(const WalkItem& item, const OwnerIds& owner, const std::optional<Uuid>& userUUID) {
  if (S_ISDIR(item.status.st_mode) && item.fd >= 0) {
    applyFolderRules(item, userUUID);
    if (owner.present) fchown(item.fd, owner.uid, owner.gid);
    return;
  }
  if (S_ISDIR(item.status.st_mode)) return;  // a folder that could not be pinned is not touched
  if (!S_ISLNK(item.status.st_mode)) {
    const mode_t mode = lastComponent(*item.path) == ".localized" ? kLocalizedFileMode : kFileMode;
    // An item that is gone by now is skipped whole, as one that cannot be examined is.
    if (chmodNoFollow(item.parentFd, item.name, mode) == ENOENT) return;
  }
  if (owner.present) fchownat(item.parentFd, item.name, owner.uid, owner.gid, AT_SYMLINK_NOFOLLOW);
}

void applyItemPermissionsAt(int parentFd, const char* name, const std::string& path, const OwnerIds& owner,
                            const std::optional<Uuid>& userUUID) {
  WalkItem item;
  item.parentFd = parentFd;
  item.name = name;
  item.path = &path;
  if (fstatat(parentFd, name, &item.status, AT_SYMLINK_NOFOLLOW) != 0) return;
  UniqueFd folder;
  if (S_ISDIR(item.status.st_mode)) {
    folder.reset(openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat pinned {};
    if (!folder.valid() || fstat(folder.get(), &pinned) != 0 || pinned.st_ino != item.status.st_ino) return;
    item.fd = folder.get();
  }
  applyItemPermissions(item, owner, userUUID);
}
