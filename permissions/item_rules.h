#pragma once

#include <optional>
#include <string>

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
