// A `touch` that gives each named item the current access and modification
// times, and never follows a symbolic link nor creates anything. The folder
// that holds the item is reached one component at a time, following a link
// only where root alone could have placed it; the item itself is pinned in
// that folder without following it and changed through the pin. So a link
// planted anywhere in the path by a user leaves its target untouched, and a
// path longer than PATH_MAX is fine. A file with other names that does not
// belong to the owner of its folder is left as it is and reported.
//
// `find HOME -exec touch {} +` hands it many paths at once; the status is 1
// when any of them could not be touched (a missing one included).

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "host/complaint.h"
#include "host/program_info.h"
#include "platform/admin/trusted.h"
#include "platform/below/pause.h"
#include "platform/below/pin.h"
#include "platform/fd.h"

namespace {

// touch is not told whom the item should belong to: a file with other names
// is touched only when it belongs to the owner of the folder it lies in.
bool touchOne(TrustedFolders& held, const char* path) {
  // A trailing separator still names the item itself, never what it links to.
  std::string_view named(path);
  while (named.size() > 1 && named.back() == '/') named.remove_suffix(1);
  TrustedPin found;
  int error = pinTrustedNear(held, named, &found);
  UniqueFd item(error ? -1 : found.fd);
  if (!error && leftAloneForLinks(found.status, found.holderOwner)) {
    reportLeftAlone("touch", path, found.status);
    return false;
  }
  if (!error) {
    pausePoint("touch", item.get());
    error = touchPinned(item.get());
  }
  if (error) complainError("touch", path, -error);
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
      std::fprintf(stderr, "touch: unsupported option %s\n%s", printable(argv[first]).c_str(), kUsage);
      return 1;
    }
  }
  if (first >= argc) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  int status = 0;
  TrustedFolders held;  // find names items in walk order: the next mostly lies in the folders of the last
  for (int i = first; i < argc; ++i) {
    if (!touchOne(held, argv[i])) status = 1;
  }
  return status;
}
