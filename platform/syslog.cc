#include "platform/syslog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/text.h"
#include "platform/watch.h"

namespace {

// True when the system log's socket takes a connection; asked once.
bool logReachable() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
  const bool reached = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return reached;
}

// Lines go to standard error as well when someone watches it, or when the
// log cannot take them: a failure is never left without a trace.
bool alsoToStandardError() {
  static const bool wanted = [] {
    openlog("hollin", LOG_PID, LOG_USER);
    return isatty(STDERR_FILENO) || !logReachable();
  }();
  return wanted;
}

}  // namespace

void logLine(std::string_view line) {
  const bool echo = alsoToStandardError();
  // Lines name paths from users' homes: a name must neither steer the
  // terminal nor pass for a line of its own, wherever the line goes. The
  // wording itself has no control characters, and a usage line keeps its
  // final line feed.
  const bool feed = !line.empty() && line.back() == '\n';
  const std::string text =
      printable(feed ? line.substr(0, line.size() - 1) : line, EscapeFor::Log) + (feed ? "\n" : "");
  // Walks on several threads log too: each line leaves whole, in one piece.
  static std::mutex oneAtATime;
  const std::lock_guard<std::mutex> held(oneAtATime);
  syslog(LOG_USER | LOG_NOTICE, "%s", text.c_str());
  copyLogLine(text);
  if (echo) std::fprintf(stderr, "%s%s", text.c_str(), (!text.empty() && text.back() == '\n') ? "" : "\n");
}

void logFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  logLine(text);
}
