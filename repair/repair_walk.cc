#include "repair/repair_walk.h"

#include <fcntl.h>
#include <glob.h>
#include <unistd.h>
#include <sys/stat.h>

#include "permissions/item_rules.h"
#include "platform/admin/filemanager.h"
#include "platform/admin/filestatus.h"
#include "platform/below/beneath.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "platform/syslog.h"
#include "platform/text.h"

namespace {

// `text` with every character that glob would read as a pattern quoted.
std::string escapeGlob(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// `glob` follows links inside the home, so a match is trusted only once it is
// reached again from the pinned home with no link on the way and no escape.
void applyBeneathHome(const std::string& match, const std::string& home, int homeFd, uid_t homeOwner,
                      const std::optional<Uuid>& userUUID) {
  std::string name;
  UniqueFd parent(openMatchParent(match, home, homeFd, &name));
  // No owner changes here; a file with several links must already be the
  // home's owner's, as the recursive owner change left it.
  OwnerIds noOwner;
  noOwner.linkedFileOwner = homeOwner;
  if (!parent.valid() || !applyItemPermissionsAt(parent.get(), name.c_str(), match, noOwner, userUUID)) {
    logFormat("lstat(%s) failed (%d).", match.c_str(), -1);
  }
}

}  // namespace

int openMatchParent(const std::string& match, const std::string& home, int homeFd, std::string* name) {
  const std::string prefix = home.empty() || home.back() != '/' ? home + "/" : home;
  if (homeFd < 0 || match.size() <= prefix.size() || !match.starts_with(prefix)) return -1;
  const int parent = openParentBeneath(homeFd, match.substr(prefix.size()), name);
  if (parent >= 0 && (name->empty() || *name == "." || *name == "..")) {
    close(parent);
    return -1;
  }
  return parent < 0 ? -1 : parent;
}

MatchVerdict judgeMatch(const std::string& templateItem, const std::string& match, dev_t homeDevice) {
  bool templateIsFolder = false;
  if (!fileExists(templateItem, &templateIsFolder)) return MatchVerdict::TemplateMissing;
  return judgeKnownMatch(templateIsFolder, match, homeDevice);
}

MatchVerdict judgeKnownMatch(bool templateIsFolder, const std::string& match, dev_t homeDevice) {
  bool matchIsFolder = false;
  if (!fileExists(match, &matchIsFolder)) return MatchVerdict::MatchMissing;
  if (templateIsFolder != matchIsFolder) return MatchVerdict::KindsDiffer;
  const std::optional<FileStatus> status = lstatPath(match, nullptr);
  if (!status) return MatchVerdict::Unexaminable;
  if (status->device != homeDevice) return MatchVerdict::OtherDevice;
  return MatchVerdict::Apply;
}

void repairMatchedItem(const std::string& templateItem, const std::string& match, const std::string& home,
                       dev_t homeDevice, const std::optional<Uuid>& userUUID, int homeFd, uid_t homeOwner) {
  switch (judgeMatch(templateItem, match, homeDevice)) {
    case MatchVerdict::TemplateMissing:
      return logFormat("file does not exist at path: %s", templateItem.c_str());
    case MatchVerdict::MatchMissing:
      return logFormat("file does not exist at path: %s", match.c_str());
    case MatchVerdict::KindsDiffer:
      return logLine("source and destination are not both directories or not both files");
    case MatchVerdict::Unexaminable:
      return logFormat("lstat(%s) failed (%d).", match.c_str(), -1);
    case MatchVerdict::OtherDevice:
      return logFormat("Skipping %s because it's on a different bsd dev than %s", match.c_str(), home.c_str());
    case MatchVerdict::Apply:
      return applyBeneathHome(match, home, homeFd, homeOwner, userUUID);
  }
}

void forEachHomeMatch(const std::string& home, const std::string& subpath,
                      const std::function<void(const std::string&)>& visit) {
  // The home's own text is literal; only the template's part is a pattern, in
  // which English.lproj stands for every language folder.
  const std::string pattern = joinPath(escapeGlob(home), replaceAll(subpath, "English.lproj", "*.lproj"));
  glob_t matches{};
  // The matching is glob's by rule; it only lists, and every match is reached
  // again from the held home before anything changes (one way in: by rule).
  if (glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
    for (size_t i = 0; i < matches.gl_pathc; ++i) visit(matches.gl_pathv[i]);
  }
  globfree(&matches);
}

// A match told to a dry run: the same tests and the same way in as a change.
// `folder` is the template item's kind when the run listed it already.
void tellMatch(const RepairWalkContext& context, const std::string& templateItem, std::optional<bool> folder,
               const std::string& match) {
  const MatchVerdict verdict = folder ? judgeKnownMatch(*folder, match, context.homeDevice)
                                      : judgeMatch(templateItem, match, context.homeDevice);
  if (verdict != MatchVerdict::Apply) return;
  std::string name;
  UniqueFd parent(openMatchParent(match, context.home, context.homeFd, &name));
  if (parent.valid()) (*context.dryRun)(parent.get(), name, match);
}

void repairTemplateItem(const RepairWalkContext& context, const std::string& subpath, std::optional<bool> folder) {
  const std::string templateItem = joinPath(context.templateBase, subpath);
  forEachHomeMatch(context.home, subpath, [&](const std::string& match) {
    if (context.dryRun) return tellMatch(context, templateItem, folder, match);
    repairMatchedItem(templateItem, match, context.home, context.homeDevice, context.userUUID, context.homeFd,
                      context.homeOwner);
  });
}

TemplateListing listRepairTemplate(const std::string& templateRoot) {
  TemplateListing listing;
  for (size_t i = 0; i < std::size(kRepairTemplateFolders); ++i) {
    const std::string base = joinPath(templateRoot, kRepairTemplateFolders[i]);
    // Not examined: a template folder that is not there has nothing to repair.
    enumerateSubpaths(base, [&](const std::string& subpath) {
      bool folder = false;
      if (fileExists(joinPath(base, subpath), &folder)) listing.items[i].push_back({subpath, folder});
    });
  }
  return listing;
}

void walkRepairTemplate(const std::string& templateRoot, std::string& templateBase, const RepairWalkContext& context) {
  for (size_t i = 0; i < std::size(kRepairTemplateFolders); ++i) {
    templateBase = joinPath(templateRoot, kRepairTemplateFolders[i]);
    if (context.dryRun && context.listing) {
      for (const TemplateItem& item : context.listing->items[i]) repairTemplateItem(context, item.subpath, item.folder);
      continue;
    }
    // Not examined: a template folder that is not there has nothing to repair.
    enumerateSubpaths(templateBase, [&context](const std::string& subpath) { repairTemplateItem(context, subpath); });
  }
}
