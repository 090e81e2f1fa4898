#include "repair/repair.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "permissions/default_acl.h"
#include "permissions/policy.h"
#include "platform/admin/filemanager.h"
#include "platform/directory.h"
#include "platform/path.h"
#include "platform/runtool.h"
#include "platform/syslog.h"
#include "repair/log_sites.h"
#include "repair/repair_walk.h"

namespace {

// Only a real folder is closed to others; a link named Applications is never
// handed to chmod, which would follow it.
void closeApplicationsFolder(int homeFd, const std::string& home) {
  struct stat status {};
  if (homeFd < 0 || fstatat(homeFd, kApplicationsFolder, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)) {
    return;
  }
  runTool("/bin/chmod", {kApplicationsMode, joinPath(home, kApplicationsFolder)});
}

}  // namespace

bool repairPermissions(const std::string& templateRoot, const HeldHome& home, const std::string& ownerName,
                       const std::string& groupName, const std::optional<Uuid>& userUUID) {
  if (!home.examined) {
    logFormat("lstat(%s) failed.", home.path.c_str());
    return false;
  }
  runTool("/usr/sbin/chown", {"-R", ownerName + ":" + groupName, home.path});
  // Held without following a link: a home that is a link gets neither list
  // nor mode through it.
  const int homeFd = home.folder.get();
  // A home that is a file with other names must be the owner's already.
  const std::optional<AccountRecord> owner = accountByShortName(ownerName);
  setHomeListAndMode(home, owner ? owner->uid : static_cast<uid_t>(-1), repairLog::kModule, repairLog::kHomeList);

  std::string templateBase;
  // Asked once, after the recursive owner change has given the home away.
  struct stat now {};
  const uid_t homeOwner = homeFd >= 0 && fstat(homeFd, &now) == 0 ? now.st_uid : 0;
  const RepairWalkContext context{home.path, templateBase, home.status.st_dev, userUUID, homeFd, homeOwner};
  for (const char* folder : {"Non_localized", "English.lproj"}) {
    templateBase = joinPath(templateRoot, folder);
    enumerateSubpaths(templateBase, [&context](const std::string& subpath) { repairTemplateItem(context, subpath); });
  }
  closeApplicationsFolder(homeFd, home.path);
  PlistRef policy = loadPermissionPolicy();
  runPermissionPolicy(home, ownerName, policy.get());
  return true;
}
