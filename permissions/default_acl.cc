#include "permissions/default_acl.h"

#include <sys/stat.h>

#include <mutex>

#include "permissions/item_rules.h"
#include "platform/below/pin.h"
#include "platform/syslog.h"

using namespace hostacl;

namespace {

acl_t gDefaultList = nullptr;
std::once_flag gDefaultListBuilt;

void buildDefaultList() {
  acl_t list = acl_init(1);
  if (!list) return;
  acl_entry_t entry = nullptr;
  if (acl_create_entry(&list, &entry) != 0) {
    acl_free(list);
    return;
  }
  fillDenyDeleteEntry(entry);
  gDefaultList = list;
}

}  // namespace

void fillDenyDeleteEntry(acl_entry_t entry) {
  const std::optional<Uuid> everyone = parseUuid(EveryoneGroupUUID);
  // Not examined: each call sets a value of the table on an entry its caller just made.
  acl_set_tag_type(entry, ACL_EXTENDED_DENY);
  acl_permset_t permset = nullptr;
  acl_get_permset(entry, &permset);
  acl_clear_perms(permset);
  acl_add_perm(permset, ACL_DELETE);
  acl_set_qualifier(entry, everyone->bytes.data());
  acl_set_permset(entry, permset);
}

acl_t defaultDenyDeleteACL() {
  std::call_once(gDefaultListBuilt, buildDefaultList);
  return gDefaultList;
}

bool setHomeListAndMode(const HeldHome& home, uid_t linkedFileOwner, const char* module, int line) {
  const acl_t list = defaultDenyDeleteACL();
  // A home that is a link is not reached through it; anything else is
  // changed through the pin that examined it.
  const bool reachable = home.item.valid() && !S_ISLNK(home.status.st_mode);
  if (reachable && leftAloneForLinks(home.status, linkedFileOwner)) {
    logLeftAloneForLinks(home.path, home.status, linkedFileOwner);
    return false;
  }
  const int fd = home.folder.valid() ? home.folder.get() : reachable ? home.item.get() : -1;
  if (list && (fd < 0 || acl_set_fd_np(fd, list, ACL_TYPE_EXTENDED) != 0)) {
    logFormat("%s:%d %s", module, line, home.path.c_str());
  }
  // Not examined: a home whose mode cannot change is never reported, only its list.
  if (fd >= 0) changeModePinned(fd, kHomeMode);
  return true;
}
