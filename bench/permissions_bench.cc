// The permissions-only pass against `chown -R` and against the floor: a bare
// loop making the same system calls per item. Runs inside the sandbox, where
// the user template and the stand-in chmod sit at their fixed places.

#include <dirent.h>
#include <sys/syscall.h>
#include <sys/xattr.h>

#include <cstring>

#include "bench/tree.h"
#include "permissions/default_acl.h"

#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif

namespace {

// The deny-delete list as stored, so the floor writes the same bytes.
std::string storedDenyList() { return hostacl::encodeAcl(defaultDenyDeleteACL()->entries); }

// Per folder: one statx for its status and kernel flags, mode, list, owner.
// Per file: pinned, examined for its link count, changed through the pin.
void floorFolder(int fd, uid_t uid, gid_t gid, const std::string& list) {
  struct statx folder {};
  statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &folder);
  fchmod(fd, 0700);
  fsetxattr(fd, "trusted.velmora.acl", list.data(), list.size(), 0);
  fchown(fd, uid, gid);
  DIR* dir = fdopendir(fd);
  while (const dirent* entry = readdir(dir)) {
    if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
    if (entry->d_type == DT_DIR) {
      floorFolder(openat(fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), uid, gid, list);
      continue;
    }
    const int pin = openat(fd, entry->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    fstat(pin, &status);
    if (entry->d_type != DT_LNK) syscall(SYS_fchmodat2, pin, "", 0600, AT_EMPTY_PATH);
    fchownat(pin, "", uid, gid, AT_EMPTY_PATH);
    close(pin);
  }
  closedir(dir);
}

double timeFloor(const std::string& home, uid_t uid, gid_t gid) {
  const auto start = std::chrono::steady_clock::now();
  const std::string list = storedDenyList();
  const int fd = open(home.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  fsetxattr(fd, "trusted.velmora.acl", list.data(), list.size(), 0);
  floorFolder(fd, uid, gid, list);
  return bench::seconds(start);
}

}  // namespace

// Each contender gets a tree of its own, made fresh for the run, so that
// every one of them has the same work to do; old trees are left in place
// rather than deleted, since creating files right after deleting many is
// much slower here and would swamp the figures.
std::string freshTree(size_t items, const std::string& name) {
  const std::string home = "/Users/" + name;
  mkdir(home.c_str(), 0755);
  bench::makeTree(home, items);
  return home;
}

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s HOLLIN RUNS [ITEMS...]\n", argv[0]);
    return 2;
  }
  const std::string hollin = argv[1];
  const int runs = std::atoi(argv[2]);
  for (int a = 3; a < argc; ++a) {
    const size_t items = std::strtoul(argv[a], nullptr, 10);
    std::vector<double> pass, chown, floor, passOverChown, passOverFloor, againOverChown;
    long rss = 0;
    for (int r = 0; r < runs; ++r) {
      const std::string tag = std::to_string(items) + "-" + std::to_string(r);
      const std::string passHome = freshTree(items, "pass" + tag);
      const std::string chownHome = freshTree(items, "chown" + tag);
      const std::string floorHome = freshTree(items, "floor" + tag);
      sync();
      const bench::RunResult p = bench::runProgram({hollin, "x", passHome, "501", "20", "3"});
      const bench::RunResult c = bench::runProgram({"/usr/bin/chown", "-R", "501:20", chownHome});
      const double f = timeFloor(floorHome, 501, 20);
      rss = std::max(rss, p.maxRssKiB);
      pass.push_back(p.seconds), chown.push_back(c.seconds), floor.push_back(f);
      // A second run over the same trees: everything is already what it should be.
      const bench::RunResult p2 = bench::runProgram({hollin, "x", passHome, "501", "20", "3"});
      const bench::RunResult c2 = bench::runProgram({"/usr/bin/chown", "-R", "501:20", chownHome});
      againOverChown.push_back(p2.seconds / c2.seconds);
      passOverChown.push_back(p.seconds / c.seconds), passOverFloor.push_back(p.seconds / f);
    }
    std::printf("items %zu: pass %.3fs  chown -R %.3fs  floor %.3fs  (medians of %d paired runs)\n", items,
                bench::median(pass), bench::median(chown), bench::median(floor), runs);
    std::printf("  pass / chown -R = %.2f   pass / floor = %.2f   floor / chown -R = %.2f\n",
                bench::median(passOverChown), bench::median(passOverFloor),
                bench::median(floor) / bench::median(chown));
    std::printf("  second run, all already right: pass / chown -R = %.2f\n", bench::median(againOverChown));
    std::printf("  peak resident memory of the pass: %ld KiB\n", rss);
  }
  return 0;
}
