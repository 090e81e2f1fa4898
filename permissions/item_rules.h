#pragma once

#include <optional>
#include <string>

#include <sys/stat.h>

#include <vector>

#include "platform/acl.h"
#include "platform/below/pin.h"
#include "platform/below/walk.h"
#include "platform/uuid.h"

/// The owner to give items: both ids, or none at all.
struct OwnerIds {
  bool present = false;
  uid_t uid = 0;
  gid_t gid = 0;
  /// Whom a file with more than one hard link must belong to already for the
  /// rules to change it (another name of it may lie outside the home): the
  /// new owner when there is one, else the home's owner.
  uid_t linkedFileOwner = 0;
};

/// Which access list a folder is given.
enum class ListRule {
  Keep,             // left as it is (a non-folder, a Movies folder, no default list)
  Default,          // the shared deny-delete list
  DropBox,          // everyone denied deletion, the owner allowed everything, inherited
  DropBoxNoOwner,   // a Drop Box folder with no owner's UUID: left as it is, and said
};

/// What the rules want of one item, decided from its kind, name and path
/// alone; a change and a check both ask this, so they cannot disagree.
struct ItemDecision {
  bool folder = false;
  std::optional<mode_t> mode;  // none: a link keeps its mode
  bool clearImmutable = false;
  ListRule list = ListRule::Keep;
};

/// The line that says a file with other names was left as it is.
void logLeftAloneForLinks(const std::string& path, const struct stat& status, uid_t owner);

ItemDecision decideItem(mode_t type, const std::string& path, bool ownerUuidKnown);

/// The Drop Box list for the owner `userUUID`; the caller frees it. Null when
/// it could not be built whole.
hostacl::acl_t buildDropBoxList(const Uuid& userUUID);

/// The entries that `rule` gives a folder; none for Keep and DropBoxNoOwner
/// (the folder keeps its own), nor when the list could not be built.
std::optional<std::vector<hostacl::AclEntry>> wantedList(ListRule rule, const std::optional<Uuid>& userUUID);

/// Converts the decimal id texts; absent unless both are present. `homeOwner`
/// is the home's owner now, for files with several links when no ids are given.
OwnerIds ownerIds(const std::optional<std::string>& userIdText, const std::optional<std::string>& groupIdText,
                  uid_t homeOwner);

/// Gives one item of a home its mode, flags, access list and owner. The item
/// is reached through its pinned parent (and, for a folder, its own pinned
/// descriptor), so swapping it for a link changes nothing outside the home.
void applyItemPermissions(const WalkItem& item, const OwnerIds& owner, const std::optional<Uuid>& userUUID);

/// The same for the item `name` in the pinned folder `parentFd`, pinned first
/// without following a link. False, with nothing changed, when it cannot be
/// reached.
bool applyItemPermissionsAt(int parentFd, const char* name, const std::string& path, const OwnerIds& owner,
                            const std::optional<Uuid>& userUUID);
