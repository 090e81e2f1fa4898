#include "repair/run_changes.h"

#include <bsd/unistd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "permissions/default_acl.h"
#include "platform/admin/filemanager.h"
#include "platform/below/pin.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/path.h"
#include "repair/repair.h"
#include "repair/repair_walk.h"

using hostacl::AclEntry;

namespace {

FileId idOf(const struct stat& status) { return {status.st_dev, status.st_ino}; }

// Each run after the per-item rules that would be due now, on the item it
// would reach. A mode the program cannot read changes nothing.
void addSteps(RunChanges& run, const HeldHome& home, const std::vector<ProgramRun>& runs) {
  for (const ProgramRun& program : runs) {
    struct stat status {};
    if (program.effect.kind == ToolEffect::Kind::None || !isDue(program, home, &status)) continue;
    ProgramStep step{idOf(status), program.tool, program.effect, nullptr};
    if (program.effect.kind == ToolEffect::Kind::GroupTree) {
      const std::string base = joinPath(home.path, "");
      run.trees.push_back({(program.target.empty() ? base : joinPath(base, program.target)) + "/", program.effect.group,
                           program.tool});
    }
    if (program.effect.kind == ToolEffect::Kind::Mode) {
      step.modeSet.reset(setmode(program.effect.mode.c_str()), std::free);
      if (!step.modeSet) continue;
    }
    run.steps.push_back(std::move(step));
  }
}

// The items the repair's template walk gives the rules: the walk itself,
// told instead of changing.
void collectMatches(RunChanges& run, const HeldHome& home, const std::string& templateRoot,
                    const TemplateListing* listing) {
  const MatchVisitor record = [&run](int parentFd, const std::string& name, const std::string&) {
    struct stat status {};
    if (fstatat(parentFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) run.matched.insert(idOf(status));
  };
  std::string templateBase;
  const std::optional<Uuid> noUuid;
  const RepairWalkContext context{home.path, templateBase, home.status.st_dev, noUuid, home.folder.get(), 0, &record,
                                  listing};
  walkRepairTemplate(templateRoot, templateBase, context);
}

ItemChange ownerChange(const char* step, uid_t uid, gid_t gid, uint32_t refusedBy) {
  ItemChange change;
  change.attribute = Attribute::Owner;
  change.step = step;
  change.uid = uid;
  change.gid = gid;
  change.refusedBy = refusedBy;
  return change;
}

// The home itself, whatever it is: its list and mode, then its owner.
std::vector<ItemChange> homeChanges(const RunChanges& run, uint32_t freezing) {
  std::vector<ItemChange> changes;
  ItemChange mode;
  mode.mode = kHomeMode;
  mode.refusedBy = freezing;
  changes.push_back(std::move(mode));
  if (defaultDenyDeleteACL()) {
    ItemChange list;
    list.attribute = Attribute::List;
    list.entries = defaultDenyDeleteACL()->entries;
    list.refusedBy = freezing;
    changes.push_back(std::move(list));
  }
  changes.push_back(ownerChange(run.ownerStep, run.owner.uid, run.owner.gid, freezing));
  return changes;
}

// What the program runs after the rules do to the item; `mode` is its mode
// as the changes before have left it, which a relative mode starts from.
void addProgramChanges(const RunChanges& run, const ItemFacts& item, mode_t mode, uint32_t freezing,
                       std::vector<ItemChange>& changes) {
  for (const GroupTree& tree : run.trees) {
    if (!item.path.starts_with(tree.prefix)) continue;
    changes.push_back(ownerChange(tree.tool, static_cast<uid_t>(-1), tree.group, freezing));
  }
  for (const ProgramStep& step : run.steps) {
    if (step.target != idOf(item.status)) continue;
    switch (step.effect.kind) {
      case ToolEffect::Kind::Mode: {
        ItemChange change;
        change.step = step.tool;
        change.mode = getmode(step.modeSet.get(), (item.status.st_mode & S_IFMT) | mode) & 07777;
        change.refusedBy = freezing;
        mode = change.mode;
        changes.push_back(std::move(change));
        break;
      }
      case ToolEffect::Kind::GroupTree:
      case ToolEffect::Kind::Group:
        changes.push_back(ownerChange(step.tool, static_cast<uid_t>(-1), step.effect.group, freezing));
        break;
      case ToolEffect::Kind::AddEntry: {
        ItemChange change;
        change.attribute = Attribute::List;
        change.step = step.tool;
        change.entries = {*step.effect.entry};
        change.addsEntries = true;
        change.refusedBy = freezing;
        changes.push_back(std::move(change));
        break;
      }
      case ToolEffect::Kind::OwnerTree:
      case ToolEffect::Kind::None:
        break;
    }
  }
}

}  // namespace

RunChanges planRunChanges(RunKind kind, const RunAccount& account, const HeldHome& home,
                          const std::string& templateRoot, plist_t policy, const IdentityFiles* identities,
                          const TemplateListing* listing) {
  RunChanges run;
  run.kind = kind;
  run.uuid = account.uuid;
  run.owner.present = true;
  run.owner.uid = account.uid;
  run.owner.gid = account.gid;
  if (kind == RunKind::Apply) {
    addSteps(run, home, passRuns(home.path, policy, account.name, identities));
  } else {
    for (const ProgramRun& first :
         repairRunsBefore(home.path, account.name, repairGroupFor(account.gid), identities)) {
      if (first.effect.kind != ToolEffect::Kind::OwnerTree) continue;
      run.owner.uid = first.effect.owner;
      run.owner.gid = first.effect.group;
      run.ownerStep = first.tool;
    }
    collectMatches(run, home, templateRoot, listing);
    addSteps(run, home, repairRunsAfter(home.path, account.name, policy, identities));
  }
  run.owner.linkedFileOwner = run.owner.uid;
  return run;
}

std::vector<ItemChange> itemChanges(const RunChanges& run, const ItemFacts& item, bool* leftAlone) {
  uint32_t freezing = item.flags ? *item.flags & kFreezingFlags : 0;
  *leftAlone = false;
  if (item.depth == 0) {
    std::vector<ItemChange> changes = homeChanges(run, freezing);
    addProgramChanges(run, item, kHomeMode, freezing, changes);
    return changes;
  }
  // The programs leave a file with other names alone unless it belongs to
  // the owner of the folder it is found in, which the changes before them
  // have made the account by then: the same test the per-item rules make.
  if (leftAloneForLinks(item.status, run.owner.linkedFileOwner)) {
    *leftAlone = true;
    return {};
  }
  std::vector<ItemChange> changes;
  changes.reserve(6);  // an owner change, the rules' few and a program's: one allocation an item
  OwnerIds rulesOwner = run.owner;
  if (run.kind == RunKind::Repair) {
    // The repair's owner change comes first, and its rules change no owner.
    changes.push_back(ownerChange(run.ownerStep, run.owner.uid, run.owner.gid, freezing));
    rulesOwner.present = false;
  }
  mode_t mode = item.status.st_mode & 07777;
  if (run.kind == RunKind::Apply || run.matched.contains(idOf(item.status))) {
    const ItemDecision decision = decideItem(item.status.st_mode, item.path, true);
    for (ItemChange& change : ruleChanges(decision, rulesOwner, run.uuid, item.flags)) {
      if (change.attribute == Attribute::Mode) mode = change.mode;
      if (change.attribute == Attribute::Flags) freezing &= ~change.clearFlags;
      changes.push_back(std::move(change));
    }
  }
  addProgramChanges(run, item, mode, freezing, changes);
  return changes;
}

ItemOutcome outcomeOf(const struct stat& status, const std::vector<ItemChange>& changes) {
  ItemOutcome outcome{status.st_mode & 07777, status.st_uid, status.st_gid, 0, false, 0, 0, 0};
  for (const ItemChange& change : changes) {
    switch (change.attribute) {
      case Attribute::Mode:
        if (S_ISLNK(status.st_mode)) break;
        outcome.mode = change.mode;
        outcome.modeRefusedBy |= change.refusedBy;
        break;
      case Attribute::Flags:
        outcome.clearFlags |= change.clearFlags;
        break;
      case Attribute::List:
        outcome.listChanged = true;
        outcome.listRefusedBy |= change.refusedBy;
        break;
      case Attribute::Owner:
        if (change.uid != static_cast<uid_t>(-1)) outcome.uid = change.uid;
        if (change.gid != static_cast<gid_t>(-1)) outcome.gid = change.gid;
        outcome.ownerRefusedBy |= change.refusedBy;
        break;
    }
  }
  return outcome;
}

std::vector<AclEntry> listOutcome(std::vector<AclEntry> have, const std::vector<ItemChange>& changes) {
  for (const ItemChange& change : changes) {
    if (change.attribute != Attribute::List) continue;
    if (!change.addsEntries) {
      have = change.entries;
      continue;
    }
    for (const AclEntry& entry : change.entries) hostacl::insertAclEntry(have, entry);
  }
  return have;
}

void forEachUnmended(const HeldHome& home, const TemplateListing& listing,
                     const std::function<void(const std::string& path, const char* kind)>& visit) {
  std::vector<std::string> told;
  const auto below = [&](const std::string& path) {
    for (const std::string& top : told) {
      if (path == top || (path.starts_with(top) && path[top.size()] == '/')) return true;
    }
    return false;
  };
  const auto tell = [&](const std::string& path, const char* kind) {
    told.push_back(path);
    visit(path, kind);
  };
  const std::string prefix = joinPath(home.path, "") + "/";
  for (const std::vector<TemplateItem>& items : listing.items) {
    for (const TemplateItem& item : items) {
      const std::string& subpath = item.subpath;
      if (below(subpath)) continue;
      bool matched = false;
      forEachHomeMatch(home.path, subpath, [&](const std::string& match) {
        matched = true;
        std::string name;
        const int parent = openMatchParent(match, home.path, home.folder.get(), &name);
        if (parent < 0 || !match.starts_with(prefix)) return;  // reached through a link, told as such
        UniqueFd held(parent);
        const std::string relative = match.substr(prefix.size());
        if (below(relative)) return;
        struct stat status {};
        // A repair never follows a link, and glob finds a dangling one too.
        if (fstatat(held.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
          tell(relative, "link");
        }
      });
      if (!matched) tell(subpath, "missing");
    }
  }
}
