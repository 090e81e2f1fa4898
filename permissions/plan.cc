#include "permissions/plan.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "permissions/home_pass.h"
#include "permissions/log_sites.h"
#include "permissions/policy.h"
#include "platform/below/beneath.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "platform/runtool.h"
#include "platform/syslog.h"

namespace {

// Follows the user's short name in the Drop Box allow entry.
constexpr const char* kDropBoxEntry =
    " allow list,add_file,search,delete,add_subdirectory,delete_child,readattr,writeattr,readextattr,"
    "writeextattr,readsecurity,writesecurity,chown,file_inherit,directory_inherit";
constexpr const char* kHomeEntry = "group:everyone deny delete";

// A failing home deny-delete command when the home is a link: it is not
// handed over, and fails as a missing home would.
constexpr int kLinkedHome = 1;

ToolEffect entryEffect(const std::string& text, const IdentityFiles* identities) {
  ToolEffect effect;
  std::string error;
  if (std::optional<hostacl::AclEntry> entry = identities ? hostacl::parseAclEntry(text, &error, *identities)
                                                           : hostacl::parseAclEntry(text, &error)) {
    effect.kind = ToolEffect::Kind::AddEntry;
    effect.entry = *entry;
  }
  return effect;
}

ToolEffect groupEffect(const std::string& group, ToolEffect::Kind kind, const IdentityFiles* identities) {
  ToolEffect effect;
  if (const std::optional<gid_t> gid = groupIdIn(group, identities)) {
    effect.kind = kind;
    effect.group = *gid;
  }
  return effect;
}

ProgramRun fallbackRun(const char* tool, std::vector<std::string> arguments, std::string target, int line,
                    ToolEffect effect) {
  ProgramRun run;
  run.tool = tool;
  run.arguments = std::move(arguments);
  run.when = target.empty() ? ProgramRun::When::NotALink : ProgramRun::When::Reachable;
  run.target = std::move(target);
  run.module = permissionsLog::kModule;
  run.line = line;
  run.decides = true;
  run.effect = std::move(effect);
  return run;
}

}  // namespace

bool isDue(const ProgramRun& run, const HeldHome& home, struct stat* status) {
  *status = home.status;
  switch (run.when) {
    case ProgramRun::When::Always:
    case ProgramRun::When::NotALink:
      return true;
    case ProgramRun::When::Reachable:
    case ProgramRun::When::Folder: {
      if (!home.folder.valid()) return false;
      const int pin = pinBeneathWithoutLinks(home.folder.get(), run.target);
      if (pin < 0) return false;
      UniqueFd held(pin);
      if (fstat(held.get(), status) != 0) return false;
      return run.when == ProgramRun::When::Reachable || S_ISDIR(status->st_mode);
    }
  }
  return false;
}

int carryOut(const ProgramRun& run, const HeldHome& home) {
  struct stat status {};
  if (!isDue(run, home, &status)) return 0;
  const bool linkedHome = run.when == ProgramRun::When::NotALink && home.examined && S_ISLNK(home.status.st_mode);
  const int result = linkedHome ? kLinkedHome : runTool(run.tool, run.arguments);
  if (result != 0 && run.module) logFormat("%s:%d Error:%d", run.module, run.line, result);
  return result;
}

bool carryOutAll(const std::vector<ProgramRun>& runs, const HeldHome& home) {
  bool result = true;
  for (const ProgramRun& run : runs) {
    // A run that does not decide is not examined here: its failure is logged, or silent, as the run says.
    if (carryOut(run, home) != 0 && run.decides) result = false;
  }
  return result;
}

std::optional<gid_t> groupIdIn(const std::string& text, const IdentityFiles* identities) {
  if (!identities) return groupIdOf(text);
  for (const GroupRecord& group : identities->groups) {
    if (group.name == text) return group.gid;
  }
  return plainIdNumber(text);
}

std::vector<ProgramRun> policyRuns(const std::string& homePath, plist_t rules,
                                const std::optional<std::string>& userName, const IdentityFiles* identities) {
  std::vector<ProgramRun> runs;
  for (PolicyStep& step : policySteps(rules, userName)) {
    ProgramRun run;
    run.tool = step.tool;
    const bool chmod = std::strcmp(step.tool, kChmodTool) == 0;
    if (chmod) {
      run.effect.kind = ToolEffect::Kind::Mode;
      run.effect.mode = step.argument;
    } else {
      run.effect = groupEffect(step.argument, ToolEffect::Kind::Group, identities);
    }
    run.arguments = {step.argument, joinPath(homePath, step.relative)};
    run.target = std::move(step.relative);
    run.when = ProgramRun::When::Reachable;
    run.module = permissionsLog::kModule;
    run.line = permissionsLog::kPolicyTool;
    // Not deciding: a policy's failing run is logged, and the pass or repair still succeeds.
    runs.push_back(std::move(run));
  }
  return runs;
}

std::vector<ProgramRun> passRuns(const std::string& homePath, plist_t rules, const std::optional<std::string>& userName,
                                 const IdentityFiles* identities) {
  if (rules) return policyRuns(homePath, rules, userName, identities);
  std::vector<ProgramRun> runs;
  runs.push_back(fallbackRun("/bin/chmod", {"+a", kHomeEntry, homePath}, "", permissionsLog::kFallbackHomeEntry,
                             entryEffect(kHomeEntry, identities)));
  runs.push_back(fallbackRun("/usr/bin/chgrp",
                             {"-R", kStreamingGroup, joinPath(joinPath(homePath, "Sites"), "Streaming")},
                             kStreamingFolder, permissionsLog::kFallbackStreaming,
                             groupEffect(kStreamingGroup, ToolEffect::Kind::GroupTree, identities)));
  if (userName) {
    const std::string entry = *userName + kDropBoxEntry;
    runs.push_back(fallbackRun("/bin/chmod", {"+a", entry, joinPath(joinPath(homePath, "Public"), "Drop Box")},
                               "Public/Drop Box", permissionsLog::kFallbackDropBox, entryEffect(entry, identities)));
  }
  return runs;
}
