#include "platform/acl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "platform/below/pin.h"
#include "platform/fd.h"
#include "platform/xattr.h"

namespace hostacl {

namespace {

constexpr uint32_t kAllFlags = ACL_ENTRY_FILE_INHERIT | ACL_ENTRY_DIRECTORY_INHERIT;

}  // namespace

acl_t acl_init(int count) {
  if (count < 0) return nullptr;
  acl_t list = new AclList;
  list->entries.reserve(static_cast<size_t>(count));
  return list;
}

int acl_free(void* object) {
  delete static_cast<AclList*>(object);
  return 0;
}

int acl_create_entry(acl_t* list, acl_entry_t* entry) {
  if (!list || !*list || !entry) return -EINVAL;
  (*list)->entries.emplace_back();
  *entry = &(*list)->entries.back();
  return 0;
}

int acl_set_tag_type(acl_entry_t entry, acl_tag_t kind) {
  if (!entry || (kind != ACL_EXTENDED_ALLOW && kind != ACL_EXTENDED_DENY)) return -EINVAL;
  entry->kind = kind;
  return 0;
}

int acl_get_permset(acl_entry_t entry, acl_permset_t* permset) {
  if (!entry || !permset) return -EINVAL;
  *permset = &entry->perms;
  return 0;
}

int acl_clear_perms(acl_permset_t permset) {
  if (!permset) return -EINVAL;
  *permset = 0;
  return 0;
}

int acl_add_perm(acl_permset_t permset, acl_perm_t perm) {
  if (!permset || perm == 0 || (perm & ~ACL_ALL_PERMISSIONS)) return -EINVAL;
  *permset |= perm;
  return 0;
}

int acl_set_permset(acl_entry_t entry, acl_permset_t permset) {
  if (!entry || !permset) return -EINVAL;
  entry->perms = *permset;
  return 0;
}

int acl_set_qualifier(acl_entry_t entry, const void* uuidBytes) {
  if (!entry || !uuidBytes) return -EINVAL;
  std::memcpy(entry->qualifier.bytes.data(), uuidBytes, entry->qualifier.bytes.size());
  return 0;
}

int acl_get_flagset_np(acl_entry_t entry, acl_flagset_t* flagset) {
  if (!entry || !flagset) return -EINVAL;
  *flagset = &entry->flags;
  return 0;
}

int acl_clear_flags_np(acl_flagset_t flagset) {
  if (!flagset) return -EINVAL;
  *flagset = 0;
  return 0;
}

int acl_add_flag_np(acl_flagset_t flagset, acl_flag_t flag) {
  if (!flagset || flag == 0 || (flag & ~kAllFlags)) return -EINVAL;
  *flagset |= flag;
  return 0;
}

int acl_set_flagset_np(acl_entry_t entry, acl_flagset_t flagset) {
  if (!entry || !flagset) return -EINVAL;
  entry->flags = *flagset;
  return 0;
}

int acl_set_fd_np(int fd, acl_t list, acl_type_t type) {
  if (!list || type != ACL_TYPE_EXTENDED) return -EINVAL;
  return writeAclFd(fd, list->entries);
}

int writeAclFd(int fd, const std::vector<AclEntry>& entries) {
  if (entries.empty()) return removeAttribute(fd, kAclAttribute);
  return setAttribute(fd, kAclAttribute, encodeAcl(entries));
}

std::optional<std::vector<AclEntry>> readAclFd(int fd, int* error) {
  int readError = 0;
  const std::optional<std::string> value = getAttribute(fd, kAclAttribute, &readError);
  if (!value) {
    if (readError == -ENODATA || readError == -EOPNOTSUPP) return std::vector<AclEntry>{};
    if (error) *error = readError;
    return std::nullopt;
  }
  std::optional<std::vector<AclEntry>> entries = decodeAcl(*value);
  if (!entries && error) *error = -EINVAL;
  return entries;
}

std::optional<std::vector<AclEntry>> readAclPinned(int pinnedFd, mode_t mode, int* error) {
  if (S_ISLNK(mode)) return std::vector<AclEntry>{};
  return readAclFd(pinnedFd, error);
}

std::optional<std::vector<AclEntry>> readAclAt(int dirFd, const char* name, int* error) {
  struct stat status {};
  const int fd = pinAt(dirFd, name, &status);
  if (fd < 0) {
    if (error) *error = fd;
    return std::nullopt;
  }
  UniqueFd pin(fd);
  return readAclPinned(pin.get(), status.st_mode, error);
}

}  // namespace hostacl
