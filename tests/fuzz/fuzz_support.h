#pragma once

// What the fuzz targets share: the standard headers every target uses, a check
// that stops the run on a broken property, and a small fixed identity directory.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/directory.h"

namespace fuzz {

// Aborts, which libFuzzer and the replay driver both report as a crash.
[[noreturn]] inline void checkFailed(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

#define FUZZ_CHECK(condition) ((condition) ? void() : fuzz::checkFailed(__FILE__, __LINE__, #condition))

// A file that lives as long as the process and leaves nothing behind, named by
// its descriptor's entry in /proc; `fd`, when given, receives the descriptor.
inline std::string memoryFile(const char* name, std::string_view text, int* fd = nullptr) {
  const int file = memfd_create(name, MFD_CLOEXEC);
  FUZZ_CHECK(file >= 0);
  FUZZ_CHECK(write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  if (fd) *fd = file;
  return "/proc/self/fd/" + std::to_string(file);
}

// What the lookups given no file read, so that a run depends on its input
// alone. Names that are prefixes of others, a user called "user" and a group
// sharing a user's name are on purpose.
inline void useFixedDirectory() {
  [[maybe_unused]] static const bool done = [] {
    setDirectoryTestFiles(memoryFile("passwd",
                                     "root:x:0:0:System Administrator:/var/root:/bin/sh\n"
                                     "daemon:x:1:1:System Services:/var/root:/usr/bin/false\n"
                                     "_www:x:70:70:World Wide Web Server:/Library/WebServer:/usr/bin/false\n"
                                     "alice:x:501:20:Alice Liddell,Room 1,,:/Users/alice:/bin/sh\n"
                                     "ann:x:502:20:Ann:/Users/ann:/bin/sh\n"
                                     "anna:x:503:20:Anna:/Users/anna:/bin/sh\n"
                                     "user:x:504:20:User:/Users/user:/bin/sh\n"
                                     "nohome:x:505:20:No Home::/bin/sh\n"),
                          memoryFile("group", "wheel:x:0:root\ndaemon:x:1:root\nstaff:x:20:\n_www:x:70:\n"
                                              "admin:x:80:alice\nalice:x:501:\n"));
    return true;
  }();
}

}  // namespace fuzz
