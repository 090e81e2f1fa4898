// Inspection: one line per item, never following a link.
//
//   TYPE MODE UID:GID FLAGS [ACL] PATH[ -> TARGET]
//
// TYPE is one of d f l p s c b; MODE four octal digits; FLAGS a comma list of
// nodump,uchg,uappnd,hidden (other bits as one 0x... word), or "-"; ACL the
// entries' text forms joined by "; ". With -R a folder's contents follow it,
// depth first, each folder's entries sorted by name.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/program_info.h"
#include "platform/acl.h"
#include "platform/below/pin.h"
#include "platform/fd.h"
#include "platform/flags.h"

namespace {

char typeLetter(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR: return 'd';
    case S_IFLNK: return 'l';
    case S_IFIFO: return 'p';
    case S_IFSOCK: return 's';
    case S_IFCHR: return 'c';
    case S_IFBLK: return 'b';
    default: return 'f';
  }
}

std::string flagsText(std::optional<uint32_t> flags) { return flags ? flagNames(*flags) : "?"; }

std::string aclText(const std::optional<std::vector<hostacl::AclEntry>>& entries) {
  if (!entries) return "[?]";
  std::string text = "[";
  for (size_t i = 0; i < entries->size(); ++i) {
    if (i) text += "; ";
    text += hostacl::formatAclEntry((*entries)[i]);
  }
  return text + "]";
}

// Prints the line of the item pinned at `pin`; false when part of it could
// not be read (the line then shows "?" there).
bool printItem(int pin, const struct stat& status, const std::string& path) {
  const std::optional<uint32_t> flags = readFlagsPinned(pin, status.st_mode);
  const std::optional<std::vector<hostacl::AclEntry>> acl = hostacl::readAclPinned(pin, status.st_mode);
  std::string line;
  char head[64];
  std::snprintf(head, sizeof head, "%c %04o %u:%u ", typeLetter(status.st_mode),
                static_cast<unsigned>(status.st_mode & 07777), static_cast<unsigned>(status.st_uid),
                static_cast<unsigned>(status.st_gid));
  line = head + flagsText(flags) + " " + aclText(acl) + " " + path;
  bool complete = flags && acl;
  if (S_ISLNK(status.st_mode)) {
    std::string target(4096, '\0');
    const ssize_t n = readlinkat(pin, "", target.data(), target.size());
    complete = complete && n >= 0;
    target.resize(n < 0 ? 0 : static_cast<size_t>(n));
    line += " -> " + (n < 0 ? std::string("?") : target);
  }
  std::printf("%s\n", line.c_str());
  return complete;
}

std::string childPath(const std::string& parent, const char* name) {
  if (!parent.empty() && parent.back() == '/') return parent + name;
  return parent + "/" + name;
}

// One folder being listed: its descriptor, its sorted entry names and how
// far the listing has come.
struct Level {
  UniqueFd fd;
  std::string path;
  std::vector<std::string> names;
  size_t next = 0;
};

bool readNames(Level& level) {
  const int copy = fcntl(level.fd.get(), F_DUPFD_CLOEXEC, 0);
  DIR* stream = copy < 0 ? nullptr : fdopendir(copy);
  if (!stream) {
    if (copy >= 0) close(copy);
    return false;
  }
  errno = 0;
  while (const dirent* entry = readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      level.names.emplace_back(entry->d_name);
    }
  }
  const int error = errno;
  closedir(stream);
  std::sort(level.names.begin(), level.names.end());
  errno = error;
  return error == 0;
}

void complain(const std::string& path, int error) {
  std::fprintf(stderr, "hollin-ls: %s: %s\n", path.c_str(), std::strerror(error));
}

// Opens the pinned folder for listing and queues it; false when it cannot be
// read.
bool enterFolder(std::vector<Level>& levels, int pin, const std::string& path) {
  const int fd = reopenPinned(pin, O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    complain(path, -fd);
    return false;
  }
  Level level;
  level.fd.reset(fd);
  level.path = path;
  if (!readNames(level)) {
    complain(path, errno);
    return false;
  }
  levels.push_back(std::move(level));
  return true;
}

// Depth first without recursion: each level lists its next entry, and a
// folder among them becomes the next level.
bool listBelow(int pin, const std::string& path) {
  std::vector<Level> levels;
  bool ok = enterFolder(levels, pin, path);
  while (!levels.empty()) {
    Level& top = levels.back();
    if (top.next == top.names.size()) {
      levels.pop_back();
      continue;
    }
    const std::string child = top.names[top.next++];
    const std::string childText = childPath(top.path, child.c_str());
    struct stat status {};
    const int fd = pinAt(top.fd.get(), child.c_str(), &status);
    if (fd < 0) {
      complain(childText, -fd);
      ok = false;
      continue;
    }
    UniqueFd childPin(fd);
    ok = printItem(childPin.get(), status, childText) && ok;
    if (S_ISDIR(status.st_mode)) ok = enterFolder(levels, childPin.get(), childText) && ok;
  }
  return ok;
}

bool listOperand(const char* operand, bool recursive) {
  struct stat status {};
  const int fd = pinAt(AT_FDCWD, operand, &status);
  if (fd < 0) {
    complain(operand, -fd);
    return false;
  }
  UniqueFd pin(fd);
  bool ok = printItem(pin.get(), status, operand);
  if (recursive && S_ISDIR(status.st_mode)) ok = listBelow(pin.get(), operand) && ok;
  return ok;
}

}  // namespace

constexpr const char* kUsage = "usage: hollin-ls [-R] PATH...\n";

int main(int argc, char** argv) {
  if (answerInfoOption(argc, argv, "hollin-ls", kUsage)) return 0;
  int first = 1;
  bool recursive = false;
  if (first < argc && std::strcmp(argv[first], "-R") == 0) {
    recursive = true;
    ++first;
  }
  if (first < argc && std::strcmp(argv[first], "--") == 0) ++first;
  if (first >= argc) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  bool ok = true;
  for (int i = first; i < argc; ++i) ok = listOperand(argv[i], recursive) && ok;
  return ok ? 0 : 1;
}
