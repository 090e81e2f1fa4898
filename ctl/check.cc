#include "ctl/check.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#include "ctl/names.h"
#include "permissions/policy.h"
#include "platform/acl.h"
#include "platform/admin/home.h"
#include "platform/below/pool.h"
#include "platform/flags.h"
#include "platform/path.h"
#include "repair/run_changes.h"

using hostacl::AclEntry;

namespace {

std::string ownerText(const NameBook& book, uid_t uid, gid_t gid) {
  return userName(book, uid) + ":" + groupName(book, gid);
}

// Told apart by the cache of owner texts below, as checks follow one another.
std::atomic<uint64_t> checksStarted{0};

std::string modeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string lockText(uint32_t flags) { return flags ? flagNames(flags) : std::string(); }

// Reads the run's changes to each item and reports where the item differs
// from what they leave. Items come from several walkers at once: what each
// item needs, and its differences, are worked out on its own (the names of
// ids are only read); the entry texts of lists, which are remembered, and the
// progress line take the lock.
struct Checker {
  const RunChanges& run;
  const CheckHooks& hooks;
  NameBook& names;
  std::atomic<uint64_t> items{0}, leftAloneItems{0}, differences{0}, differingItems{0};
  std::mutex lock;
  const uint64_t serial;  // this check among those of the process

  // Most items of a home name the same few owners: each thread keeps the last
  // two texts it made for this check.
  std::string ownerOf(uid_t uid, gid_t gid) {
    struct Made {
      uint64_t check = 0;
      uid_t uid = 0;
      gid_t gid = 0;
      std::string text;
    };
    thread_local Made made[2];
    thread_local unsigned next = 0;
    for (const Made& m : made) {
      if (m.check == serial && m.uid == uid && m.gid == gid) return m.text;
    }
    Made& slot = made[next++ % 2];
    slot = {serial, uid, gid, ownerText(names, uid, gid)};
    return slot.text;
  }

  // Compares one item; `fd` is the folder itself for folders, else -1.
  void compare(const struct stat& status, const std::optional<uint32_t>& kernelFlags, int fd,
               const std::string& path, std::string_view relativePath, unsigned depth) {
    std::optional<uint32_t> flags = kernelFlags;
    if (!flags && fd >= 0) flags = readFlags(fd, nullptr);
    bool leftAlone = false;
    const std::vector<ItemChange> changes = itemChanges(run, ItemFacts{status, flags, path, depth}, &leftAlone);
    const ItemOutcome want = outcomeOf(status, changes);
    std::optional<uint32_t> allFlags;
    if (fd >= 0 && flags && (*flags & want.clearFlags)) {
      allFlags = readFlags(fd, nullptr).value_or(*flags);  // with the flags the kernel does not keep
    }
    std::optional<std::vector<AclEntry>> have, wanted;
    if (fd >= 0 && want.listChanged) {
      have = hostacl::readAclFd(fd, nullptr);
      wanted = listOutcome(have.value_or(std::vector<AclEntry>{}), changes);
    }

    const uint64_t seen = ++items;
    if (leftAlone) ++leftAloneItems;
    if (hooks.progress && seen % 4096 == 0) {
      const std::lock_guard<std::mutex> held(lock);
      hooks.progress(seen);
    }
    const bool listDiffers = wanted && !(have && *have == *wanted);
    const bool modeDiffers = !S_ISLNK(status.st_mode) && (status.st_mode & 07777) != want.mode;
    const bool ownerDiffers = status.st_uid != want.uid || status.st_gid != want.gid;
    if (!modeDiffers && !ownerDiffers && !allFlags && !listDiffers) return;  // most items of a home

    const std::string relative(relativePath);
    std::vector<Difference> found;
    found.reserve(4);
    if (modeDiffers) {
      found.push_back(
          {relative, "mode", modeText(status.st_mode), modeText(want.mode), {}, {}, lockText(want.modeRefusedBy)});
    }
    if (ownerDiffers) {
      found.push_back({relative, "owner", ownerOf(status.st_uid, status.st_gid), ownerOf(want.uid, want.gid), {}, {},
                       lockText(want.ownerRefusedBy)});
    }
    if (allFlags) {
      found.push_back({relative, "flags", flagNames(*allFlags), flagNames(*allFlags & ~want.clearFlags), {}, {}, {}});
    }
    if (listDiffers) {
      Difference difference{relative, "list", {}, {}, {}, {}, lockText(want.listRefusedBy)};
      const std::lock_guard<std::mutex> held(lock);
      for (const AclEntry& entry : *wanted) difference.wantList.push_back(entryText(names, entry));
      if (have) {
        for (const AclEntry& entry : *have) difference.haveList.push_back(entryText(names, entry));
      } else {
        difference.have = "unreadable";
      }
      found.push_back(std::move(difference));
    }
    differences += found.size();
    ++differingItems;
    if (!hooks.difference) return;
    for (Difference& difference : found) hooks.difference(std::move(difference));
  }
};

}  // namespace


CheckRun startCheckRun() { return CheckRun{readNameBook(), loadPermissionPolicy(), {}, {}}; }

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
  if (as == CheckAs::Repair && run.listedTemplate != templateRoot) {
    run.listing = std::make_shared<TemplateListing>(listRepairTemplate(templateRoot));
    run.listedTemplate = templateRoot;
  }
  const RunAccount owner{account.name, account.uid, account.gid, account.uuid};
  RunChanges changes = planRunChanges(as == CheckAs::Repair ? RunKind::Repair : RunKind::Apply, owner, home,
                                      templateRoot, run.policy.get(), &run.names.identities, run.listing.get());
  Checker checker{changes, hooks, run.names, {0}, {0}, {0}, {0}, {}, ++checksStarted};
  CheckSummary summary;
  summary.reached = true;

  struct statx homeStatus {};
  std::optional<uint32_t> homeFlags;
  if (statx(home.folder.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &homeStatus) == 0) {
    homeFlags = kernelFlagsOf(homeStatus);
  }
  struct stat status {};
  fstat(home.folder.get(), &status);
  checker.compare(status, homeFlags, home.folder.get(), home.path, ".", 0);
  if (hooks.homeCompared) hooks.homeCompared();

  WalkVisitor visitor;
  visitor.crossDevices = true;  // as the owner changes and the pass do
  visitor.enter = [&](const WalkItem& item) {
    checker.compare(item.status, item.kernelFlags, S_ISDIR(item.status.st_mode) ? item.fd : -1, *item.path,
                    std::string_view(*item.path).substr(item.rootLength + 1), item.depth);
    return WalkStep::Descend;
  };
  const WalkError error = walkTreeShared(home.folder.get(), joinPath(home.path, ""), visitor, walkWorkers());
  if (error.error != 0) {
    summary.complete = false;
    summary.error = error.path + ": " + std::strerror(error.error);
  }
  summary.items = checker.items;
  summary.leftAlone = checker.leftAloneItems;
  summary.differences = checker.differences;
  summary.differingItems = checker.differingItems;
  if (hooks.progress) hooks.progress(summary.items);
  if (as == CheckAs::Repair) {
    forEachUnmended(home, *run.listing, [&](const std::string& path, const char* kind) {
      ++(std::strcmp(kind, "missing") == 0 ? summary.missing : summary.links);
      if (hooks.unmended) hooks.unmended({path, kind});
    });
  }
  return summary;
}
