// A full creation against `cp -a` of the same two template folders into an
// empty folder followed by `chown -R`: from a generated template of ITEMS
// items (four fifths in Non_localized, a fifth in English.lproj), or with
// "sample" from the template already in place (the shipped sample).
// Runs inside the sandbox; every run gets a fresh home, old ones stay.

#include <cstdlib>
#include <cstring>

#include "bench/tree.h"

int main(int argc, char* argv[]) {
  bench::needArguments(argc, argv, 3, "HOLLIN RUNS ITEMS|sample");
  const std::string hollin = argv[1];
  const int runs = std::atoi(argv[2]);
  const bool sample = std::strcmp(argv[3], "sample") == 0;
  const size_t items = sample ? 0 : std::strtoul(argv[3], nullptr, 10);
  const std::string templateRoot =
      sample ? std::string("/Library/User Template") : bench::makeTemplate(items * 4 / 5, items / 5, 7);
  const std::string tag = sample ? "sample" : std::to_string(items);
  mkdir("/Users/copies", 0755);

  // The sample row also times the program runs a creation makes, by
  // themselves from a bare loop, against the same baseline: the part of the
  // ratio that the tool's own work cannot take away. (Always third in its
  // round; a reference, not a contender.) `find` finds the stand-in touch
  // first on the PATH, as it does when hollin runs it.
  const std::string helpers = hollin.substr(0, hollin.rfind('/'));
  setenv("PATH", (helpers + ":/usr/bin:/bin:/usr/sbin:/sbin").c_str(), 1);
  if (sample) mkdir("/Users/runs", 0755);

  bench::Paired pairs, runsAlone;
  for (int r = 0; r < runs; ++r) {
    const std::string home = "/Users/home" + tag + "-" + std::to_string(r);
    const std::string copied = "/Users/copies/home" + tag + "-" + std::to_string(r);
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
    const double empty = bench::emptyRun();
    pairs.add(c.seconds, baseline, empty);
    if (!sample) continue;
    sync();
    const std::string alone = "/Users/runs/home-" + std::to_string(r);
    const auto start = std::chrono::steady_clock::now();
    mkdir(alone.c_str(), 0750);
    bench::runProgram({"/usr/bin/mirra", "-rsrcFork", templateRoot + "/Non_localized", alone});
    bench::runProgram({"/usr/bin/mirra", "-rsrcFork", templateRoot + "/English.lproj", alone});
    bench::runProgram({"/usr/bin/find", alone, "-exec", "touch", "{}", "+"});
    for (const char* folder : {"/Public", "/Sites"}) bench::runProgram({"/bin/chmod", "u=rwx,go=rx", alone + folder});
    bench::runProgram({"/bin/chmod", "u=rwx,go=wx", alone + "/Public/Drop Box"});
    for (const char* folder : {"/Sites", "/Public/Drop Box"}) {
      bench::runProgram({"/usr/bin/chgrp", "alice", alone + folder});
    }
    runsAlone.add(bench::seconds(start), baseline, empty);
  }
  const std::string what = sample ? std::string("full creation, the shipped sample template")
                                  : "full creation, template of " + std::to_string(items * 4 / 5) + " + " +
                                        std::to_string(items / 5) + " items";
  pairs.print(what.c_str(), "cp -a + chown -R", sample ? "<= 1.8" : "<= 1.0");
  if (sample) runsAlone.print("  its program runs alone (the floor)", "cp -a + chown -R", "none: a reference");
  return 0;
}
