// The system calls of one run over a generated tree, counted by `strace -c
// -f`: the system's chown -R, the chown helper, the permissions pass and the
// check. Run by bench/syscalls inside the sandbox.

#include <cstring>
#include <fstream>
#include <sstream>

#include "bench/tree.h"

namespace {

// The calls column of strace's "total" line; -1 when there is none.
long totalCalls(const std::string& table) {
  std::istringstream lines(table);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find(" total") == std::string::npos) continue;
    std::istringstream fields(line);
    std::string percent, seconds, perCall, calls;
    fields >> percent >> seconds >> perCall >> calls;
    return std::strtol(calls.c_str(), nullptr, 10);
  }
  return -1;
}

std::string freshTree(const std::string& name, size_t items) {
  const std::string path = "/Users/" + name;
  mkdir(path.c_str(), 0755);
  bench::makeTree(path, items, 3);
  return path;
}

std::string tables;

void count(const char* what, std::vector<std::string> argv) {
  const std::string out = "/tmp/strace-" + std::to_string(tables.size());
  argv.insert(argv.begin(), {"/usr/bin/strace", "-c", "-f", "-o", out});
  const bench::RunResult run = bench::runProgram(argv, true);
  std::ifstream file(out);
  std::stringstream text;
  text << file.rdbuf();
  std::printf("%-44s %8ld calls  (wait status %d)\n", what, totalCalls(text.str()), run.status);
  tables += std::string("== ") + what + "\n" + text.str() + "\n";
}

}  // namespace

int main(int argc, char* argv[]) {
  const size_t items = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
  const std::string n = std::to_string(items);
  std::printf("system calls for %zu items (strace -c -f)\n", items);
  const std::string system = freshTree("system", items), helper = freshTree("helper", items);
  const std::string pass = freshTree("pass", items), check = freshTree("check", items);
  sync();
  count("system chown -R, all to change", {"/usr/bin/chown", "-R", "501:20", system});
  count("system chown -R, all right already", {"/usr/bin/chown", "-R", "501:20", system});
  count("chown helper -R, all to change", {"/run/hollin/bin/chown", "-R", "501:20", helper});
  count("chown helper -R, all right already", {"/run/hollin/bin/chown", "-R", "501:20", helper});
  count("permission pass, all need a new owner", {"/run/hollin/bin/hollin", "x", pass, "501", "20", "3"});
  count("permission pass, all right already", {"/run/hollin/bin/hollin", "x", pass, "501", "20", "3"});
  // The check reads alice's home: the tree is moved there for it.
  rename(check.c_str(), "/Users/alice");
  count("hollinctl check (every owner wrong)", {"/run/hollin/bin/hollinctl", "check", "alice"});
  std::printf("\n%s", tables.c_str());
  return 0;
}
