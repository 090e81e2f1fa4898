// Stand-in `chmod`: `chmod MODE FILE...` with octal or symbolic modes, and
// `chmod +a "ENTRY" FILE...`, which adds one entry to each file's extended
// access list. Each path is resolved one component at a time, following a
// link only where root alone could have placed it, and the item is then
// changed through the descriptor that pins it: swapping a folder on the way
// for a link cannot send the change anywhere else. Every file is tried; the
// status is 1 when any of them failed.

#include <bsd/unistd.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/program_info.h"
#include "platform/acl.h"
#include "platform/admin/trusted.h"
#include "platform/below/pin.h"
#include "platform/fd.h"

namespace {

void complain(const char* path, int error) {
  if (error == ELOOP) {
    std::fprintf(stderr, "chmod: %s: refusing a symbolic link that root did not place\n", path);
    return;
  }
  std::fprintf(stderr, "chmod: %s: %s\n", path, std::strerror(error));
}

// The item a path names, pinned; -1 (reported) when it cannot be reached.
int pin(const char* path) {
  const int fd = openTrusted(path, O_PATH, FinalLink::Follow);
  if (fd < 0) complain(path, -fd);
  return fd;
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
  UniqueFd item(pin(path));
  struct stat status {};
  if (!item.valid()) return false;
  if (fstat(item.get(), &status) < 0) {
    complain(path, errno);
    return false;
  }
  const mode_t wanted = getmode(set, status.st_mode) & 07777;
  if (const int error = changeModePinned(item.get(), wanted)) {
    complain(path, error);
    return false;
  }
  return true;
}

// The list is read and written through one pin of the item the path names,
// so both steps see the same item even if the path changes meanwhile.
bool addEntry(const hostacl::AclEntry& entry, const char* path) {
  UniqueFd item(pin(path));
  if (!item.valid()) return false;
  std::optional<std::vector<hostacl::AclEntry>> entries = hostacl::readAclFd(item.get());
  if (!entries) {
    std::fprintf(stderr, "chmod: %s: cannot read access list: %s\n", path, std::strerror(errno));
    return false;
  }
  if (!hostacl::insertAclEntry(*entries, entry)) return true;
  if (const int error = hostacl::writeAclFd(item.get(), *entries)) {
    complain(path, error);
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
