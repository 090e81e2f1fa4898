// A `touch` that gives each named item the current access and modification
// times, and never follows a symbolic link nor creates anything. The folder
// that holds the item is reached as the caller wrote its path; the item itself
// is changed relative to that folder without following it, so a link planted
// where the item should be gets its own times and its target is untouched.
//
// `find HOME -exec touch {} +` hands it many paths at once; the status is 1
// when any of them could not be touched (a missing one included).

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/fd.h"

namespace {

// Splits `path` into the folder that holds its last component and that
// component. Trailing separators are dropped; "/" names itself as ".".
void splitPath(const std::string& path, std::string* folder, std::string* name) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  if (trimmed == "/") {
    *folder = "/";
    *name = ".";
  } else if (slash == std::string::npos) {
    *folder = ".";
    *name = trimmed;
  } else {
    *folder = slash == 0 ? "/" : trimmed.substr(0, slash);
    *name = trimmed.substr(slash + 1);
  }
}

bool touchOne(const char* path) {
  std::string folder, name;
  splitPath(path, &folder, &name);
  UniqueFd parent(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parent.valid() || utimensat(parent.get(), name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) < 0) {
    std::fprintf(stderr, "touch: %s: %s\n", path, std::strerror(errno));
    return false;
  }
  return true;
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

int main(int argc, char** argv) {
  int first = 1;
  for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; ++first) {
    if (std::strcmp(argv[first], "--") == 0) {
      ++first;
      break;
    }
    if (!acceptOption(argv[first])) {
      std::fprintf(stderr, "touch: unsupported option %s\nusage: touch [-ch] FILE...\n", argv[first]);
      return 1;
    }
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: touch [-ch] FILE...\n");
    return 1;
  }
  int status = 0;
  for (int i = first; i < argc; ++i) {
    if (!touchOne(argv[i])) status = 1;
  }
  return status;
}
