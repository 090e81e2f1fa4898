// A check of a large home against `chown -R` of the same home, and the peak
// memory of a check at a small and a large home, which should be the same:
// the check streams its walk and its report.
//
// The home is root's as generated, so the check finds every item's owner
// wrong and reports each (to /dev/null), and chown -R changes every one.
// The template is the first items of the same generated tree, so the check
// also has template matches to work out.

#include <cstdlib>

#include "bench/tree.h"

namespace {

constexpr const char* kHome = "/Users/alice";  // alice's home in the bench root's /etc/passwd

// Each contender gets a tree of its own, made fresh; old trees stay, since
// creating files right after deleting many is much slower here.
std::string freshTree(size_t items, const std::string& name) {
  const std::string path = "/Users/" + name;
  mkdir(path.c_str(), 0755);
  bench::makeTree(path, items, 11);
  return path;
}

// Runs the check on `tree`, moved to alice's home for the run and back after.
bench::RunResult checkTree(const std::string& hollinctl, const std::string& tree) {
  if (rename(tree.c_str(), kHome) != 0) {
    perror(tree.c_str());
    std::exit(1);
  }
  const bench::RunResult result = bench::runProgram({hollinctl, "check", "alice"}, true);
  rename(kHome, tree.c_str());
  // Every item differs, so 1 is its status; anything else is a failure.
  if (!WIFEXITED(result.status) || WEXITSTATUS(result.status) != 1) {
    std::fprintf(stderr, "check of %s ended with wait status %d\n", tree.c_str(), result.status);
    std::exit(1);
  }
  return result;
}

}  // namespace

int main(int argc, char* argv[]) {
  bench::needArguments(argc, argv, 4, "HOLLINCTL RUNS ITEMS MEMORY_ITEMS...");
  const std::string hollinctl = argv[1];
  const int runs = std::atoi(argv[2]);
  const size_t items = std::strtoul(argv[3], nullptr, 10);
  bench::makeTemplate(300, 0, 11);

  bench::Paired pairs;
  for (int r = 0; r < runs; ++r) {
    const std::string tag = std::to_string(items) + "-" + std::to_string(r);
    const std::string checkHome = freshTree(items, "check" + tag);
    const std::string chownHome = freshTree(items, "chown" + tag);
    // Which goes first alternates, so that neither always finds the other's
    // tree still being written back.
    sync();
    bench::RunResult k, c;
    if (r % 2 == 0) k = checkTree(hollinctl, checkHome);
    c = bench::runProgram({"/usr/bin/chown", "-R", "alice:20", chownHome});
    if (r % 2 == 1) k = checkTree(hollinctl, checkHome);
    pairs.add(k.seconds, c.seconds, bench::emptyRun());
  }
  pairs.print(("hollinctl check, " + std::to_string(items) + " items").c_str(), "chown -R", "<= 0.4");

  long smallest = 0, largest = 0;
  for (int a = 4; a < argc; ++a) {
    const size_t size = std::strtoul(argv[a], nullptr, 10);
    const long rss = checkTree(hollinctl, freshTree(size, "memory" + std::to_string(size))).maxRssKiB;
    smallest = a == 4 ? rss : std::min(smallest, rss);
    largest = std::max(largest, rss);
    std::printf("  peak resident memory of check at %zu items: %ld KiB\n", size, rss);
  }
  if (argc > 5) std::printf("  largest - smallest = %ld KiB (goal: flat, at most 8 MiB)\n", largest - smallest);
  return 0;
}
