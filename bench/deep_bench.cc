// Homes that are one long chain of folders, as a user can make in seconds:
// the permissions-only pass, the check, the repair and the deletion, each
// timed with its peak resident memory (helpers it runs included), at every
// depth asked for. Time and memory should grow with the depth, linearly.

#include <cstdlib>

#include "bench/tree.h"

namespace {

constexpr const char* kHome = "/Users/alice";  // alice (501:20) in the bench root's /etc/passwd

// A chain of `depth` folders named "d" below the home, a file at the bottom.
void makeChain(size_t depth) {
  mkdir(kHome, 0755);
  int fd = open(kHome, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t level = 0; level < depth && fd >= 0; ++level) {
    mkdirat(fd, "d", 0755);
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  if (fd < 0) {
    perror("chain");
    std::exit(1);
  }
  close(openat(fd, "file", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  close(fd);
}

// Runs one contender; `accepted` exit statuses (up to two) count as success.
bench::RunResult timed(const char* what, const std::vector<std::string>& argv, int accepted, int alsoAccepted) {
  const bench::RunResult result = bench::runProgram(argv, true);
  const int status = WIFEXITED(result.status) ? WEXITSTATUS(result.status) : -1;
  if (status != accepted && status != alsoAccepted) {
    std::fprintf(stderr, "%s ended with wait status %d\n", what, result.status);
    std::exit(1);
  }
  return result;
}

}  // namespace

int main(int argc, char* argv[]) {
  bench::needArguments(argc, argv, 3, "HOLLIN HOLLINCTL DEPTH...");
  const std::string hollin = argv[1];
  const std::string hollinctl = argv[2];
  bench::makeTemplate(0, 0, 11);
  for (int a = 3; a < argc; ++a) {
    const size_t depth = std::strtoul(argv[a], nullptr, 10);
    const auto made = std::chrono::steady_clock::now();
    makeChain(depth);
    const double making = bench::seconds(made);
    sync();
    const bench::RunResult apply = timed("apply", {hollin, "x", kHome, "501", "20", "3"}, 0, 0);
    // Differences (status 1) are fine: the chain is what is measured, not the home's state.
    const bench::RunResult check = timed("check", {hollinctl, "check", "alice"}, 0, 1);
    const bench::RunResult repair = timed("repair", {hollin, "-repairPermissions", kHome, "x", "alice"}, 0, 0);
    const bench::RunResult removal = timed("delete", {hollin, "x", kHome, "501", "20", "2"}, 0, 0);
    struct stat left {};
    if (lstat(kHome, &left) == 0) {
      std::fprintf(stderr, "the deletion left %s in place\n", kHome);
      return 1;
    }
    std::printf("depth %zu (made in %.2fs):\n", depth, making);
    for (const auto& [name, r] : {std::pair{"apply", apply}, {"check", check}, {"repair", repair}, {"delete", removal}}) {
      std::printf("  %-7s %7.3fs  peak %8ld KiB\n", name, r.seconds, r.maxRssKiB);
    }
    std::fflush(stdout);
  }
  return 0;
}
