#include "repair/repair.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "permissions/default_acl.h"
#include "permissions/policy.h"
#include "platform/fd.h"
#include "platform/admin/filemanager.h"
#include "platform/admin/filestatus.h"
#include "platform/path.h"
#include "platform/runtool.h"
#include "platform/syslog.h"
#include "platform/below/walk.h"
#include "repair/log_sites.h"
#include "repair/repair_walk.h"

using namespace hostacl;

namespace {


// Only a real folder is closed to others; a link named Applications is never
// handed to chmod, which would follow it.
void closeApplicationsFolder(int homeFd, const std::string& home) {
  struct stat status {};
  if (homeFd < 0 || fstatat(homeFd, "Applications", &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)) {
    return;
  }
  runTool("/bin/chmod", {"u=rwx,g-rwx,o-rwx", joinPath(home, "Applications")});
}

}  // namespace

bool repairPermissions(const std::string& templateRoot, const std::string& home, const std::string& ownerName,
                       const std::string& groupName, const std::optional<Uuid>& userUUID) {
  const std::optional<FileStatus> status = lstatPath(home);
  if (!status) {
    logFormat("lstat(%s) failed.", home.c_str());
    return false;
  }
  runTool("/usr/sbin/chown", {"-R", ownerName + ":" + groupName, home});
  UniqueFd homeFd(openFolderNoFollow(home));
  // Pinned without following a link: a home that is a link gets neither
  // list nor mode through it.
  setHomeListAndMode(homeFd.get(), home, repairLog::kModule, repairLog::kHomeList);

  std::string templateBase;
  const RepairWalkContext context{home, templateBase, status->device, userUUID, homeFd.get()};
  for (const char* folder : {"Non_localized", "English.lproj"}) {
    templateBase = joinPath(templateRoot, folder);
    enumerateSubpaths(templateBase, [&context](const std::string& subpath) { repairTemplateItem(context, subpath); });
  }
  closeApplicationsFolder(homeFd.get(), home);
  PlistRef policy = loadPermissionPolicy();
  runPermissionPolicy(home, ownerName, policy.get());
  return true;
}
