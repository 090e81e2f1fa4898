// hollinctl show: one item and what lies below it, with mode, owner, group,
// flags and access list, never following a link.
//
// Every item is pinned from its folder's descriptor (a folder by the walk,
// anything else here with O_PATH, no link followed) and read through the pin.
// The walk hands out each folder's names sorted, so memory grows with the
// largest folder and the depth, never with the tree, and it keeps few folders
// open however deep the tree goes.

#include "ctl/show.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "ctl/names.h"
#include "platform/acl.h"
#include "platform/admin/trusted.h"
#include "platform/below/pin.h"
#include "platform/below/walk.h"
#include "platform/fd.h"
#include "platform/flags.h"
#include "platform/listing.h"
#include "platform/text.h"

namespace {

struct Listing {
  std::FILE* out = nullptr;
  std::string top;  // the path as given, printed for the top item
  bool recursive = false;
  NameBook names;
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

// `rel` is the item's path relative to the top ("" for the top itself).
std::string fullPath(const Listing& l, const std::string& rel) {
  if (rel.empty()) return l.top;
  return l.top + (!l.top.empty() && l.top.back() == '/' ? "" : "/") + rel;
}

void complain(const std::string& path, int error) {
  std::fprintf(stderr, "hollinctl: show: %s: %s\n", printable(path).c_str(), std::strerror(error));
}

// Prints the lines of the current item, pinned at `pin`; false when part of
// it could not be read: flags or a link's target show as "?", an unreadable
// list is left out, and standard error says why.
bool printItem(Listing& l, int pin, const struct stat& status, const std::string& rel) {
  int flagsError = 0;
  const std::optional<uint32_t> flags = readFlagsPinned(pin, status.st_mode, &flagsError);
  int listError = 0;
  const auto entries = hostacl::readAclPinned(pin, status.st_mode, &listError);
  std::string line = modeText(status.st_mode) + "  " + printable(userName(l.names, status.st_uid)) + "  " +
                     printable(groupName(l.names, status.st_gid)) + "  " + flagsText(flags) + "  " +
                     printable(rel.empty() ? l.top : rel);
  bool ok = true;
  if (S_ISLNK(status.st_mode)) {
    const std::optional<std::string> target = linkTarget(pin, status);
    if (!target) complain(fullPath(l, rel), errno);
    ok = target.has_value();
    line += " -> " + (target ? printable(*target) : std::string("?"));
  }
  std::fprintf(l.out, "%s\n", line.c_str());
  if (entries) {
    for (size_t i = 0; i < entries->size(); ++i) {
      std::fprintf(l.out, " %zu: %s\n", i, printable(entryText(l.names, (*entries)[i])).c_str());
    }
  }
  if (!flags) complain(fullPath(l, rel) + " (flags)", flagsError ? -flagsError : EIO);
  if (!entries) complain(fullPath(l, rel) + " (access list)", listError ? -listError : EIO);
  return ok && flags && entries;
}

// The top folder's items, and with `recursive` everything below it, depth
// first, each folder's in byte order so that the listing is the same
// whatever the locale.
bool listBelow(Listing& l, int pin) {
  const int fd = reopenPinned(pin, O_RDONLY | O_DIRECTORY);  // through the pin: the same folder
  if (fd < 0) {
    complain(l.top, -fd);
    return false;
  }
  UniqueFd folder(fd);
  bool ok = true;
  std::string rel;
  WalkVisitor visitor;
  visitor.sorted = true;
  visitor.crossDevices = true;
  visitor.examineNonFolders = false;
  visitor.enter = [&](const WalkItem& item) {
    rel.assign(*item.path, item.rootLength + 1);
    if (item.fd >= 0) {
      ok = printItem(l, item.fd, item.status, rel) && ok;
      return l.recursive ? WalkStep::Descend : WalkStep::Skip;
    }
    struct stat status {};
    const int pinned = pinAt(item.parentFd, item.name, &status);
    if (pinned == -ENOENT) return WalkStep::Skip;  // gone since the folder was read
    if (pinned < 0) {
      complain(fullPath(l, rel), -pinned);
      ok = false;
      return WalkStep::Skip;
    }
    UniqueFd itemPin(pinned);
    ok = printItem(l, itemPin.get(), status, rel) && ok;
    return WalkStep::Skip;
  };
  // The top's own trailing slash stands for the separator.
  const bool slash = !l.top.empty() && l.top.back() == '/';
  const WalkError error = walkTree(folder.get(), slash ? l.top.substr(0, l.top.size() - 1) : l.top, visitor);
  if (error.error) complain(error.path, error.error);
  return ok && !error.error;
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
  bool ok = printItem(l, pin.get(), status, "");
  if (S_ISDIR(status.st_mode)) ok = listBelow(l, pin.get()) && ok;
  if (std::fflush(out) != 0 || std::ferror(out)) {
    complain("standard output", errno ? errno : EIO);
    ok = false;
  }
  return ok ? 0 : 1;
}
