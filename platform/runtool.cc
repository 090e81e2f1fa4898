#include "platform/runtool.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/places.h"
#include "platform/text.h"

extern char** environ;

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
std::string ownFolder() {
  if (!kHelperFolder.empty()) return std::string(kHelperFolder);
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  std::string path(buffer, static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::vector<std::string> childEnvironment() {
  static const std::string searchPath = [] {
    const std::string own = ownFolder();
    return "PATH=" + (own.empty() ? std::string() : own + ":") + "/usr/bin:/bin:/usr/sbin:/sbin";
  }();
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    if (std::strncmp(*e, "PATH=", 5) != 0) env.emplace_back(*e);
  }
  env.push_back(searchPath);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  result.reserve(texts.size() + 1);
  for (std::string& t : texts) result.push_back(t.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

int runTool(const std::string& toolPath, const std::vector<std::string>& arguments) {
  const std::string program = resolvedTool(toolPath);
  std::vector<std::string> argvTexts;
  argvTexts.reserve(arguments.size() + 1);
  argvTexts.push_back(toolPath);
  argvTexts.insert(argvTexts.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envTexts = childEnvironment();
  std::vector<char*> argv = pointers(argvTexts);
  std::vector<char*> envp = pointers(envTexts);

  pid_t pid = 0;
  if (const int error = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data())) {
    // Said where the tool's own complaint would have gone: its caller only
    // learns a status.
    std::fprintf(stderr, "hollin: cannot run %s: %s\n", printable(program).c_str(), std::strerror(error));
    return 127;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 127;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
