#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/uuid.h"

/// Shared by the repair driver and its walk for the length of one repair.
struct RepairWalkContext {
  const std::string& home;
  const std::string& templateBase;  // the template folder walked now; the driver changes it between walks
  dev_t homeDevice = 0;
  const std::optional<Uuid>& userUUID;
  int homeFd = -1;  // the home, pinned without following a link
  uid_t homeOwner = 0;  // after the recursive owner change; a multiply-linked file must be theirs
};

/// Finds every home item that plays the part of the template item at
/// `subpath` (every *.lproj where the path passes through English.lproj),
/// tests it against the template item and gives it the per-item rules.
void repairTemplateItem(const RepairWalkContext& context, const std::string& subpath);

/// Tests one match and, when it passes, gives it the per-item rules without
/// changing its owner. The match is changed only when it lies below the home
/// with no symbolic link on the way.
void repairMatchedItem(const std::string& templateItem, const std::string& match, const std::string& home,
                       dev_t homeDevice, const std::optional<Uuid>& userUUID, int homeFd, uid_t homeOwner);
