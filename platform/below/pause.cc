#include "platform/below/pause.h"

#ifdef HOLLIN_PAUSE_POINTS

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/below/pin.h"

extern char** environ;

void pausePoint(const char* name, int pinnedFd) {
  const char* at = std::getenv("HOLLIN_PAUSE_AT");
  const char* program = std::getenv("HOLLIN_PAUSE_RUN");
  if (at == nullptr || program == nullptr || std::strcmp(at, name) != 0) return;
  // The program is told which item is held, so that it swaps the one it means.
  char held[PATH_MAX] = "";
  const ssize_t length = readlink(procName(pinnedFd).text, held, sizeof held - 1);
  held[length > 0 ? length : 0] = '\0';
  char* argv[] = {const_cast<char*>(program), const_cast<char*>(name), held, nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

#endif
