// Inspection: one line per item, never following a link.
//
//   TYPE MODE UID:GID FLAGS [ACL] PATH[ -> TARGET]
//
// TYPE is one of d f l p s c b; MODE four octal digits; FLAGS a comma list of
// nodump,uchg,uappnd,hidden (other bits as one 0x... word), or "-"; ACL the
// entries' text forms joined by "; ". With -R a folder's contents follow it,
// depth first, each folder's entries sorted by name. In PATH, TARGET and the
// entries a control character or a byte that is not UTF-8 shows as \ooo and
// a backslash as \\, so every item is one line whatever its name.

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
#include "platform/below/reenter.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/listing.h"
#include "platform/text.h"

namespace {

// This listing names a regular file, and anything unknown, "f".
char kindLetter(mode_t mode) {
  const char letter = typeLetter(mode);
  return letter == '-' || letter == '?' ? 'f' : letter;
}

std::string aclText(const std::optional<std::vector<hostacl::AclEntry>>& entries) {
  if (!entries) return "[?]";
  // Read once a run, when the first list is shown: a tree repeats its entries
  // on every folder.
  static const IdentityFiles identities = readIdentityFiles();
  std::string text = "[";
  for (size_t i = 0; i < entries->size(); ++i) {
    if (i) text += "; ";
    text += hostacl::formatAclEntry((*entries)[i], identities);
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
  std::snprintf(head, sizeof head, "%c %04o %u:%u ", kindLetter(status.st_mode),
                static_cast<unsigned>(status.st_mode & 07777), static_cast<unsigned>(status.st_uid),
                static_cast<unsigned>(status.st_gid));
  line = head + flagsText(flags) + " " + printable(aclText(acl)) + " " + printable(path);
  bool complete = flags && acl;
  if (S_ISLNK(status.st_mode)) {
    std::string target(4096, '\0');
    const ssize_t n = readlinkat(pin, "", target.data(), target.size());
    complete = complete && n >= 0;
    target.resize(n < 0 ? 0 : static_cast<size_t>(n));
    line += " -> " + (n < 0 ? std::string("?") : printable(target));
  }
  std::printf("%s\n", line.c_str());
  return complete;
}

// At most this many folders stay open; the shallower ones are closed and
// re-entered from their child on the way back up.
constexpr unsigned kMaxOpenFolders = 32;

// One folder being listed: its sorted entry names and how far the listing has
// come. The path of the item being listed is shared by every level, each
// knowing where its own ends, so memory grows with the depth only linearly.
struct Level {
  UniqueFd fd;  // closed while the level is beyond the descriptor bound
  FolderMark mark;
  std::vector<std::string> names;
  size_t next = 0;
  size_t nameStart = 0;  // of the folder's own name in the shared path
  size_t pathLength = 0;
};

struct Listing {
  std::string path;
  std::vector<Level> levels;
  size_t lowestOpen = 1;  // the open levels below the first are the deepest ones
  unsigned open = 0;
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
  std::fprintf(stderr, "hollin-ls: %s: %s\n", printable(path).c_str(), std::strerror(error));
}

// Opens the pinned folder, the current item, for listing and queues it;
// false when it cannot be read. Past the bound, the shallowest open level
// below the first is closed (never the one just queued).
bool enterFolder(Listing& l, int pin, const struct stat& status, size_t nameStart) {
  const int fd = reopenPinned(pin, O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    complain(l.path, -fd);
    return false;
  }
  Level level;
  level.fd.reset(fd);
  level.mark = plainMark(status);
  level.nameStart = nameStart;
  level.pathLength = l.path.size();
  if (!readNames(level)) {
    complain(l.path, errno);
    return false;
  }
  l.levels.push_back(std::move(level));
  ++l.open;
  while (l.open > kMaxOpenFolders && l.lowestOpen + 1 < l.levels.size()) {
    Level& closing = l.levels[l.lowestOpen++];
    addHandle(closing.fd.get(), &closing.mark);
    closing.fd.reset();
    --l.open;
  }
  return true;
}

// Drops the finished deepest level, re-entering its parent when the bound had
// closed it. False when the parent is no longer the folder left, or the child
// no longer in it: the listing stops rather than mislead.
bool leaveLevel(Listing& l) {
  Level& done = l.levels.back();
  if (l.levels.size() > 1 && !l.levels[l.levels.size() - 2].fd.valid()) {
    Level& parent = l.levels[l.levels.size() - 2];
    l.path.resize(done.pathLength);
    const int fd = reenterFolder(parent.mark, done.fd.get(), l.path.c_str() + done.nameStart, done.mark);
    if (fd < 0) {
      l.path.resize(parent.pathLength);
      complain(l.path, -fd);
      return false;
    }
    parent.fd.reset(fd);
    ++l.open;
    l.lowestOpen = l.levels.size() - 2;
  }
  l.levels.pop_back();
  --l.open;
  l.lowestOpen = std::min(l.lowestOpen, l.levels.size());
  return true;
}

// Depth first without recursion: each level lists its next entry, and a
// folder among them becomes the next level.
bool listBelow(int pin, const struct stat& status, const std::string& path) {
  Listing l;
  l.path = path;
  bool ok = enterFolder(l, pin, status, 0);
  while (!l.levels.empty()) {
    Level& top = l.levels.back();
    if (top.next == top.names.size()) {
      if (!leaveLevel(l)) return false;
      continue;
    }
    const std::string& child = top.names[top.next++];
    l.path.resize(top.pathLength);
    if (l.path.empty() || l.path.back() != '/') l.path += '/';
    const size_t nameStart = l.path.size();
    l.path += child;
    struct stat childStatus {};
    const int fd = pinAt(top.fd.get(), child.c_str(), &childStatus);
    if (fd < 0) {
      complain(l.path, -fd);
      ok = false;
      continue;
    }
    UniqueFd childPin(fd);
    ok = printItem(childPin.get(), childStatus, l.path) && ok;
    if (S_ISDIR(childStatus.st_mode)) ok = enterFolder(l, childPin.get(), childStatus, nameStart) && ok;
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
  if (recursive && S_ISDIR(status.st_mode)) ok = listBelow(pin.get(), status, operand) && ok;
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
