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

/// One change intended for one item: which attribute, the value it is to
/// have, and the step that gives it. A run's changes to an item come as a
/// list in the order they are made; the changes themselves make them, and a
/// check compares them with what the item has, so the two cannot disagree.
enum class Attribute { Mode, Flags, List, Owner };

struct ItemChange {
  Attribute attribute = Attribute::Mode;
  const char* step = "rules";  // the per-item rules, or the program that makes it
  mode_t mode = 0;             // Mode: the permission bits
  uint32_t clearFlags = 0;     // Flags: the flags taken away; the others stay
  std::vector<hostacl::AclEntry> entries;  // List: the whole list, or the entries added
  bool addsEntries = false;    // List: `entries` join the list instead of replacing it
  uid_t uid = static_cast<uid_t>(-1);  // Owner: -1 keeps that id
  gid_t gid = static_cast<gid_t>(-1);
  /// The immutable or append flags still set when the change comes: the
  /// kernel refuses it then.
  uint32_t refusedBy = 0;
};

/// The rules' changes to an item they decided on, in the order they make
/// them: mode, then (a folder) its immutable flag and list, then the owner.
/// `flags` are the item's flags now, when known, for the changes' refusals.
std::vector<ItemChange> ruleChanges(const ItemDecision& decision, const OwnerIds& owner,
                                    const std::optional<Uuid>& userUUID, std::optional<uint32_t> flags);

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
