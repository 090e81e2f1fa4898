// The chown helper on its own against the system's `chown -R`, every item
// to change: each gets a fresh generated tree (root's) to give to alice.

#include "bench/tree.h"

int main(int argc, char* argv[]) {
  bench::needArguments(argc, argv, 3, "HELPER RUNS ITEMS");
  const std::string helper = argv[1];
  const int runs = std::atoi(argv[2]);
  const size_t items = std::strtoul(argv[3], nullptr, 10);
  bench::Paired all, again;
  for (int r = 0; r < runs; ++r) {
    const std::string mine = "/Users/helper" + std::to_string(r), theirs = "/Users/system" + std::to_string(r);
    mkdir(mine.c_str(), 0755), mkdir(theirs.c_str(), 0755);
    bench::makeTree(mine, items, 5), bench::makeTree(theirs, items, 5);
    sync();
    bench::RunResult h, c;
    // Which goes first alternates, as everywhere here.
    if (r % 2 == 0) h = bench::runProgram({helper, "-R", "501:20", mine});
    c = bench::runProgram({"/usr/bin/chown", "-R", "501:20", theirs});
    if (r % 2 == 1) h = bench::runProgram({helper, "-R", "501:20", mine});
    if (h.status != 0) std::fprintf(stderr, "the helper ended with status %d\n", h.status);
    all.add(h.seconds, c.seconds, bench::emptyRun());
    const bench::RunResult h2 = bench::runProgram({helper, "-R", "501:20", mine});
    const bench::RunResult c2 = bench::runProgram({"/usr/bin/chown", "-R", "501:20", theirs});
    again.add(h2.seconds, c2.seconds, bench::emptyRun());
  }
  const std::string n = std::to_string(items);
  all.print(("chown helper -R, " + n + " items, every item to change").c_str(), "system chown -R", "<= 1.0");
  again.print(("chown helper -R, " + n + " items, all owned right").c_str(), "system chown -R", "(none)");
  return 0;
}
