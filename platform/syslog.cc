#include "platform/syslog.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

void openOnce() {
  static const bool opened = [] {
    openlog("hollin", LOG_PID, LOG_USER);
    return true;
  }();
  (void)opened;
}

}  // namespace

void logLine(std::string_view line) {
  openOnce();
  const std::string text(line);
  syslog(LOG_USER | LOG_NOTICE, "%s", text.c_str());
  if (isatty(STDERR_FILENO)) {
    std::fprintf(stderr, "%s%s", text.c_str(), (!text.empty() && text.back() == '\n') ? "" : "\n");
  }
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
