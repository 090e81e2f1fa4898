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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/program_info.h"
#include "platform/acl.h"
#include "platform/below/pin.h"
#include "platform/below/walk.h"
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
  const std::optional<uint32_t> flags = readFlagsPinned(pin, status.st_mode, nullptr);
  const std::optional<std::vector<hostacl::AclEntry>> acl = hostacl::readAclPinned(pin, status.st_mode, nullptr);
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

void complain(const std::string& path, int error) {
  std::fprintf(stderr, "hollin-ls: %s: %s\n", printable(path).c_str(), std::strerror(error));
}

// Depth first, each folder's items in byte order of their names: folders are
// pinned by the walk, everything else here, from its folder.
bool listBelow(int pin, const std::string& path) {
  const int fd = reopenPinned(pin, O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    complain(path, -fd);
    return false;
  }
  UniqueFd folder(fd);
  bool ok = true;
  WalkVisitor visitor;
  visitor.sorted = true;
  visitor.crossDevices = true;
  visitor.examineNonFolders = false;
  visitor.enter = [&ok](const WalkItem& item) {
    if (item.fd >= 0) {
      ok = printItem(item.fd, item.status, *item.path) && ok;
      return WalkStep::Descend;
    }
    struct stat status {};
    const int pinned = pinAt(item.parentFd, item.name, &status);
    if (pinned < 0) {
      complain(*item.path, -pinned);
      ok = false;
      return WalkStep::Skip;
    }
    UniqueFd itemPin(pinned);
    ok = printItem(itemPin.get(), status, *item.path) && ok;
    return WalkStep::Skip;
  };
  // The operand's own trailing slash stands for the separator.
  const bool slash = !path.empty() && path.back() == '/';
  const WalkError error = walkTree(folder.get(), slash ? path.substr(0, path.size() - 1) : path, visitor);
  if (error.error) complain(error.path, error.error);
  return ok && !error.error;
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
