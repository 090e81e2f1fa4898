#include "platform/watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "platform/fd.h"

namespace {

// The descriptor named by `variable`, when it names an open one; asked once.
int watcherFd(const char* variable) {
  const char* text = std::getenv(variable);
  if (!text || !*text) return -1;
  char* end = nullptr;
  const long fd = std::strtol(text, &end, 10);
  if (*end != '\0' || fd < 3 || fd > 1 << 20 || fcntl(static_cast<int>(fd), F_GETFD) < 0) return -1;
  return static_cast<int>(fd);
}

}  // namespace

void copyLogLine(std::string_view line) {
  static const int fd = watcherFd(kLogFdVariable);
  if (fd < 0) return;
  std::string text(line);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  // Not examined: a watcher that went away is not our failure.
  writeAll(fd, text + "\n");
}

void countProgress() {
  static const int fd = watcherFd(kProgressFdVariable);
  static std::atomic<uint64_t> items{0};  // walks on several threads count too
  constexpr uint64_t kEvery = 4096;
  if (fd < 0) return;
  const uint64_t seen = ++items;
  if (seen % kEvery != 0) return;
  // Not examined: a watcher that went away is not our failure.
  writeAll(fd, std::to_string(seen) + "\n");
}
