// `hollinctl check --all` over N accounts, each with a home that is a copy of
// the template in place (the shipped sample), owned right: the time an
// account should stay the same from a hundred accounts to ten thousand.
// Every count gets accounts and homes of its own; the run's passwd lists
// them after the bench root's own accounts.

#include <cstring>

#include "bench/tree.h"

namespace {

// Writes /etc/passwd with the base accounts and `count` more, and makes the
// homes that do not exist yet from the template.
void makeAccounts(const std::string& base, size_t count) {
  std::string text = base;
  for (size_t i = 0; i < count; ++i) {
    const std::string name = "acct" + std::to_string(i), home = "/Users/" + name;
    const uid_t uid = 10000 + static_cast<uid_t>(i);
    text += name + ":x:" + std::to_string(uid) + ":20:" + name + ":" + home + ":/bin/sh\n";
    if (mkdir(home.c_str(), 0755) == 0) {
      bench::copyTree("/Library/User Template/Non_localized", home, uid, 20);
      bench::copyTree("/Library/User Template/English.lproj", home, uid, 20);
    }
  }
  const int fd = open("/etc/passwd", O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) perror("/etc/passwd");
  close(fd);
}

std::string readAll(const char* path) {
  std::string text;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  char buffer[4096];
  ssize_t got;
  while (fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, got);
  if (fd >= 0) close(fd);
  return text;
}

}  // namespace

int main(int argc, char* argv[]) {
  bench::needArguments(argc, argv, 3, "HOLLINCTL RUNS ACCOUNTS...");
  const std::string hollinctl = argv[1];
  const int runs = std::atoi(argv[2]);
  const std::string base = readAll("/etc/passwd");
  std::vector<double> perAccount;
  for (int a = 3; a < argc; ++a) {
    const size_t count = std::strtoul(argv[a], nullptr, 10);
    makeAccounts(base, count);
    sync();
    std::vector<double> each, empty;
    for (int r = 0; r < runs; ++r) {
      const bench::RunResult k = bench::runProgram({hollinctl, "check", "--all"}, true);
      if (!WIFEXITED(k.status) || WEXITSTATUS(k.status) > 1) {
        std::fprintf(stderr, "check --all ended with wait status %d\n", k.status);
      }
      const double e = bench::emptyRun();
      each.push_back((k.seconds - e) / static_cast<double>(count)), empty.push_back(e);
    }
    perAccount.push_back(bench::median(each));
    std::printf("hollinctl check --all, %6zu sample homes: %7.3f ms an account  (goal <= 2 ms, flat; "
                "empty %.4fs taken off; median of %d runs)\n",
                count, bench::median(each) * 1000, bench::median(empty), runs);
  }
  if (perAccount.size() > 1) {
    std::printf("  largest / smallest time an account = %.2f (flat: near 1)\n",
                *std::max_element(perAccount.begin(), perAccount.end()) /
                    *std::min_element(perAccount.begin(), perAccount.end()));
  }
  return 0;
}
