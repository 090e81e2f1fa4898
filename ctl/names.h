#pragma once

// What the front end's listings share: names for ids, read once per listing
// from the identity files, and entry texts remembered.

#include <sys/types.h>

#include <string>
#include <unordered_map>

#include "platform/acl_codec.h"
#include "platform/directory.h"

struct NameBook {
  IdentityFiles identities;  // read once: every entry's qualifier is named from them
  std::unordered_map<uid_t, std::string> users;
  std::unordered_map<gid_t, std::string> groups;
  // Text of each access-list entry met so far, by its stored form: naming a
  // qualifier tries each account and group, and a home repeats a handful of
  // entries on every folder.
  std::unordered_map<std::string, std::string> entries;
};

/// The accounts and groups as the identity files have them now; the first
/// line of an id names it, as the system's own lookups do.
NameBook readNameBook();

/// The name of a user or group id, else the number.
std::string userName(const NameBook& book, uid_t uid);
std::string groupName(const NameBook& book, gid_t gid);

/// The text form of an entry (remembered: a bounded number of them).
const std::string& entryText(NameBook& book, const hostacl::AclEntry& entry);
