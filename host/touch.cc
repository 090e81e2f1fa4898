// A `touch` that gives each named item the current access and modification
// times, and never follows a symbolic link nor creates anything. The folder
// that holds the item is reached one component at a time, following a link
// only where root alone could have placed it; the item itself is changed
// relative to that folder without following it. So a link planted anywhere
// in the path by a user leaves its target untouched, and a path longer than
// PATH_MAX is fine.
//
// `find HOME -exec touch {} +` hands it many paths at once; the status is 1
// when any of them could not be touched (a missing one included).

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/program_info.h"
#include "platform/admin/trusted.h"
#include "platform/fd.h"

namespace {

bool touchOne(const char* path) {
  std::string name;
  const int folder = openTrustedParent(path, &name);
  UniqueFd parent(folder < 0 ? -1 : folder);
  int error = folder < 0 ? -folder : 0;
  if (!error && utimensat(parent.get(), name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) < 0) error = errno;
  if (error == ELOOP) {
    std::fprintf(stderr, "touch: %s: refusing a symbolic link that root did not place\n", path);
  } else if (error) {
    std::fprintf(stderr, "touch: %s: %s\n", path, std::strerror(error));
  }
  return error == 0;
}

// Options that only restate what this touch always does (-c: never create,
// -h: never follow) are accepted; any other is refused rather than ignored.
bool acceptOption(const char* arg) {
  for (const char* c = arg + 1; *c; ++c) {
    if (*c != 'c' && *c != 'h') return false;
  }
  return true;
}

}  // namespace

constexpr const char* kUsage = "usage: touch [-ch] FILE...\n";

int main(int argc, char** argv) {
  if (answerInfoOption(argc, argv, "touch", kUsage)) return 0;
  int first = 1;
  for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; ++first) {
    if (std::strcmp(argv[first], "--") == 0) {
      ++first;
      break;
    }
    if (!acceptOption(argv[first])) {
      std::fprintf(stderr, "touch: unsupported option %s\n%s", argv[first], kUsage);
      return 1;
    }
  }
  if (first >= argc) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  int status = 0;
  for (int i = first; i < argc; ++i) {
    if (!touchOne(argv[i])) status = 1;
  }
  return status;
}
