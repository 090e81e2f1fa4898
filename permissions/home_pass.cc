#include "permissions/home_pass.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "permissions/default_acl.h"
#include "permissions/item_rules.h"
#include "permissions/log_sites.h"
#include "permissions/policy.h"
#include "platform/admin/home.h"
#include "platform/below/beneath.h"
#include "platform/below/pin.h"
#include "platform/below/walk.h"
#include "platform/path.h"
#include "platform/runtool.h"
#include "platform/syslog.h"
#include "platform/watch.h"

namespace {

// Follows the user's short name in the Drop Box allow entry.
constexpr const char* kDropBoxEntry =
    " allow list,add_file,search,delete,add_subdirectory,delete_child,readattr,writeattr,readextattr,"
    "writeextattr,readsecurity,writesecurity,chown,file_inherit,directory_inherit";

// The home itself, whatever it is: the shared deny-delete list, mode 0750, and
// its owner. It is held without following a link, so a home that is a link is
// left alone.
void applyHomeSettings(const HeldHome& home, const OwnerIds& owner) {
  const bool changed = setHomeListAndMode(home, owner.linkedFileOwner, permissionsLog::kModule, permissionsLog::kHomeList);
  if (changed && owner.present && home.item.valid() && !S_ISLNK(home.status.st_mode)) {
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
  const WalkError error = walkTree(homeFd, joinPath(homePath, ""), visitor);
  if (error.error) logFormat("Couldn't read %s: %s", error.path.c_str(), std::strerror(error.error));
}

// The tools follow a link named on their command line; an item reached
// through a link inside the home, or that is one, is not handed to them.
bool existsWithoutLinks(int homeFd, const std::string& relative) {
  return homeFd >= 0 && existsBeneathWithoutLinks(homeFd, relative);
}

bool runFallbackCommands(const HeldHome& home, const std::optional<std::string>& userName) {
  bool result = true;
  const int homeFd = home.folder.get();
  const std::string& homePath = home.path;
  // A home that is a link is not handed over (it fails as a missing home
  // does); a missing one is, and chmod's own status tells.
  constexpr int kLinkedHome = 1;
  const bool linked = home.examined && S_ISLNK(home.status.st_mode);
  int status = linked ? kLinkedHome : runTool("/bin/chmod", {"+a", "group:everyone deny delete", homePath});
  if (status != 0) {
    result = false;
    logFormat("%s:%d Error:%d", permissionsLog::kModule, permissionsLog::kFallbackHomeEntry, status);
  }
  if (existsWithoutLinks(homeFd, kStreamingFolder)) {
    status = runTool("/usr/bin/chgrp", {"-R", kStreamingGroup, joinPath(joinPath(homePath, "Sites"), "Streaming")});
    if (status != 0) {
      result = false;
      logFormat("%s:%d Error:%d", permissionsLog::kModule, permissionsLog::kFallbackStreaming, status);
    }
  }
  if (userName && existsWithoutLinks(homeFd, "Public/Drop Box")) {
    const std::string entry = *userName + kDropBoxEntry;
    status = runTool("/bin/chmod", {"+a", entry, joinPath(joinPath(homePath, "Public"), "Drop Box")});
    if (status != 0) {
      result = false;
      logFormat("%s:%d Error:%d", permissionsLog::kModule, permissionsLog::kFallbackDropBox, status);
    }
  }
  return result;
}

}  // namespace

bool setPermissions(const HeldHome& home, const std::optional<std::string>& userName,
                    const std::optional<std::string>& userIdText, const std::optional<std::string>& groupIdText,
                    const std::optional<Uuid>& userUUID) {
  const OwnerIds owner = ownerIds(userIdText, groupIdText, home.status.st_uid);
  applyHomeSettings(home, owner);
  applyToEveryItem(home.folder.get(), home.path, owner, userUUID);
  if (PlistRef policy = loadPermissionPolicy()) {
    runPermissionPolicy(home, userName, policy.get());
    return true;
  }
  return runFallbackCommands(home, userName);
}
