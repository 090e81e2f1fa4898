#include "permissions/default_acl.h"

#include <sys/stat.h>

#include <mutex>

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

void setHomeListAndMode(int homeFd, const std::string& homePath, const char* module, int line) {
  const acl_t list = defaultDenyDeleteACL();
  if (list && (homeFd < 0 || acl_set_fd_np(homeFd, list, ACL_TYPE_EXTENDED) != 0)) {
    logFormat("%s:%d %s", module, line, homePath.c_str());
  }
  if (homeFd >= 0) fchmod(homeFd, kHomeMode);
}
