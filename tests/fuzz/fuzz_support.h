#pragma once

// What the fuzz targets share: the standard headers every target uses, a check
// that stops the run on a broken property, and a small fixed identity directory
// below a machine root of its own.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/directory.h"
#include "platform/test_root.h"

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

// A file of `text` at `path`, made anew.
inline void writeFile(const std::string& path, std::string_view text) {
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  FUZZ_CHECK(file >= 0);
  FUZZ_CHECK(write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  close(file);
}

// The machine root of the identity files, removed when the run ends (a crash
// leaves its two small files behind).
inline std::string& fixedRoot() {
  static std::string root = std::filesystem::temp_directory_path() / "hollin-fuzz-XXXXXX";
  return root;
}

// What the lookups given no file read, so that a run depends on its input
// alone. Names that are prefixes of others, a user called "user" and a group
// sharing a user's name are on purpose.
inline void useFixedDirectory() {
  [[maybe_unused]] static const bool done = [] {
    std::string& root = fixedRoot();
    FUZZ_CHECK(mkdtemp(root.data()) && mkdir((root + "/etc").c_str(), 0755) == 0);
    writeFile(root + "/etc/passwd",
              "root:x:0:0:System Administrator:/var/root:/bin/sh\n"
              "daemon:x:1:1:System Services:/var/root:/usr/bin/false\n"
              "_www:x:70:70:World Wide Web Server:/Library/WebServer:/usr/bin/false\n"
              "alice:x:501:20:Alice Liddell,Room 1,,:/Users/alice:/bin/sh\n"
              "ann:x:502:20:Ann:/Users/ann:/bin/sh\n"
              "anna:x:503:20:Anna:/Users/anna:/bin/sh\n"
              "user:x:504:20:User:/Users/user:/bin/sh\n"
              "nohome:x:505:20:No Home::/bin/sh\n");
    writeFile(root + "/etc/group",
              "wheel:x:0:root\ndaemon:x:1:root\nstaff:x:20:\n_www:x:70:\nadmin:x:80:alice\nalice:x:501:\n");
    setTestRoot(root);
    std::atexit([] {
      const std::string& made = fixedRoot();
      for (const char* file : {"/etc/passwd", "/etc/group"}) unlink((made + file).c_str());
      rmdir((made + "/etc").c_str());
      rmdir(made.c_str());
    });
    return true;
  }();
}

}  // namespace fuzz
