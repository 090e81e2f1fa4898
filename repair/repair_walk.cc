#include "repair/repair_walk.h"

#include <fcntl.h>
#include <glob.h>
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
  const std::string prefix = home.empty() || home.back() != '/' ? home + "/" : home;
  UniqueFd parent;
  std::string name;
  if (homeFd >= 0 && match.size() > prefix.size() && match.starts_with(prefix)) {
    parent.reset(openParentBeneath(homeFd, match.substr(prefix.size()), &name));
  }
  // No owner changes here; a file with several links must already be the
  // home's owner's, as the recursive owner change left it.
  OwnerIds noOwner;
  noOwner.linkedFileOwner = homeOwner;
  const bool reachable = parent.get() >= 0 && !name.empty() && name != "." && name != "..";
  if (!reachable || !applyItemPermissionsAt(parent.get(), name.c_str(), match, noOwner, userUUID)) {
    logFormat("lstat(%s) failed (%d).", match.c_str(), -1);
  }
}

}  // namespace

void repairMatchedItem(const std::string& templateItem, const std::string& match, const std::string& home,
                       dev_t homeDevice, const std::optional<Uuid>& userUUID, int homeFd, uid_t homeOwner) {
  bool templateIsFolder = false;
  bool matchIsFolder = false;
  if (!fileExists(templateItem, &templateIsFolder)) {
    logFormat("file does not exist at path: %s", templateItem.c_str());
    return;
  }
  if (!fileExists(match, &matchIsFolder)) {
    logFormat("file does not exist at path: %s", match.c_str());
    return;
  }
  if (templateIsFolder != matchIsFolder) {
    logLine("source and destination are not both directories or not both files");
    return;
  }
  const std::optional<FileStatus> status = lstatPath(match);
  if (!status) {
    logFormat("lstat(%s) failed (%d).", match.c_str(), -1);
    return;
  }
  if (status->device != homeDevice) {
    logFormat("Skipping %s because it's on a different bsd dev than %s", match.c_str(), home.c_str());
    return;
  }
  applyBeneathHome(match, home, homeFd, homeOwner, userUUID);
}

void repairTemplateItem(const RepairWalkContext& context, const std::string& subpath) {
  const std::string templateItem = joinPath(context.templateBase, subpath);
  // The home's own text is literal; only the template's part is a pattern, in
  // which English.lproj stands for every language folder.
  const std::string pattern = joinPath(escapeGlob(context.home), replaceAll(subpath, "English.lproj", "*.lproj"));
  glob_t matches{};
  if (glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
    for (size_t i = 0; i < matches.gl_pathc; ++i) {
      repairMatchedItem(templateItem, matches.gl_pathv[i], context.home, context.homeDevice, context.userUUID,
                        context.homeFd, context.homeOwner);
    }
  }
  globfree(&matches);
}
