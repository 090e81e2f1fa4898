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
// leads to is left alone and reported, named on the command line or met
// below it: another name of it may lie outside the tree. For a change of
// owner that is the new owner; for a change of group alone, the owner of the
// folder that holds the operand.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "host/complaint.h"
#include "host/program_info.h"
#include "platform/admin/trusted.h"
#include "platform/below/pause.h"
#include "platform/below/pin.h"
#include "platform/below/pool.h"
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
  if (error == ELOOP) return complainError(kProgram, path, error);
  const std::string text = std::string(what) + ": " + std::strerror(error);
  complainAbout(kProgram, path, text.c_str());
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
      std::fprintf(stderr, "%s: invalid user: '%s'\n", kProgram, printable(operand).c_str());
      return false;
    }
  }
  if (!group.empty()) {
    const auto id = groupIdOf(group);
    if (!id) {
      std::fprintf(stderr, "%s: invalid group: '%s'\n", kProgram, printable(operand).c_str());
      return false;
    }
    change->group = *id;
  } else if (colon != std::string::npos && !owner.empty()) {
    if (!loginGroup) {
      std::fprintf(stderr, "%s: %s: no login group for a numeric owner\n", kProgram, printable(operand).c_str());
      return false;
    }
    change->group = *loginGroup;
  }
  return change->owner != kKeepOwner || change->group != kKeepGroup || operand == ":";
}
#endif

// Changes the item through its pin, unless the hard-link rule leaves it
// alone: then it is reported and the run ends with status 1.
void changePinned(Change& change, int pin, const std::string& path, const struct stat& status) {
  if (leftAloneForLinks(status, change.expectedOwner)) {
    change.failed = true;
    if (!change.quiet) reportLeftAlone(kProgram, path, status);
    return;
  }
  pausePoint(kProgram, pin);
  if (const int error = changeOwnerPinned(pin, change.owner, change.group)) {
    complain(change, path, "changing ownership", -error);
  }
}

// True when the item already has the owner and group the change gives, and
// no set-id bit that the owner call would clear: then no call is made at all,
// and since nothing changes, a swap after this look reaches nothing.
bool alreadyOwned(const Change& change, uid_t uid, gid_t gid, mode_t mode) {
  return (change.owner == kKeepOwner || uid == change.owner) && (change.group == kKeepGroup || gid == change.group) &&
         (mode & (S_ISUID | S_ISGID)) == 0;
}

// Pins that are done with, closed together: at most kMost at a time, each
// run of consecutive descriptors among them with one call instead of one
// close each. Only descriptors this file opened and nothing else holds are
// ever in the list, so no run reaches one of the walk's own; kept open a
// little longer, the numbers the walk gives back in between are taken by
// later pins, and the runs grow long.
struct PinBatch {
  static constexpr size_t kMost = 64;  // well inside any descriptor limit, beside the walk's folders
  int fds[kMost];
  size_t count = 0;

  void flush() {
    std::sort(fds, fds + count);
    for (size_t first = 0; first < count;) {
      size_t last = first;
      while (last + 1 < count && fds[last + 1] == fds[last] + 1) ++last;
      if (last == first || close_range(static_cast<unsigned>(fds[first]), static_cast<unsigned>(fds[last]), 0) != 0) {
        for (size_t i = first; i <= last; ++i) close(fds[i]);
      }
      first = last + 1;
    }
    count = 0;
  }
  void add(int fd) {
    if (count == kMost) flush();
    fds[count++] = fd;
  }
  ~PinBatch() { flush(); }
};

// One item below the named folder: folders through the walk's own
// descriptors, everything else pinned by name from its folder.
WalkStep changeItem(Change& change, PinBatch& done, LookGuess& guess, const WalkItem& item) {
  if (item.fd >= 0) {
    if (!alreadyOwned(change, item.status.st_uid, item.status.st_gid, item.status.st_mode)) {
      changePinned(change, item.fd, *item.path, item.status);
    }
    return WalkStep::Descend;
  }
  if (!guess.pinFirst()) {
    struct statx seen {};
    if (statx(item.parentFd, item.name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
              STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID, &seen) == 0 &&
        !S_ISDIR(seen.stx_mode) && alreadyOwned(change, seen.stx_uid, seen.stx_gid, seen.stx_mode)) {
      guess.alreadyRight();
      return WalkStep::Skip;
    }
  }
  const int itemPin = openat(item.parentFd, item.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (itemPin < 0) {
    if (errno != ENOENT) complain(change, *item.path, "cannot access", errno);
    return WalkStep::Skip;
  }
  done.add(itemPin);
  // The status that decides, and that the hard-link rule is asked of, is
  // the pin's own: whatever stood at the name when it was looked at.
  struct stat status {};
  if (fstat(itemPin, &status) != 0) {
    complain(change, *item.path, "cannot access", errno);
    return WalkStep::Skip;
  }
  if (alreadyOwned(change, status.st_uid, status.st_gid, status.st_mode)) {
    guess.alreadyRight();
    return WalkStep::Skip;
  }
  guess.changed();
  changePinned(change, itemPin, *item.path, status);
  return WalkStep::Skip;
}

// Below the named folder: folders through the walk's own descriptors,
// everything else pinned by name from its folder, never followed. Every item
// is held to the operand's reference owner: a folder below it that someone
// else owns does not make their files fair game.
void changeTree(Change& change, int pin, const std::string& path) {
  const int opened = reopenPinned(pin, O_RDONLY | O_DIRECTORY);
  if (opened < 0) return complain(change, path, "cannot read directory", -opened);
  UniqueFd folder(opened);
  // Walkers on several threads: each keeps its own pins and guess, and
  // says through the shared flag when something failed.
  thread_local PinBatch done;
  thread_local LookGuess guess;
  std::atomic<bool> failed{false};
  WalkVisitor visitor;
  visitor.examineNonFolders = false;
  visitor.crossDevices = true;
  visitor.enter = [&change, &failed](const WalkItem& item) {
    countProgress();
    Change mine = change;
    const WalkStep step = changeItem(mine, done, guess, item);
    if (mine.failed) failed = true;
    return step;
  };
  const WalkError error = walkTreeShared(folder.get(), path, visitor, walkWorkers());
  done.flush();
  if (failed) change.failed = true;
  if (error.error) complain(change, error.path, "cannot read directory", error.error);
}

// The operand is pinned where its path ends; a program that is not told the
// new owner takes the owner of the folder holding the operand as the one a
// file with other names must belong to, there and everywhere below it.
void changeOperand(Change& change, const Options& options, const std::string& path) {
  const bool itself = options.recursive || options.noDereference;
  TrustedPin found;
  if (const int error = pinTrusted(path, itself ? FinalLink::Keep : FinalLink::Follow, &found)) {
    return complain(change, path, "cannot access", -error);
  }
  UniqueFd pin(found.fd);
  Change operand = change;
  if (operand.owner == kKeepOwner) operand.expectedOwner = found.holderOwner;
  changePinned(operand, pin.get(), path, found.status);
  if (options.recursive && S_ISDIR(found.status.st_mode)) changeTree(operand, pin.get(), path);
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
    std::fprintf(stderr, "chgrp: invalid group: '%s'\n", printable(argv[first]).c_str());
    return 1;
  }
  change.group = *group;
#else
  if (!parseOwnerOperand(argv[first], &change)) return 1;
  change.expectedOwner = change.owner;  // kKeepOwner for ":GROUP": each operand's folder owner
#endif
  for (int i = first + 1; i < argc; ++i) changeOperand(change, options, argv[i]);
  return change.failed ? 1 : 0;
}
