#include "permissions/home_pass.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "permissions/default_acl.h"
#include "permissions/item_rules.h"
#include "permissions/log_sites.h"
#include "permissions/plan.h"
#include "permissions/policy.h"
#include "platform/admin/home.h"
#include "platform/below/beneath.h"
#include "platform/below/pin.h"
#include "platform/below/pool.h"
#include "platform/path.h"
#include "platform/runtool.h"
#include "platform/syslog.h"
#include "platform/watch.h"

namespace {

// The home itself, whatever it is: the shared deny-delete list, mode 0750, and
// its owner. It is held without following a link, so a home that is a link is
// left alone.
void applyHomeSettings(const HeldHome& home, const OwnerIds& owner) {
  const bool changed = setHomeListAndMode(home, owner.linkedFileOwner, permissionsLog::kModule, permissionsLog::kHomeList);
  if (changed && owner.present && home.item.valid() && !S_ISLNK(home.status.st_mode)) {
    // Not examined: a home whose owner cannot change is silent, and the pass goes on.
    changeOwnerPinned(home.item.get(), owner.uid, owner.gid);
  }
}

// Every item below the home, in one streaming walk, volumes mounted inside
// it included.
void applyToEveryItem(int homeFd, const std::string& homePath, const OwnerIds& owner,
                      const std::optional<Uuid>& userUUID) {
  if (homeFd < 0) return;
  WalkVisitor visitor;
  // Files and links are pinned by the rules themselves, so the listing's word
  // on their type is enough: no examination of their own.
  visitor.examineNonFolders = false;
  visitor.crossDevices = true;
  visitor.enter = [&](const WalkItem& item) {
    applyItemPermissions(item, owner, userUUID);
    countProgress();
    return WalkStep::Descend;
  };
  // Item paths are the home joined with the relative path: one separator. A
  // part of the home that could not be read is said, or it would pass for done.
  const WalkError error = walkTreeShared(homeFd, joinPath(homePath, ""), visitor, walkWorkers());
  if (error.error) logFormat("Couldn't read %s: %s", error.path.c_str(), std::strerror(error.error));
}

}  // namespace

bool setPermissions(const HeldHome& home, const std::optional<std::string>& userName,
                    const std::optional<std::string>& userIdText, const std::optional<std::string>& groupIdText,
                    const std::optional<Uuid>& userUUID) {
  const OwnerIds owner = ownerIds(userIdText, groupIdText, home.status.st_uid);
  applyHomeSettings(home, owner);
  applyToEveryItem(home.folder.get(), home.path, owner, userUUID);
  // The policy's runs, or without one the three built-in commands; only
  // the built-in ones decide the result.
  PlistRef policy = loadPermissionPolicy();
  const bool done = carryOutAll(passRuns(home.path, policy.get(), userName), home);
  // Not examined with a policy: its failing runs are logged, and the pass still succeeds.
  return policy ? true : done;
}
