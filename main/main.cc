// Entry point: parse, check for root, dispatch. Every path ends with exit().

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "creation/creation.h"
#include "creation/locator.h"
#include "main/commandline.h"
#include "main/identity.h"
#include "main/log_sites.h"
#include "permissions/home_pass.h"
#include "platform/admin/filemanager.h"
#include "platform/syslog.h"
#include "platform/text.h"
#include "repair/repair.h"

namespace {


[[noreturn]] void finish(bool success) { std::exit(success ? 0 : 1); }

[[noreturn]] void usage(const CommandLine& cl) {
  logFormat("%s: should only be run by designated clients\n", cl.program.c_str());
  finish(false);
}

// The repair form names a user, and either the home (argc 5) or nothing more,
// in which case the home comes from the user's identity.
[[noreturn]] void runRepairForm(const CommandLine& cl) {
  if (cl.argc != 3 && cl.argc != 5) usage(cl);
  const std::optional<std::string>& userName = cl.argc == 5 ? cl.groupIdText : cl.homePath;
  const std::optional<Identity> identity = lookupIdentity(userName);
  std::optional<std::string> home = cl.homePath;
  if (cl.argc == 3 && identity && identity->home) home = identity->home;

  const std::optional<std::string> templateRoot = locateUserTemplate(home);
  if (!templateRoot) finish(false);
  std::optional<Uuid> userUUID;
  if (identity) userUUID = identity->uuid;
  const std::optional<gid_t> primaryGroup = identity ? std::optional<gid_t>(identity->gid) : std::nullopt;
  finish(repairPermissions(*templateRoot, holdHome(home.value_or("")), userName.value_or(""),
                           repairGroupFor(primaryGroup), userUUID));
}

[[noreturn]] void createFolderOnly(const CommandLine& cl) {
  std::string error = "no folder path given";
  if (cl.homePath && createDirectory(*cl.homePath, std::nullopt, &error) == 0) finish(true);
  logFormat("%s:%d %s", mainLog::kModule, mainLog::kCreateFolder, error.c_str());
  finish(false);
}

// Removes the home only when the given user owns it; anything else is not
// ours to delete and is left in place without complaint.
[[noreturn]] void deleteHome(const CommandLine& cl) {
  if (!cl.homePath) finish(true);
  std::string error;
  bool kept = false;
  if (removeItemOwnedBy(*cl.homePath, decimalIdValue(cl.userIdText.value_or("")), &kept, &error) == 0) finish(true);
  logFormat("%s:%d %s", mainLog::kModule, mainLog::kRemoveHome, error.c_str());
  finish(false);
}

[[noreturn]] void runCreateForm(const CommandLine& cl) {
  const std::optional<std::string> templateRoot = locateUserTemplate(std::nullopt);
  if (!templateRoot) finish(false);
  std::optional<Uuid> userUUID;
  if (cl.userName) {
    if (const std::optional<Identity> identity = lookupIdentity(cl.userName)) userUUID = identity->uuid;
  }
  switch (cl.mode) {
    case CreateFolderOnly:
      createFolderOnly(cl);
    case DeleteHome:
      deleteHome(cl);
    case PermissionsOnly:
      finish(cl.homePath &&
             setPermissions(holdHome(*cl.homePath), cl.userName, cl.userIdText, cl.groupIdText, userUUID));
    default:
      createHomeFromTemplate(*templateRoot, cl.homePath.value_or(""), cl.userIdText, cl.groupIdText, cl.language,
                             cl.userName, userUUID);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const CommandLine cl = parseCommandLine(argc, argv);
  if (geteuid() != 0) {
    logFormat("%s: should only be run as root\n", cl.program.c_str());
    finish(false);
  }
  if (argc <= 1) usage(cl);
  if (cl.verb == kRepairVerb) runRepairForm(cl);
  runCreateForm(cl);
}
