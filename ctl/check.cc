#include "ctl/check.h"

#include <bsd/unistd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "ctl/names.h"
#include "permissions/default_acl.h"
#include "permissions/home_pass.h"
#include "permissions/item_rules.h"
#include "permissions/plan.h"
#include "permissions/policy.h"
#include "platform/acl.h"
#include "platform/admin/filemanager.h"
#include "platform/admin/home.h"
#include "platform/below/beneath.h"
#include "platform/below/walk.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/path.h"
#include "platform/places.h"
#include "repair/repair.h"
#include "repair/repair_walk.h"

using hostacl::AclEntry;

namespace {

struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
};

struct FileIdHash {
  size_t operator()(const FileId& id) const { return std::hash<ino_t>()(id.inode) * 31 + id.device; }
};

FileId idOf(const struct stat& status) { return {status.st_dev, status.st_ino}; }

// One later run of a program that lands on a known item, as the run itself
// reaches it, with what it does there.
struct Step {
  FileId target;
  ToolEffect effect;
  std::shared_ptr<void> modeSet;  // Mode: from setmode(), as chmod reads its operand
};

// What one run of the changes would do, worked out before the walk from the
// plan the changes themselves carry out.
struct Plan {
  CheckAs as = CheckAs::Repair;
  uid_t uid = 0;
  gid_t gid = 0;
  Uuid uuid;
  std::unordered_set<FileId, FileIdHash> matched;  // a repair gives these the rules
  std::vector<Step> steps;                         // in the order they run
};

std::string ownerText(const NameBook& book, uid_t uid, gid_t gid) {
  return userName(book, uid) + ":" + groupName(book, gid);
}

std::string modeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Each run after the per-item rules that would be due now, on the item it
// would reach. A mode the tool cannot read changes nothing.
void addSteps(Plan& plan, const HeldHome& home, const std::vector<ProgramRun>& runs) {
  for (const ProgramRun& run : runs) {
    struct stat status {};
    if (run.effect.kind == ToolEffect::Kind::None || !isDue(run, home, &status)) continue;
    Step step{idOf(status), run.effect, nullptr};
    if (run.effect.kind == ToolEffect::Kind::Mode) {
      step.modeSet.reset(setmode(run.effect.mode.c_str()), std::free);
      if (!step.modeSet) continue;
    }
    plan.steps.push_back(std::move(step));
  }
}

// The items the repair's template walk gives the rules: the walk itself,
// told instead of changing.
void collectMatches(Plan& plan, const HeldHome& home, const std::string& templateRoot) {
  const MatchVisitor record = [&plan](int parentFd, const std::string& name, const std::string&) {
    struct stat status {};
    if (fstatat(parentFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) plan.matched.insert(idOf(status));
  };
  std::string templateBase;
  const std::optional<Uuid> noUuid;
  const RepairWalkContext context{home.path, templateBase, home.status.st_dev, noUuid, home.folder.get(), 0, &record};
  walkRepairTemplate(templateRoot, templateBase, context);
}

Plan makePlan(const CheckAccount& account, const HeldHome& home, const std::string& templateRoot, CheckAs as,
              plist_t policy) {
  Plan plan;
  plan.as = as;
  plan.uuid = account.uuid;
  plan.uid = account.uid;
  plan.gid = account.gid;
  if (as == CheckAs::Apply) {
    addSteps(plan, home, passRuns(home.path, policy, account.name));
    return plan;
  }
  for (const ProgramRun& first : repairRunsBefore(home.path, account.name, repairGroupFor(account.gid))) {
    if (first.effect.kind != ToolEffect::Kind::OwnerTree) continue;
    plan.uid = first.effect.owner;
    plan.gid = first.effect.group;
  }
  collectMatches(plan, home, templateRoot);
  addSteps(plan, home, repairRunsAfter(home.path, account.name, policy));
  return plan;
}

// What an item should be once the changes have run.
struct Want {
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  bool clearImmutable = false;
  std::optional<std::vector<AclEntry>> list;  // none: its list is not touched by the rules
  std::vector<AclEntry> addedEntries;         // by chmod +a, after the rules
  bool leftAlone = false;
};

// A tree that chgrp -R is changing, while the walk is inside it.
struct OpenTree {
  unsigned depth = 0;
  gid_t group = 0;
};

struct Checker {
  const Plan& plan;
  const CheckHooks& hooks;
  NameBook& names;
  CheckSummary summary;
  std::vector<OpenTree> trees;

  // Flags of the item being compared that refuse its change of mode, owner
  // and list: the rules change a folder's mode before they lift its
  // immutable flag, and its list and owner after, but a repair changes owners
  // before the rules run.
  std::string modeLocked, ownerLocked, listLocked;

  void report(Difference difference, bool& itemDiffers) {
    if (difference.attribute == "mode") difference.locked = modeLocked;
    if (difference.attribute == "owner") difference.locked = ownerLocked;
    if (difference.attribute == "list") difference.locked = listLocked;
    ++summary.differences;
    if (!itemDiffers) ++summary.differingItems;
    itemDiffers = true;
    if (hooks.difference) hooks.difference(difference);
  }

  Want want(const struct stat& status, const std::string& path, bool isHome) {
    Want w{status.st_mode & 07777, status.st_uid, status.st_gid, false, std::nullopt, {}, false};
    const bool repair = plan.as == CheckAs::Repair;
    if (isHome) {
      w.mode = kHomeMode;
      w.uid = plan.uid;
      w.gid = plan.gid;
      if (defaultDenyDeleteACL()) w.list = defaultDenyDeleteACL()->entries;
    } else if (leftAloneForLinks(status, plan.uid)) {
      w.leftAlone = true;
    } else {
      w.uid = plan.uid;
      w.gid = plan.gid;
      if (!repair || plan.matched.contains(idOf(status))) {
        const ItemDecision decision = decideItem(status.st_mode, path, true);
        if (decision.mode) w.mode = *decision.mode;
        w.clearImmutable = decision.clearImmutable;
        w.list = wantedList(decision.list, plan.uuid);
      }
    }
    applySteps(status, w);
    return w;
  }

  // The tools leave a file with other names alone unless it belongs to the
  // owner of the folder it is found in, which the changes before them have
  // made the account by then: the same test the per-item rules make.
  void applySteps(const struct stat& status, Want& w) {
    if (leftAloneForLinks(status, plan.uid)) return;
    for (const OpenTree& tree : trees) w.gid = tree.group;
    for (const Step& step : plan.steps) {
      if (step.target != idOf(status)) continue;
      switch (step.effect.kind) {
        case ToolEffect::Kind::Mode:
          w.mode = getmode(step.modeSet.get(), (status.st_mode & S_IFMT) | w.mode) & 07777;
          break;
        case ToolEffect::Kind::GroupTree:
          trees.push_back({0, step.effect.group});
          [[fallthrough]];
        case ToolEffect::Kind::Group:
          w.gid = step.effect.group;
          break;
        case ToolEffect::Kind::AddEntry:
          w.addedEntries.push_back(*step.effect.entry);
          break;
        case ToolEffect::Kind::OwnerTree:
        case ToolEffect::Kind::None:
          break;
      }
    }
  }

  // Compares one item; `fd` is the folder itself for folders, else -1.
  void compare(const struct stat& status, const std::optional<uint32_t>& kernelFlags, int fd,
               const std::string& path, const std::string& relative, bool isHome) {
    ++summary.items;
    if (hooks.progress && summary.items % 4096 == 0) hooks.progress(summary.items);
    const Want w = want(status, path, isHome);
    if (w.leftAlone) ++summary.leftAlone;
    std::optional<uint32_t> flags = kernelFlags;
    if (!flags && fd >= 0) flags = readFlags(fd);
    const uint32_t freezing = flags ? *flags & kFreezingFlags : 0;
    const uint32_t lifted = w.clearImmutable ? freezing & ~UF_IMMUTABLE : freezing;
    modeLocked = freezing ? flagNames(freezing) : std::string();
    listLocked = lifted ? flagNames(lifted) : std::string();
    ownerLocked = plan.as == CheckAs::Repair ? modeLocked : listLocked;
    bool differs = false;
    if (!S_ISLNK(status.st_mode) && (status.st_mode & 07777) != w.mode) {
      report({relative, "mode", modeText(status.st_mode), modeText(w.mode), {}, {}, {}}, differs);
    }
    if (status.st_uid != w.uid || status.st_gid != w.gid) {
      report({relative, "owner", ownerText(names, status.st_uid, status.st_gid), ownerText(names, w.uid, w.gid), {}, {}, {}},
             differs);
    }
    if (fd < 0) return;
    if (w.clearImmutable && flags && (*flags & UF_IMMUTABLE)) {
      const uint32_t all = readFlags(fd).value_or(*flags);  // with the flags the kernel does not keep
      report({relative, "flags", flagNames(all), flagNames(all & ~UF_IMMUTABLE), {}, {}, {}}, differs);
    }
    if (!w.list && w.addedEntries.empty()) return;
    const std::optional<std::vector<AclEntry>> have = hostacl::readAclFd(fd);
    std::vector<AclEntry> wanted = w.list ? *w.list : have.value_or(std::vector<AclEntry>{});
    for (const AclEntry& entry : w.addedEntries) hostacl::insertAclEntry(wanted, entry);
    compareList(wanted, have, relative, differs);
  }

  void compareList(const std::vector<AclEntry>& wanted, const std::optional<std::vector<AclEntry>>& have,
                   const std::string& relative, bool& differs) {
    if (have && *have == wanted) return;
    Difference difference{relative, "list", {}, {}, {}, {}, {}};
    for (const AclEntry& entry : wanted) difference.wantList.push_back(entryText(names, entry));
    if (have) {
      for (const AclEntry& entry : *have) difference.haveList.push_back(entryText(names, entry));
    } else {
      difference.have = "unreadable";
    }
    report(std::move(difference), differs);
  }
};

// The template items that a repair leaves as they are: those the home has no
// match for, and matches that are symbolic links (a repair never follows
// one, and glob finds a dangling one too). Found as the repair finds them;
// nothing below an item already reported is reported again.
void findUnmended(const HeldHome& home, const std::string& templateRoot, CheckSummary& summary,
                  const CheckHooks& hooks) {
  std::vector<std::string> reported;
  const auto below = [&](const std::string& path) {
    for (const std::string& top : reported) {
      if (path == top || (path.starts_with(top) && path[top.size()] == '/')) return true;
    }
    return false;
  };
  const auto report = [&](const std::string& path, const char* kind) {
    reported.push_back(path);
    ++(std::strcmp(kind, "missing") == 0 ? summary.missing : summary.links);
    if (hooks.unmended) hooks.unmended({path, kind});
  };
  const std::string prefix = joinPath(home.path, "") + "/";
  for (const char* folder : kRepairTemplateFolders) {
    enumerateSubpaths(joinPath(templateRoot, folder), [&](const std::string& subpath) {
      if (below(subpath)) return;
      bool matched = false;
      forEachHomeMatch(home.path, subpath, [&](const std::string& match) {
        matched = true;
        std::string name;
        const int parent = openMatchParent(match, home.path, home.folder.get(), &name);
        if (parent < 0 || !match.starts_with(prefix)) return;  // reached through a link, reported as such
        UniqueFd held(parent);
        const std::string relative = match.substr(prefix.size());
        if (below(relative)) return;
        struct stat status {};
        if (fstatat(held.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
          report(relative, "link");
        }
      });
      if (!matched) report(subpath, "missing");
    });
  }
}

}  // namespace


CheckRun startCheckRun() { return CheckRun{readNameBook(), loadPermissionPolicy()}; }

CheckSummary checkHome(const CheckAccount& account, const std::string& templateRoot, CheckAs as,
                       const CheckHooks& hooks, CheckRun& run) {
  const HeldHome home = holdHome(account.home);
  if (!home.folder.valid()) {
    CheckSummary failed;
    failed.error = !home.examined ? "no home at " + account.home
                   : S_ISLNK(home.status.st_mode) ? account.home + " is a symbolic link"
                                                  : account.home + " is not a folder";
    return failed;
  }
  const Plan plan = makePlan(account, home, templateRoot, as, run.policy.get());
  Checker checker{plan, hooks, run.names, {}, {}, {}, {}, {}};
  checker.summary.reached = true;

  struct statx homeStatus {};
  std::optional<uint32_t> homeFlags;
  if (statx(home.folder.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &homeStatus) == 0) {
    homeFlags = kernelFlagsOf(homeStatus);
  }
  struct stat status {};
  fstat(home.folder.get(), &status);
  checker.compare(status, homeFlags, home.folder.get(), home.path, ".", true);

  WalkVisitor visitor;
  visitor.crossDevices = true;  // as the owner changes and the pass do
  visitor.enter = [&](const WalkItem& item) {
    // Trees of chgrp -R that this item is no longer inside end here.
    while (!checker.trees.empty() && checker.trees.back().depth >= item.depth) checker.trees.pop_back();
    const size_t open = checker.trees.size();
    checker.compare(item.status, item.kernelFlags, S_ISDIR(item.status.st_mode) ? item.fd : -1, *item.path,
                    item.path->substr(item.rootLength + 1), false);
    for (size_t i = open; i < checker.trees.size(); ++i) checker.trees[i].depth = item.depth;
    return WalkStep::Descend;
  };
  const WalkError error = walkTree(home.folder.get(), joinPath(home.path, ""), visitor);
  if (error.error != 0) {
    checker.summary.complete = false;
    checker.summary.error = error.path + ": " + std::strerror(error.error);
  }
  if (hooks.progress) hooks.progress(checker.summary.items);
  if (as == CheckAs::Repair) findUnmended(home, templateRoot, checker.summary, hooks);
  return checker.summary;
}
