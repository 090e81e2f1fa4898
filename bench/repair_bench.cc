// A repair of a large home against a small template, against `chown -R` of
// the same home: once when every item needs a new owner, once when all are
// owned right already. The template is the first items of the same generated
// tree, so its items have counterparts in the home.

#include "bench/tree.h"

int main(int argc, char* argv[]) {
  bench::needArguments(argc, argv, 4, "HOLLIN RUNS HOME_ITEMS TEMPLATE_ITEMS");
  const std::string hollin = argv[1];
  const int runs = std::atoi(argv[2]);
  const size_t homeItems = std::strtoul(argv[3], nullptr, 10);
  const size_t templateItems = std::strtoul(argv[4], nullptr, 10);
  bench::makeTemplate(templateItems, 0, 11);
  const std::string home = "/Users/alice";
  mkdir(home.c_str(), 0755);
  bench::makeTree(home, homeItems, 11);

  bench::Paired change, right;
  for (int r = 0; r < runs; ++r) {
    // Each pair gives the home to another owner than the pair before, so
    // both really change every item; then each runs again on a home that is
    // all right already. Which goes first alternates, so that neither always
    // finds the other's changes still being written back.
    const char* owner = r % 2 ? "bob" : "alice";
    const std::string operand = std::string(owner) + ":20";
    sync();
    bench::RunResult p, c, p2, c2;
    if (r % 2 == 0) p = bench::runProgram({hollin, "-repairPermissions", home, "x", owner}, true);
    c = bench::runProgram({"/usr/bin/chown", "-R", operand, home});
    if (r % 2 == 1) p = bench::runProgram({hollin, "-repairPermissions", home, "x", owner}, true);
    change.add(p.seconds, c.seconds, bench::emptyRun());
    p2 = bench::runProgram({hollin, "-repairPermissions", home, "x", owner}, true);
    c2 = bench::runProgram({"/usr/bin/chown", "-R", operand, home});
    right.add(p2.seconds, c2.seconds, bench::emptyRun());
  }
  const std::string n = std::to_string(homeItems);
  change.print(("repair, " + n + " items that all need a new owner").c_str(), "chown -R", "<= 1.0");
  right.print(("repair, " + n + " items already owned right").c_str(), "chown -R", "<= 0.6");
  return 0;
}
