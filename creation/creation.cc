#include "creation/creation.h"

#include <cstdlib>

#include "creation/copier.h"
#include "creation/language.h"
#include "creation/log_sites.h"
#include "creation/seeding.h"
#include "permissions/home_pass.h"
#include "permissions/item_rules.h"
#include "platform/admin/filemanager.h"
#include "platform/admin/home.h"
#include "platform/path.h"
#include "platform/runtool.h"
#include "platform/syslog.h"

namespace {

constexpr mode_t kNewHomeMode = 0750;

// An existing home is used as it is: its mode and contents stay, and both
// copies merge into it.
void ensureHomeFolder(const std::string& homePath) {
  if (fileExists(homePath)) return;
  std::string error;
  if (createDirectory(homePath, kNewHomeMode, &error) != 0) logFormat("%s:%d %s", creationLog::kModule, creationLog::kCreateHome, error.c_str());
}

// False, with the failure logged, when the copy did not succeed.
bool copyInto(const std::string& source, const std::string& homePath, const std::string& label) {
  const int64_t status = copyDirectory(source, homePath);
  if (status == 0) return true;
  logFormat("copyDirectory(%s, %s) failed with %ld", label.c_str(), homePath.c_str(), static_cast<long>(status));
  return false;
}

}  // namespace

void createHomeFromTemplate(const std::string& templateRoot, const std::string& homePath,
                            const std::optional<std::string>& userIdText,
                            const std::optional<std::string>& groupIdText,
                            const std::optional<std::string>& language, const std::optional<std::string>& userName,
                            const std::optional<Uuid>& userUUID) {
  ensureHomeFolder(homePath);
  // Held once: the copies only merge into the folder, never replace it, so
  // every later step reaches the same folder through this descriptor.
  const HeldHome home = holdHome(homePath);
  if (!copyInto(joinPath(templateRoot, "Non_localized"), homePath, "Non-Localizable")) std::exit(1);
  hideLibraryFolder(home, ownerIds(userIdText, groupIdText, home.status.st_uid).linkedFileOwner);
  PlistRef priorGlobalPreferences = readGlobalPreferences(home);
  const std::string languageFolder = chooseTemplateLanguage(templateRoot, language);
  if (!copyInto(languageFolder, homePath, language.value_or(""))) std::exit(1);
  if (priorGlobalPreferences) mergeGlobalPreferences(home, priorGlobalPreferences.get());
  if (userName) setUserLocale(*userName, language.value_or(""));

  bool touchFailed = false;
  const int status = runTool("/usr/bin/find", {homePath, "-exec", "touch", "{}", "+"});
  if (status != 0) {
    logFormat("find-exec-touch failed with %d", status);
    touchFailed = true;
  }
  setPermissions(home, userName, userIdText, groupIdText, userUUID);
  std::exit(touchFailed ? 1 : 0);
}
