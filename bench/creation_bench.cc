// A full creation from a template of about 5,000 items against `cp -a` of the
// same two template folders into an empty folder followed by `chown -R`.
// Runs inside the sandbox; every run gets a fresh home, old ones stay.

#include "bench/tree.h"

int main(int argc, char* argv[]) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s HOLLIN RUNS ITEMS\n", argv[0]);
    return 2;
  }
  const std::string hollin = argv[1];
  const int runs = std::atoi(argv[2]);
  const size_t items = std::strtoul(argv[3], nullptr, 10);
  const std::string templateRoot = bench::makeTemplate(items * 4 / 5, items / 5, 7);
  mkdir("/Users/copies", 0755);

  std::vector<double> creation, copy, ratio;
  for (int r = 0; r < runs; ++r) {
    const std::string home = "/Users/home" + std::to_string(r);
    const std::string copied = "/Users/copies/home" + std::to_string(r);
    // Which goes first alternates, so that neither always finds the other's
    // files still being written back.
    sync();
    bench::RunResult c;
    double baseline = 0;
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn + r) % 2 == 0) {
        c = bench::runProgram({hollin, "x", home, "501", "20", "1", "x", "English", "alice"});
        if (c.status != 0) std::fprintf(stderr, "creation %d ended with status %d\n", r, c.status);
        continue;
      }
      const auto start = std::chrono::steady_clock::now();
      mkdir(copied.c_str(), 0750);
      bench::runProgram({"/usr/bin/cp", "-a", templateRoot + "/Non_localized/.", copied});
      bench::runProgram({"/usr/bin/cp", "-a", templateRoot + "/English.lproj/.", copied});
      bench::runProgram({"/usr/bin/chown", "-R", "501:20", copied});
      baseline = bench::seconds(start);
    }
    creation.push_back(c.seconds), copy.push_back(baseline), ratio.push_back(c.seconds / baseline);
  }
  std::printf("template %zu items: creation %.3fs  cp -a + chown -R %.3fs  (medians of %d)\n", items,
              bench::median(creation), bench::median(copy), runs);
  std::printf("  creation / (cp -a + chown -R) = %.2f\n", bench::median(ratio));
  return 0;
}
