// Stand-in `chmod`: `chmod MODE FILE...` with octal or symbolic modes, and
// `chmod +a "ENTRY" FILE...`, which adds one entry to each file's extended
// access list. Each path is resolved one component at a time, following a
// link only where root alone could have placed it, and the item is then
// changed through the descriptor that pins it: swapping a folder on the way
// for a link cannot send the change anywhere else. A file with other names
// that does not belong to the owner of its folder is left as it is and
// reported. Every file is tried; the status is 1 when any of them failed or
// was left alone.

#include <bsd/unistd.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/complaint.h"
#include "host/program_info.h"
#include "platform/acl.h"
#include "platform/admin/trusted.h"
#include "platform/below/pause.h"
#include "platform/below/pin.h"
#include "platform/fd.h"

namespace {

constexpr const char* kProgram = "chmod";

// The item a path names, pinned, once the hard-link rule has let it through:
// chmod is not told whom the item should belong to, so a file with other
// names must belong to the owner of the folder it lies in already. -1
// (reported) otherwise.
int pin(const char* path, struct stat* status) {
  TrustedPin found;
  if (const int error = pinTrusted(path, FinalLink::Follow, &found)) {
    complainError(kProgram, path, -error);
    return -1;
  }
  UniqueFd item(found.fd);
  if (leftAloneForLinks(found.status, found.holderOwner)) {
    reportLeftAlone(kProgram, path, found.status);
    return -1;
  }
  pausePoint("chmod", item.get());
  *status = found.status;
  return item.release();
}

constexpr const char* kUsage = "usage: chmod MODE FILE...\n       chmod +a \"ENTRY\" FILE...\n";

[[noreturn]] void usage() {
  std::fputs(kUsage, stderr);
  std::exit(1);
}

// The new mode comes from the item's current one (for +X and relative
// clauses). The call is made even when nothing changes, so an immutable item
// refuses every mode change alike.
bool applyMode(const void* set, const char* path) {
  struct stat status {};
  UniqueFd item(pin(path, &status));
  if (!item.valid()) return false;
  const mode_t wanted = getmode(set, status.st_mode) & 07777;
  if (const int error = changeModePinned(item.get(), wanted)) {
    complainError(kProgram, path, -error);
    return false;
  }
  return true;
}

// The list is read and written through one pin of the item the path names,
// so both steps see the same item even if the path changes meanwhile.
bool addEntry(const hostacl::AclEntry& entry, const char* path) {
  struct stat status {};
  UniqueFd item(pin(path, &status));
  if (!item.valid()) return false;
  int readError = 0;
  std::optional<std::vector<hostacl::AclEntry>> entries = hostacl::readAclFd(item.get(), &readError);
  if (!entries) {
    const std::string what = std::string("cannot read access list: ") + std::strerror(-readError);
    complainAbout(kProgram, path, what.c_str());
    return false;
  }
  if (!hostacl::insertAclEntry(*entries, entry)) return true;
  if (const int error = hostacl::writeAclFd(item.get(), *entries)) {
    complainError(kProgram, path, -error);
    return false;
  }
  return true;
}

int addEntries(const char* text, int count, char** paths) {
  std::string error;
  const std::optional<hostacl::AclEntry> entry = hostacl::parseAclEntry(text, &error);
  if (!entry) {
    std::fprintf(stderr, "chmod: %s\n", error.c_str());
    return 1;
  }
  int status = 0;
  for (int i = 0; i < count; ++i) {
    if (!addEntry(*entry, paths[i])) status = 1;
  }
  return status;
}

int changeModes(const char* text, int count, char** paths) {
  void* set = setmode(text);
  if (!set) {
    std::fprintf(stderr, "chmod: invalid file mode: %s\n", text);
    return 1;
  }
  int status = 0;
  for (int i = 0; i < count; ++i) {
    if (!applyMode(set, paths[i])) status = 1;
  }
  std::free(set);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (answerInfoOption(argc, argv, "chmod", kUsage)) return 0;
  int first = 1;
  // A mode such as "-w" looks like an option; only "--" is taken as one.
  if (first < argc && std::strcmp(argv[first], "--") == 0) ++first;
  if (argc - first < 2) usage();
  if (std::strcmp(argv[first], "+a") == 0) {
    if (argc - first < 3) usage();
    return addEntries(argv[first + 1], argc - first - 2, argv + first + 2);
  }
  return changeModes(argv[first], argc - first - 1, argv + first + 1);
}
