#pragma once

// The changes one repair or one permissions pass makes to each item of a
// home, as a stream: item by item, in walk order, each change with the value
// it sets and the step that sets it. The stream is worked out from the same
// rules and the same plan of program runs that the run carries out, so a
// step added to either is seen here without more work; a check reads the
// stream and changes nothing.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "permissions/item_rules.h"
#include "permissions/plan.h"
#include "platform/admin/home.h"
#include "platform/plist.h"
#include "platform/uuid.h"
#include "repair/repair_walk.h"

enum class RunKind { Repair, Apply };

/// Whose home the run is for.
struct RunAccount {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  Uuid uuid;
};

/// An item as the walk meets it.
struct ItemFacts {
  const struct stat& status;
  std::optional<uint32_t> flags;  // its flags, when known
  const std::string& path;        // full path, as the walk of the home's path gives it
  unsigned depth = 0;             // 0 for the home itself
};

struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
};

struct FileIdHash {
  size_t operator()(const FileId& id) const { return std::hash<ino_t>()(id.inode) * 31 + id.device; }
};

/// One later program run that lands on a known item, as the run itself
/// reaches it, with what it does there.
struct ProgramStep {
  FileId target;
  const char* tool = nullptr;
  ToolEffect effect;
  std::shared_ptr<void> modeSet;  // Mode: the mode read as the program reads it
};

/// The items below a folder that a recursive group change covers.
struct GroupTree {
  std::string prefix;  // the folder's path and a slash: the paths of the items below it start so
  gid_t group = 0;
  const char* tool = nullptr;
};

/// What one run will do, worked out before the walk; read-only while the
/// walk asks it, so walks side by side may share it.
struct RunChanges {
  RunKind kind = RunKind::Repair;
  OwnerIds owner;                      // the owner items end with
  const char* ownerStep = "rules";     // who gives them that owner
  Uuid uuid;
  std::unordered_set<FileId, FileIdHash> matched;  // a repair gives these the rules
  std::vector<ProgramStep> steps;      // in the order they run
  std::vector<GroupTree> trees;        // in the order they run
};

/// The plan of a run on the held home: the programs before the rules (a
/// repair's owner change), the items the rules reach (a repair's template
/// matches), the programs after (the policy, the built-in commands).
/// `identities` and `listing`, when given, are the identity files and the
/// template as read once for many homes.
RunChanges planRunChanges(RunKind kind, const RunAccount& account, const HeldHome& home,
                          const std::string& templateRoot, plist_t policy, const IdentityFiles* identities = nullptr,
                          const TemplateListing* listing = nullptr);

/// The changes the run makes to one item, in order; the home is the item at
/// depth 0. `leftAlone` is set when the item is a file with other names that
/// no change touches.
std::vector<ItemChange> itemChanges(const RunChanges& run, const ItemFacts& item, bool* leftAlone);

/// The value of each attribute once `changes` are made to an item that has
/// `status` now (a list is not read here: `listChanged` says whether the
/// changes give it one, and `entries` applies them to the list it has).
struct ItemOutcome {
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  uint32_t clearFlags = 0;
  bool listChanged = false;
  /// The flags that refuse some change of the attribute when it comes.
  uint32_t modeRefusedBy = 0, ownerRefusedBy = 0, listRefusedBy = 0;
};
ItemOutcome outcomeOf(const struct stat& status, const std::vector<ItemChange>& changes);

/// The list an item ends with, from the one it has (empty when none).
std::vector<hostacl::AclEntry> listOutcome(std::vector<hostacl::AclEntry> have, const std::vector<ItemChange>& changes);

/// A template item that a repair leaves as it is: it finds no counterpart in
/// the home ("missing"), or a symbolic link in its place ("link"), as the
/// repair finds them; nothing below an item told of already is told again.
void forEachUnmended(const HeldHome& home, const TemplateListing& listing,
                     const std::function<void(const std::string& path, const char* kind)>& visit);
