// hollinctl show: one item and what lies below it, with mode, owner, group,
// flags and access list, never following a link.
//
// Every item is pinned from its folder's descriptor (O_PATH, no link
// followed) and read through the pin. A folder's names are read whole and
// sorted before any of them is shown, so memory grows with the largest folder
// and the depth, never with the tree. Folders deeper than the descriptor bound
// are closed and re-entered from their child (by handle, or through ".."),
// checked by device and inode, and the child checked to be still inside, so a
// folder moved meanwhile stops the listing instead of misleading it.

#include "ctl/show.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "ctl/names.h"
#include "platform/acl.h"
#include "platform/admin/trusted.h"
#include "platform/below/pin.h"
#include "platform/below/reenter.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/listing.h"
#include "platform/text.h"

namespace {

constexpr size_t kMaxOpenFolders = 32;

struct Listing {
  std::FILE* out = nullptr;
  std::string top;  // the path as given, printed for the top item
  std::string rel;  // the current item relative to the top ("" for the top)
  bool recursive = false;
  NameBook names;
  // The open levels are always the deepest ones, from `lowestOpen` down, so
  // the bound is kept by a count.
  size_t lowestOpen = 0;
  size_t open = 0;
};

// One folder being listed: its sorted names and how far the listing has come.
struct Level {
  UniqueFd fd;  // closed while the level is beyond the descriptor bound
  FolderMark mark;
  std::vector<std::string> names;
  size_t next = 0;
  size_t relLength = 0;  // of Listing::rel for this folder
};

// A set-id or sticky bit shows in the execute slot: lower case over an
// execute bit, upper case where there is none.
void markSpecial(char& slot, bool set, char letter) {
  if (set) slot = slot == '-' ? static_cast<char>(letter - 'a' + 'A') : letter;
}

std::string modeText(mode_t mode) {
  static constexpr mode_t kBits[9] = {S_IRUSR, S_IWUSR, S_IXUSR, S_IRGRP, S_IWGRP,
                                      S_IXGRP, S_IROTH, S_IWOTH, S_IXOTH};
  std::string text = "?rwxrwxrwx";
  text[0] = typeLetter(mode);
  for (size_t i = 0; i < 9; ++i) {
    if (!(mode & kBits[i])) text[i + 1] = '-';
  }
  markSpecial(text[3], mode & S_ISUID, 's');
  markSpecial(text[6], mode & S_ISGID, 's');
  markSpecial(text[9], mode & S_ISVTX, 't');
  return text;
}

std::optional<std::string> linkTarget(int pin, const struct stat& status) {
  std::string target(std::max<size_t>(static_cast<size_t>(status.st_size), 255) + 1, '\0');
  for (;;) {
    const ssize_t n = readlinkat(pin, "", target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);  // the link grew since it was examined
  }
}

std::string fullPath(const Listing& l) {
  if (l.rel.empty()) return l.top;
  return l.top + (!l.top.empty() && l.top.back() == '/' ? "" : "/") + l.rel;
}

void complain(const std::string& path, int error) {
  std::fprintf(stderr, "hollinctl: show: %s: %s\n", printable(path).c_str(), std::strerror(error));
}

// Prints the lines of the current item, pinned at `pin`; false when part of
// it could not be read: flags or a link's target show as "?", an unreadable
// list is left out, and standard error says why.
bool printItem(Listing& l, int pin, const struct stat& status) {
  errno = 0;
  const std::optional<uint32_t> flags = readFlagsPinned(pin, status.st_mode);
  const int flagsError = errno;
  errno = 0;
  const auto entries = hostacl::readAclPinned(pin, status.st_mode);
  const int listError = errno;
  std::string line = modeText(status.st_mode) + "  " + printable(userName(l.names, status.st_uid)) + "  " +
                     printable(groupName(l.names, status.st_gid)) + "  " + flagsText(flags) + "  " +
                     printable(l.rel.empty() ? l.top : l.rel);
  bool ok = true;
  if (S_ISLNK(status.st_mode)) {
    const std::optional<std::string> target = linkTarget(pin, status);
    if (!target) complain(fullPath(l), errno);
    ok = target.has_value();
    line += " -> " + (target ? printable(*target) : std::string("?"));
  }
  std::fprintf(l.out, "%s\n", line.c_str());
  if (entries) {
    for (size_t i = 0; i < entries->size(); ++i) {
      std::fprintf(l.out, " %zu: %s\n", i, printable(entryText(l.names, (*entries)[i])).c_str());
    }
  }
  if (!flags) complain(fullPath(l) + " (flags)", flagsError ? flagsError : EIO);
  if (!entries) complain(fullPath(l) + " (access list)", listError ? listError : EIO);
  return ok && flags && entries;
}

// Byte order, so that the listing is the same whatever the locale.
bool readSortedNames(int folderFd, std::vector<std::string>* names) {
  const int copy = fcntl(folderFd, F_DUPFD_CLOEXEC, 3);
  DIR* stream = copy < 0 ? nullptr : fdopendir(copy);
  if (!stream) {
    const int error = errno;
    if (copy >= 0) close(copy);
    errno = error;
    return false;
  }
  errno = 0;
  while (const dirent* entry = readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names->emplace_back(entry->d_name);
    }
    errno = 0;
  }
  const int error = errno;
  closedir(stream);
  std::sort(names->begin(), names->end());
  errno = error;
  return error == 0;
}

// Keeps at most kMaxOpenFolders descriptors: the shallowest open levels are
// closed first, never the one being listed.
void enforceBound(Listing& l, std::vector<Level>& levels) {
  while (l.open > kMaxOpenFolders && l.lowestOpen + 1 < levels.size()) {
    Level& closing = levels[l.lowestOpen++];
    addHandle(closing.fd.get(), &closing.mark);
    closing.fd.reset();
    --l.open;
  }
}

// Opens the current item, a folder pinned at `pin`, and queues its names.
bool enterFolder(Listing& l, std::vector<Level>& levels, int pin, const struct stat& status) {
  Level level;
  const int fd = reopenPinned(pin, O_RDONLY | O_DIRECTORY);  // through the pin: the same folder
  if (fd < 0) {
    complain(fullPath(l), -fd);
    return false;
  }
  level.fd.reset(fd);
  level.mark = plainMark(status);
  level.relLength = l.rel.size();
  if (!readSortedNames(level.fd.get(), &level.names)) {
    complain(fullPath(l), errno);
    return false;
  }
  levels.push_back(std::move(level));
  ++l.open;
  enforceBound(l, levels);
  return true;
}

// Drops the finished deepest level, re-entering its parent from it when the
// bound had closed it. False when the parent is no longer the folder left or
// the child no longer stands in it.
bool leaveLevel(Listing& l, std::vector<Level>& levels) {
  Level done = std::move(levels.back());
  levels.pop_back();
  --l.open;
  l.lowestOpen = std::min(l.lowestOpen, levels.size());
  if (levels.empty() || levels.back().fd.valid()) return true;
  Level& parent = levels.back();
  l.rel.resize(done.relLength);
  const size_t nameStart = parent.relLength == 0 ? 0 : parent.relLength + 1;
  const int fd = reenterFolder(parent.mark, done.fd.get(), l.rel.c_str() + nameStart, done.mark);
  l.rel.resize(parent.relLength);
  if (fd < 0) {
    complain(fullPath(l), -fd);
    return false;
  }
  parent.fd.reset(fd);
  ++l.open;
  l.lowestOpen = levels.size() - 1;
  return true;
}

// Depth first without recursion on the stack: each level shows its next
// name, and with `recursive` a folder among them becomes the next level.
bool listBelow(Listing& l, int pin, const struct stat& status) {
  std::vector<Level> levels;
  bool ok = enterFolder(l, levels, pin, status);
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.names.size()) {
      if (!leaveLevel(l, levels)) return false;
      continue;
    }
    const std::string& name = level.names[level.next++];
    l.rel.resize(level.relLength);
    l.rel += l.rel.empty() ? "" : "/";
    l.rel += name;
    struct stat childStatus {};
    const int fd = pinAt(level.fd.get(), name.c_str(), &childStatus);
    if (fd < 0) {
      if (fd == -ENOENT) continue;  // gone since the folder was read
      complain(fullPath(l), -fd);
      ok = false;
      continue;
    }
    UniqueFd childPin(fd);
    ok = printItem(l, childPin.get(), childStatus) && ok;
    if (l.recursive && S_ISDIR(childStatus.st_mode)) ok = enterFolder(l, levels, childPin.get(), childStatus) && ok;
  }
  return ok;
}

}  // namespace

int showListing(const std::string& path, bool recursive, std::FILE* out) {
  std::string name;
  const int parent = openTrustedParent(path, &name);
  if (parent < 0) {
    complain(path, -parent);
    return 2;
  }
  UniqueFd parentFd(parent);
  struct stat status {};
  const int fd = pinAt(parentFd.get(), name.c_str(), &status);
  if (fd < 0) {
    complain(path, -fd);
    return 2;
  }
  UniqueFd pin(fd);
  Listing l;
  l.out = out;
  l.top = path;
  l.recursive = recursive;
  l.names = readNameBook();
  bool ok = printItem(l, pin.get(), status);
  if (S_ISDIR(status.st_mode)) ok = listBelow(l, pin.get(), status) && ok;
  if (std::fflush(out) != 0 || std::ferror(out)) {
    complain("standard output", errno ? errno : EIO);
    ok = false;
  }
  return ok ? 0 : 1;
}
