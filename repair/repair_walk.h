#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/uuid.h"

/// Told of each home item the walk would give the rules, instead of changing
/// it: the folder that holds it (reached below the home without links), its
/// name there, and the match as glob gave it.
using MatchVisitor = std::function<void(int parentFd, const std::string& name, const std::string& match)>;

/// The template folders a repair walks, in this order.
inline constexpr const char* kRepairTemplateFolders[] = {"Non_localized", "English.lproj"};

/// An item of the template as its walk finds it.
struct TemplateItem {
  std::string subpath;  // relative to its template folder
  bool folder = false;
};

/// The items of each of the repair's template folders, in the walk's order:
/// read once for a check over many homes. The template is root's, so its
/// kinds stand for the run.
struct TemplateListing {
  std::vector<TemplateItem> items[std::size(kRepairTemplateFolders)];
};
TemplateListing listRepairTemplate(const std::string& templateRoot);

/// Shared by the repair driver and its walk for the length of one repair.
struct RepairWalkContext {
  const std::string& home;
  const std::string& templateBase;  // the template folder walked now; the driver changes it between walks
  dev_t homeDevice = 0;
  const std::optional<Uuid>& userUUID;
  int homeFd = -1;  // the home, pinned without following a link
  uid_t homeOwner = 0;  // after the recursive owner change; a multiply-linked file must be theirs
  const MatchVisitor* dryRun = nullptr;  // set: nothing is changed or logged, the visitor is told
  const TemplateListing* listing = nullptr;  // set (with dryRun): the template as read once for the run
};

/// Walks each of the repair's template folders below `templateRoot` in turn:
/// sets `templateBase` (which `context` reads) and hands every subpath to
/// repairTemplateItem.
void walkRepairTemplate(const std::string& templateRoot, std::string& templateBase, const RepairWalkContext& context);

/// Finds every home item that plays the part of the template item at
/// `subpath` (every *.lproj where the path passes through English.lproj),
/// tests it against the template item and gives it the per-item rules.
/// `folder`, when given, is the template item's kind as the run listed it.
void repairTemplateItem(const RepairWalkContext& context, const std::string& subpath,
                        std::optional<bool> folder = std::nullopt);

/// Tests one match and, when it passes, gives it the per-item rules without
/// changing its owner. The match is changed only when it lies below the home
/// with no symbolic link on the way.
void repairMatchedItem(const std::string& templateItem, const std::string& match, const std::string& home,
                       dev_t homeDevice, const std::optional<Uuid>& userUUID, int homeFd, uid_t homeOwner);

/// How the walk judges one match of a template item, before any change.
enum class MatchVerdict {
  Apply,            // the rules apply (once it is reached below the home without links)
  TemplateMissing,  // the template item does not exist
  MatchMissing,     // the match does not exist (a dangling link)
  KindsDiffer,      // one is a folder, the other is not
  Unexaminable,     // the match cannot be examined
  OtherDevice,      // the match lies on another device than the home
};

/// Judges a match as the walk does, without logging or changing anything.
MatchVerdict judgeMatch(const std::string& templateItem, const std::string& match, dev_t homeDevice);

/// The same, for a template item whose kind is known already.
MatchVerdict judgeKnownMatch(bool templateIsFolder, const std::string& match, dev_t homeDevice);

/// Opens the folder that holds `match` (a path that glob gave below `home`),
/// reached again from the pinned home with no link on the way and no escape,
/// and gives the match's name there. -1 when it cannot be reached so.
int openMatchParent(const std::string& match, const std::string& home, int homeFd, std::string* name);

/// Calls `visit` with every home path that plays the part of the template's
/// `subpath`, in the order the walk handles them.
void forEachHomeMatch(const std::string& home, const std::string& subpath,
                      const std::function<void(const std::string&)>& visit);
