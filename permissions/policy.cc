#include "permissions/policy.h"

#include <string_view>

#include "permissions/log_sites.h"
#include "platform/admin/filemanager.h"
#include "platform/admin/stddirs.h"
#include "platform/below/beneath.h"
#include "platform/path.h"
#include "platform/runtool.h"
#include "platform/syslog.h"
#include "platform/text.h"

namespace {

constexpr const char* kUserNameMarker = "__USER_NAME__";

std::optional<std::string> stringValue(plist_t dict, const char* key) {
  return plistString(plist_dict_get_item(dict, key));
}

const char* toolFor(const std::optional<std::string>& command) {
  if (command == "CHMOD") return "/bin/chmod";
  if (command == "CHGRP") return "/usr/bin/chgrp";
  return nullptr;
}

void runRule(const std::string& homePath, int homeFd, const std::optional<std::string>& userName, plist_t rule) {
  if (plist_get_node_type(rule) != PLIST_DICT) return;
  const char* tool = toolFor(stringValue(rule, "Command"));
  std::string argument = stringValue(rule, "Argument").value_or("");
  if (userName) argument = replaceAll(argument, kUserNameMarker, *userName);
  plist_t paths = plist_dict_get_item(rule, "Paths");
  if (!paths || plist_get_node_type(paths) != PLIST_ARRAY) return;
  for (uint32_t i = 0; i < plist_array_get_size(paths); ++i) {
    const std::optional<std::string> relative = plistString(plist_array_get_item(paths, i));
    // The tools follow a link named on their command line, so an entry is
    // only handed over when it lies below the home with no link on the way.
    if (!relative || !tool || homeFd < 0 || !existsBeneathWithoutLinks(homeFd, *relative)) continue;
    const int status = runTool(tool, {argument, joinPath(homePath, *relative)});
    if (status != 0) logFormat("%s:%d Error:%d", permissionsLog::kModule, permissionsLog::kPolicyTool, status);
  }
}

}  // namespace

PlistRef loadPermissionPolicy() {
  const std::optional<std::string> library = localLibraryFolder();
  if (!library) {
    logLine("Couldn't build /Library/");
    return nullptr;
  }
  const std::string file = joinPath(joinPath(*library, "User Template"), "__permissions.plist");
  if (!fileExists(file)) return nullptr;
  return readPlistArray(file);
}

bool runPermissionPolicy(const HeldHome& home, const std::optional<std::string>& userName, plist_t rules) {
  if (!rules || plist_get_node_type(rules) != PLIST_ARRAY) return true;
  for (uint32_t i = 0; i < plist_array_get_size(rules); ++i) {
    runRule(home.path, home.folder.get(), userName, plist_array_get_item(rules, i));
  }
  return true;
}
