#include "repair/repair.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "permissions/default_acl.h"
#include "permissions/policy.h"
#include "platform/admin/filemanager.h"
#include "platform/directory.h"
#include "platform/path.h"
#include "platform/places.h"
#include "platform/runtool.h"
#include "platform/syslog.h"
#include "repair/log_sites.h"
#include "repair/repair_walk.h"

namespace {

// The owner and group the recursive change gives, as the check must know
// them: the operand names the owner, and the group by id or, left empty, as
// the owner's login group.
ToolEffect ownerTreeEffect(const std::string& ownerName, const std::string& groupName, const IdentityFiles* identities) {
  ToolEffect effect;
  std::optional<AccountRecord> owner;
  if (!identities) {
    owner = accountByShortName(ownerName);
  } else {
    for (const AccountRecord& account : identities->accounts) {
      if (account.shortName == ownerName) {
        owner = account;
        break;
      }
    }
  }
  const std::optional<gid_t> group =
      groupName.empty() && owner ? std::optional<gid_t>(owner->gid) : groupIdIn(groupName, identities);
  if (owner && group) {
    effect.kind = ToolEffect::Kind::OwnerTree;
    effect.owner = owner->uid;
    effect.group = *group;
  }
  return effect;
}

}  // namespace

std::string repairGroupFor(std::optional<gid_t> primaryGroup) {
  if (const std::optional<gid_t> fixed = places::fixedRepairGroup()) return std::to_string(*fixed);
  return primaryGroup ? std::to_string(*primaryGroup) : std::string();
}

std::vector<ProgramRun> repairRunsBefore(const std::string& homePath, const std::string& ownerName,
                                         const std::string& groupName, const IdentityFiles* identities) {
  ProgramRun owners;  // its status is not examined
  owners.tool = "/usr/sbin/chown";
  owners.arguments = {"-R", ownerName + ":" + groupName, homePath};
  owners.effect = ownerTreeEffect(ownerName, groupName, identities);
  return {std::move(owners)};
}

std::vector<ProgramRun> repairRunsAfter(const std::string& homePath, const std::string& ownerName, plist_t policy,
                                        const IdentityFiles* identities) {
  // Only a real folder is closed to others; a link named Applications is
  // never handed to chmod, which would follow it. Its status is not examined.
  ProgramRun applications;
  applications.tool = "/bin/chmod";
  applications.arguments = {kApplicationsMode, joinPath(homePath, kApplicationsFolder)};
  applications.target = kApplicationsFolder;
  applications.when = ProgramRun::When::Folder;
  applications.effect.kind = ToolEffect::Kind::Mode;
  applications.effect.mode = kApplicationsMode;
  std::vector<ProgramRun> runs{std::move(applications)};
  if (policy) {
    for (ProgramRun& run : policyRuns(homePath, policy, ownerName, identities)) runs.push_back(std::move(run));
  }
  return runs;
}

bool repairPermissions(const std::string& templateRoot, const HeldHome& home, const std::string& ownerName,
                       const std::string& groupName, const std::optional<Uuid>& userUUID) {
  if (!home.examined) {
    logFormat("lstat(%s) failed.", home.path.c_str());
    return false;
  }
  // Not examined: a failing recursive owner change is silent, and the repair goes on.
  carryOutAll(repairRunsBefore(home.path, ownerName, groupName), home);
  // Held without following a link: a home that is a link gets neither list
  // nor mode through it.
  const int homeFd = home.folder.get();
  // A home that is a file with other names must be the owner's already.
  const std::optional<AccountRecord> owner = accountByShortName(ownerName);
  // Not examined: a failed list is logged there, a failed mode is silent; the repair goes on either way.
  setHomeListAndMode(home, owner ? owner->uid : static_cast<uid_t>(-1), repairLog::kModule, repairLog::kHomeList);

  std::string templateBase;
  // Asked once, after the recursive owner change has given the home away.
  struct stat now {};
  const uid_t homeOwner = homeFd >= 0 && fstat(homeFd, &now) == 0 ? now.st_uid : 0;
  const RepairWalkContext context{home.path, templateBase, home.status.st_dev, userUUID, homeFd, homeOwner};
  walkRepairTemplate(templateRoot, templateBase, context);
  // The policy is read once the walk is done, as it always was.
  PlistRef policy = loadPermissionPolicy();
  // Not examined: the Applications chmod and the policy's runs never change the repair's result.
  carryOutAll(repairRunsAfter(home.path, ownerName, policy.get()), home);
  return true;
}
