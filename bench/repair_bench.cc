// A repair of a large home against a small template, against `chown -R` of
// the same home. The template is the first items of the same generated tree,
// so its items have counterparts in the home.

#include "bench/tree.h"

int main(int argc, char* argv[]) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s HOLLIN RUNS HOME_ITEMS TEMPLATE_ITEMS\n", argv[0]);
    return 2;
  }
  const std::string hollin = argv[1];
  const int runs = std::atoi(argv[2]);
  const size_t homeItems = std::strtoul(argv[3], nullptr, 10);
  const size_t templateItems = std::strtoul(argv[4], nullptr, 10);
  bench::makeTemplate(templateItems, 0, 11);
  const std::string home = "/Users/alice";
  mkdir(home.c_str(), 0755);
  bench::makeTree(home, homeItems, 11);

  std::vector<double> repair, chown, ratio;
  for (int r = 0; r < runs; ++r) {
    // Each gives the home to another owner than the one before, so both
    // really change every item.
    // Which goes first alternates, so that neither always finds the other's
    // changes still being written back.
    sync();
    bench::RunResult p, c;
    if (r % 2 == 0) p = bench::runProgram({hollin, "-repairPermissions", home, "x", "alice"});
    c = bench::runProgram({"/usr/bin/chown", "-R", r % 2 ? "alice:20" : "bob:20", home});
    if (r % 2 == 1) p = bench::runProgram({hollin, "-repairPermissions", home, "x", "bob"});
    repair.push_back(p.seconds), chown.push_back(c.seconds), ratio.push_back(p.seconds / c.seconds);
  }
  std::printf("home %zu items, template %zu items: repair %.3fs  chown -R %.3fs  (medians of %d)\n", homeItems,
              templateItems, bench::median(repair), bench::median(chown), runs);
  std::printf("  repair / chown -R = %.2f\n", bench::median(ratio));
  return 0;
}
