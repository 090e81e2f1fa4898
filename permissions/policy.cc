#include "permissions/policy.h"

#include <string_view>

#include "permissions/log_sites.h"
#include "permissions/plan.h"
#include "platform/admin/filemanager.h"
#include "platform/admin/stddirs.h"
#include "platform/below/beneath.h"
#include "platform/path.h"
#include "platform/places.h"
#include "platform/runtool.h"
#include "platform/syslog.h"
#include "platform/text.h"

namespace {

constexpr const char* kUserNameMarker = "__USER_NAME__";

std::optional<std::string> stringValue(plist_t dict, const char* key) {
  return plistString(plist_dict_get_item(dict, key));
}

const char* toolFor(const std::optional<std::string>& command) {
  if (command == "CHMOD") return kChmodTool;
  if (command == "CHGRP") return kChgrpTool;
  return nullptr;
}

}  // namespace

std::vector<PolicyStep> policySteps(plist_t rules, const std::optional<std::string>& userName) {
  std::vector<PolicyStep> steps;
  if (!rules || plist_get_node_type(rules) != PLIST_ARRAY) return steps;
  for (uint32_t r = 0; r < plist_array_get_size(rules); ++r) {
    plist_t rule = plist_array_get_item(rules, r);
    if (plist_get_node_type(rule) != PLIST_DICT) continue;
    const char* tool = toolFor(stringValue(rule, "Command"));
    std::string argument = stringValue(rule, "Argument").value_or("");
    if (userName) argument = replaceAll(argument, kUserNameMarker, *userName);
    plist_t paths = plist_dict_get_item(rule, "Paths");
    if (!tool || !paths || plist_get_node_type(paths) != PLIST_ARRAY) continue;
    for (uint32_t i = 0; i < plist_array_get_size(paths); ++i) {
      if (std::optional<std::string> relative = plistString(plist_array_get_item(paths, i))) {
        steps.push_back({tool, argument, std::move(*relative)});
      }
    }
  }
  return steps;
}

PlistRef loadPermissionPolicy() {
  if (!localLibraryFolder()) {
    logLine("Couldn't build /Library/");
    return nullptr;
  }
  // The policy lies in the administrator's template, which the host keeps as
  // the machine-wide Library folder's "User Template" and another system
  // wherever its package puts it.
  const std::string file = joinPath(places::kAdminTemplate, "__permissions.plist");
  if (!fileExists(file)) return nullptr;
  return readPlistArray(file);
}

bool runPermissionPolicy(const HeldHome& home, const std::optional<std::string>& userName, plist_t rules) {
  if (!rules || plist_get_node_type(rules) != PLIST_ARRAY) return true;
  carryOutAll(policyRuns(home.path, rules, userName), home);
  return true;
}
