// `chown [-R] [-h] [-f] OWNER[:GROUP] FILE...`, and, built from this same
// file, `chgrp [-R] [-h] [-f] GROUP FILE...`.
//
// Root runs these on trees that users control. Each path on the command line
// is resolved one component at a time, following a link only where root alone
// could have placed it; a link named last is followed the same way unless -h
// or -R says to change the link itself. -R walks with folder descriptors,
// never follows a link and crosses mount points. Every item is pinned before
// it is examined and changed through that pin, so swapping it meanwhile
// changes nothing else.
//
// A file with more than one hard link whose owner is not the one the change
// leads to is left alone and reported: another name of it may lie outside
// the tree. For a change of owner that is the new owner; for a change of
// group alone, the owner of the item named on the command line.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "host/program_info.h"
#include "platform/admin/trusted.h"
#include "platform/below/pin.h"
#include "platform/below/walk.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/watch.h"

namespace {

#ifdef HOLLIN_CHGRP
constexpr const char* kProgram = "chgrp";
#else
constexpr const char* kProgram = "chown";
#endif
constexpr uid_t kKeepOwner = static_cast<uid_t>(-1);
constexpr gid_t kKeepGroup = static_cast<gid_t>(-1);

struct Options {
  bool recursive = false;
  bool noDereference = false;
  bool quiet = false;
};

struct Change {
  uid_t owner = kKeepOwner;
  gid_t group = kKeepGroup;
  uid_t expectedOwner = kKeepOwner;  // whom a multiply-linked file must belong to
  bool failed = false;
  bool quiet = false;
};

#ifdef HOLLIN_CHGRP
constexpr const char* kUsage = "usage: chgrp [-R] [-h] [-f] GROUP FILE...\n";
#else
constexpr const char* kUsage = "usage: chown [-R] [-h] [-f] OWNER[:GROUP] FILE...\n";
#endif

[[noreturn]] void usage() {
  std::fputs(kUsage, stderr);
  std::exit(1);
}

void complain(Change& change, const std::string& path, const char* what, int error) {
  change.failed = true;
  if (change.quiet) return;
  if (error == ELOOP) {
    std::fprintf(stderr, "%s: %s '%s': refusing a symbolic link that root did not place\n", kProgram, what,
                 path.c_str());
  } else {
    std::fprintf(stderr, "%s: %s '%s': %s\n", kProgram, what, path.c_str(), std::strerror(error));
  }
}


#ifndef HOLLIN_CHGRP
// OWNER, OWNER:GROUP, OWNER: (the owner's login group) or :GROUP.
bool parseOwnerOperand(const std::string& operand, Change* change) {
  const size_t colon = operand.find(':');
  const std::string owner = operand.substr(0, colon);
  const std::string group = colon == std::string::npos ? std::string() : operand.substr(colon + 1);
  std::optional<gid_t> loginGroup;
  if (!owner.empty()) {
    if (const auto account = accountByShortName(owner)) {
      change->owner = account->uid;
      loginGroup = account->gid;
    } else if (const auto number = plainIdNumber(owner)) {
      change->owner = *number;
    } else {
      std::fprintf(stderr, "%s: invalid user: '%s'\n", kProgram, operand.c_str());
      return false;
    }
  }
  if (!group.empty()) {
    const auto id = groupIdOf(group);
    if (!id) {
      std::fprintf(stderr, "%s: invalid group: '%s'\n", kProgram, operand.c_str());
      return false;
    }
    change->group = *id;
  } else if (colon != std::string::npos && !owner.empty()) {
    if (!loginGroup) {
      std::fprintf(stderr, "%s: %s: no login group for a numeric owner\n", kProgram, operand.c_str());
      return false;
    }
    change->group = *loginGroup;
  }
  return change->owner != kKeepOwner || change->group != kKeepGroup || operand == ":";
}
#endif

// True when the item may be changed; a multiply-linked non-folder that
// belongs to someone else is reported instead.
bool mayChange(Change& change, const std::string& path, const struct stat& status) {
  if (S_ISDIR(status.st_mode) || status.st_nlink <= 1 || status.st_uid == change.expectedOwner) return true;
  change.failed = true;
  if (!change.quiet) {
    std::fprintf(stderr, "%s: '%s': left alone: %lu hard links, owned by uid %u\n", kProgram, path.c_str(),
                 static_cast<unsigned long>(status.st_nlink), static_cast<unsigned>(status.st_uid));
  }
  return false;
}

void changePinned(Change& change, int pin, const std::string& path, const struct stat& status, bool guarded) {
  if (guarded && !mayChange(change, path, status)) return;
  if (const int error = changeOwnerPinned(pin, change.owner, change.group)) {
    complain(change, path, "changing ownership of", error);
  }
}

// Below the named folder: folders through the walk's own descriptors,
// everything else pinned by name from its folder, never followed.
void changeTree(Change& change, int pin, const std::string& path) {
  UniqueFd folder(reopenPinned(pin, O_RDONLY | O_DIRECTORY));
  if (!folder.valid()) return complain(change, path, "cannot read directory", errno);
  WalkVisitor visitor;
  visitor.examineNonFolders = false;
  visitor.crossDevices = true;
  visitor.enter = [&](const WalkItem& item) {
    countProgress();
    if (item.fd >= 0) {
      changePinned(change, item.fd, *item.path, item.status, false);
      return WalkStep::Descend;
    }
    UniqueFd itemPin(openat(item.parentFd, item.name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!itemPin.valid() || fstat(itemPin.get(), &status) != 0) {
      if (errno != ENOENT) complain(change, *item.path, "cannot access", errno);
      return WalkStep::Skip;
    }
    changePinned(change, itemPin.get(), *item.path, status, true);
    return WalkStep::Skip;
  };
  const WalkError error = walkTree(folder.get(), path, visitor);
  if (error.error) complain(change, error.path, "cannot read directory", error.error);
}

void changeOperand(Change& change, const Options& options, const std::string& path) {
  const bool itself = options.recursive || options.noDereference;
  const int fd = openTrusted(path, O_PATH, itself ? FinalLink::Keep : FinalLink::Follow);
  if (fd < 0) return complain(change, path, "cannot access", -fd);
  UniqueFd pin(fd);
  struct stat status {};
  if (fstat(pin.get(), &status) != 0) return complain(change, path, "cannot access", errno);
  Change operand = change;
  if (operand.expectedOwner == kKeepOwner) operand.expectedOwner = status.st_uid;
  changePinned(operand, pin.get(), path, status, options.recursive);
  if (options.recursive && S_ISDIR(status.st_mode)) changeTree(operand, pin.get(), path);
  change.failed = change.failed || operand.failed;
}

int parseOptions(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return i + 1;
    for (const char* c = argv[i] + 1; *c; ++c) {
      switch (*c) {
        case 'R': options->recursive = true; break;
        case 'h': options->noDereference = true; break;
        case 'f': options->quiet = true; break;
        case 'P': break;  // -R never follows a link anyway
        default: usage();  // -H and -L would follow links: not offered
      }
    }
  }
  return i;
}

}  // namespace

int main(int argc, char** argv) {
  if (answerInfoOption(argc, argv, kProgram, kUsage)) return 0;
  Options options;
  const int first = parseOptions(argc, argv, &options);
  if (argc - first < 2) usage();
  Change change;
  change.quiet = options.quiet;
#ifdef HOLLIN_CHGRP
  const auto group = groupIdOf(argv[first]);
  if (!group) {
    std::fprintf(stderr, "chgrp: invalid group: '%s'\n", argv[first]);
    return 1;
  }
  change.group = *group;
#else
  if (!parseOwnerOperand(argv[first], &change)) return 1;
  change.expectedOwner = change.owner;
#endif
  for (int i = first + 1; i < argc; ++i) changeOperand(change, options, argv[i]);
  return change.failed ? 1 : 0;
}
