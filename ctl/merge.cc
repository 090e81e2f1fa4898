#include "ctl/merge.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <set>

#include "ctl/homelock.h"
#include "platform/admin/trusted.h"
#include "platform/below/beneath.h"
#include "platform/below/walk.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/path.h"

namespace {

enum class Fate { Created, Overwritten, Kept };

// What the copy does at `relative` in the home: the item there is read from
// its own folder, reached with no link on the way. A link or non-folder on
// the way stands where the template has a folder, so it is itself
// overwritten and everything below it is new.
Fate fateInHome(int homeFd, const std::string& relative) {
  if (homeFd < 0) return Fate::Created;
  std::string name;
  const int parent = openParentBeneath(homeFd, relative, &name);
  if (parent < 0) return Fate::Created;
  const UniqueFd folder(parent);
  struct stat status {};
  if (fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return Fate::Created;
  // A folder merges; one where the template has a file is left alone by the
  // copier (which then fails), so nothing of it is lost either.
  return S_ISDIR(status.st_mode) ? Fate::Kept : Fate::Overwritten;
}

// Sorts every item of the template folder `source` into the two sets.
void planFolder(const std::string& source, int homeFd, std::set<std::string>& created,
                std::set<std::string>& overwritten, MergePlan& plan) {
  const int fd = openTrusted(source, O_RDONLY | O_DIRECTORY, FinalLink::Follow);
  if (fd < 0) return;  // the creation fails on it with its own message
  const UniqueFd folder(fd);
  WalkVisitor visitor;
  visitor.examineNonFolders = false;
  visitor.crossDevices = true;
  visitor.enter = [&](const WalkItem& item) {
    const std::string relative = item.path->substr(item.rootLength + 1);
    switch (fateInHome(homeFd, relative)) {
      case Fate::Created:
        created.insert(relative);
        break;
      case Fate::Overwritten:
        overwritten.insert(relative);
        break;
      case Fate::Kept:
        break;
    }
    return WalkStep::Descend;
  };
  const WalkError error = walkTree(folder.get(), source, visitor);
  if (error.error != 0 && plan.error == 0) {
    plan.error = error.error;
    plan.errorPath = error.path;
  }
}

}  // namespace

MergePlan planMerge(const std::string& templateRoot, const std::string& languageFolder, int homeFd) {
  MergePlan plan;
  std::set<std::string> created, overwritten;
  planFolder(joinPath(templateRoot, "Non_localized"), homeFd, created, overwritten, plan);
  planFolder(languageFolder, homeFd, created, overwritten, plan);
  plan.created.assign(created.begin(), created.end());
  plan.overwritten.assign(overwritten.begin(), overwritten.end());
  return plan;
}

std::optional<std::string> otherAccountWithHome(const std::string& home, const Identity& self) {
  const std::string wanted = normalHomeText(home);
  for (const AccountRecord& record : readAccounts().value_or(std::vector<AccountRecord>{})) {
    if (record.shortName == self.shortName || record.home.empty()) continue;
    if (normalHomeText(record.home) == wanted) return record.shortName;
  }
  return std::nullopt;
}
