#include "platform/spawn.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

extern char** environ;

namespace {

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  result.reserve(texts.size() + 1);
  for (std::string& t : texts) result.push_back(t.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

pid_t spawnTool(const std::string& path, const std::vector<std::string>& argv,
                const std::vector<std::string>& environment, const std::vector<FdMapping>& mappings) {
  std::vector<std::string> argvTexts = argv, envTexts = environment;
  std::vector<char*> argvPointers = pointers(argvTexts), envPointers = pointers(envTexts);
  posix_spawn_file_actions_t actions;
  if (const int error = posix_spawn_file_actions_init(&actions)) return -error;
  int error = 0;
  for (const FdMapping& mapping : mappings) {
    if (!error) error = posix_spawn_file_actions_adddup2(&actions, mapping.from, mapping.to);
  }
  pid_t pid = 0;
  // An exec that fails in the child comes back here as the error of the call.
  if (!error) error = posix_spawn(&pid, path.c_str(), &actions, nullptr, argvPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  return error ? -error : pid;
}

int waitStatus(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 127;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::vector<std::string> environmentWithout(std::string_view dropped) {
  std::vector<std::string> texts;
  for (char** e = environ; e && *e; ++e) {
    if (!std::string_view(*e).starts_with(dropped)) texts.emplace_back(*e);
  }
  return texts;
}

std::string ownFolder() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  const std::string path(buffer, static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}
