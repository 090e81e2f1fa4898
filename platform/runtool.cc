#include "platform/runtool.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/places.h"
#include "platform/spawn.h"
#include "platform/text.h"

namespace {

// Where the helpers stand in an installed build (empty: at the fixed paths).
constexpr std::string_view kHelperFolder = places::kHelperFolder;
constexpr std::string_view kHelperPaths[] = {"/bin/chmod", "/usr/bin/chgrp", "/usr/sbin/chown", "/usr/bin/mirra"};

// An installed build runs its own helper for each fixed tool path.
std::string resolvedTool(const std::string& toolPath) {
  if (kHelperFolder.empty()) return toolPath;
  for (const std::string_view fixed : kHelperPaths) {
    if (toolPath == fixed) return std::string(kHelperFolder) + toolPath.substr(toolPath.rfind('/'));
  }
  return toolPath;
}

// The folder of the helpers, or the one this program was started from, so
// that tools it runs by name (find's touch) are the safe ones.
std::string helperFolder() { return kHelperFolder.empty() ? ownFolder() : std::string(kHelperFolder); }

std::vector<std::string> childEnvironment() {
  static const std::string searchPath = [] {
    const std::string own = helperFolder();
    return "PATH=" + (own.empty() ? std::string() : own + ":") + "/usr/bin:/bin:/usr/sbin:/sbin";
  }();
  std::vector<std::string> env = environmentWithout("PATH=");
  env.push_back(searchPath);
  return env;
}

}  // namespace

int runTool(const std::string& toolPath, const std::vector<std::string>& arguments) {
  const std::string program = resolvedTool(toolPath);
  std::vector<std::string> argv{toolPath};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const pid_t pid = spawnTool(program, argv, childEnvironment());
  if (pid < 0) {
    // Said where the tool's own complaint would have gone: its caller only
    // learns a status.
    std::fprintf(stderr, "hollin: cannot run %s: %s\n", printable(program).c_str(), std::strerror(-pid));
    return 127;
  }
  return waitStatus(pid);
}
