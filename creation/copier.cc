#include "creation/copier.h"

#include "platform/admin/filemanager.h"
#include "platform/runtool.h"
#include "platform/syslog.h"

int64_t copyDirectory(const std::string& source, const std::string& destination) {
  for (const std::string* path : {&source, &destination}) {
    if (!fileExists(*path)) {
      logFormat("copyDirectory error '%s' doesn't exists", path->c_str());
      return -1;
    }
  }
  return runTool("/usr/bin/mirra", {"-rsrcFork", source, destination});
}
