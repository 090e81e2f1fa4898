#pragma once

// Home-like trees for the benchmarks: fan-out 10 to 30, depth up to 8, about
// 15% folders, small files and a few links, made breadth-first so that every
// level fills before the next.

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace bench {

struct Random {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(state >> 33);
  }
  uint32_t between(uint32_t low, uint32_t high) { return low + next() % (high - low + 1); }
};

/// Creates `items` items named PREFIXn below the existing folder `root`;
/// returns how many folders there are among them.
inline size_t makeTree(const std::string& root, size_t items, uint64_t seed = 42, const std::string& prefix = "item") {
  Random random{seed};
  std::deque<std::pair<std::string, unsigned>> folders{{root, 0}};
  size_t made = 0, folderCount = 0;
  const std::string content(180, 'x');
  while (made < items && !folders.empty()) {
    auto [folder, depth] = folders.front();
    folders.pop_front();
    const uint32_t fanOut = random.between(10, 30);
    for (uint32_t i = 0; i < fanOut && made < items; ++i, ++made) {
      const uint32_t dice = random.next() % 1000;
      const std::string path = folder + "/" + prefix + std::to_string(i);
      if (dice < 150 && depth < 8) {
        mkdir(path.c_str(), 0755);
        folders.emplace_back(path, depth + 1);
        ++folderCount;
      } else if (dice < 158) {
        symlink("../elsewhere", path.c_str());
      } else {
        const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        if (write(fd, content.data(), random.between(0, 180)) < 0) perror(path.c_str());
        close(fd);
      }
    }
    if (folders.empty() && made < items) {  // keep going when every branch ended
      const std::string extra = root + "/more" + std::to_string(made);
      mkdir(extra.c_str(), 0755);
      folders.emplace_back(extra, 1);
      ++made, ++folderCount;
    }
  }
  return folderCount;
}

/// The user template's folders at their fixed place, with `items` generated
/// items in Non_localized and `localized` in English.lproj.
inline std::string makeTemplate(size_t items, size_t localized, uint64_t seed) {
  const std::string root = "/Library/User Template";
  mkdir(root.c_str(), 0755);
  mkdir((root + "/Non_localized").c_str(), 0755);
  mkdir((root + "/English.lproj").c_str(), 0755);
  makeTree(root + "/Non_localized", items, seed);
  makeTree(root + "/English.lproj", localized, seed + 1, "localized");
  return root;
}

/// Ends the benchmark with its usage line (status 2) unless it was given at
/// least `count` arguments.
inline void needArguments(int argc, char* argv[], int count, const char* usage) {
  if (argc > count) return;
  std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
  std::exit(2);
}

inline double seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// Runs a program, waits, and gives its wall time and peak resident memory.
/// `quiet` sends its standard output and error to /dev/null.
struct RunResult {
  double seconds = 0;
  long maxRssKiB = 0;
  int status = 0;
};

inline RunResult runProgram(const std::vector<std::string>& argv, bool quiet = false) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = quiet ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  return {seconds(start), usage.ru_maxrss, status};
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

/// Paired runs of a contender against its baseline. Each pair also times an
/// empty run (a program that does nothing), the cost of starting and waiting
/// for a program, which is taken off both sides before they are compared.
struct Paired {
  std::vector<double> run, base, empty, ratio;

  void add(double runSeconds, double baseSeconds, double emptySeconds) {
    run.push_back(runSeconds), base.push_back(baseSeconds), empty.push_back(emptySeconds);
    ratio.push_back((runSeconds - emptySeconds) / (baseSeconds - emptySeconds));
  }
  /// One line: the medians of each side, the median ratio and the goal.
  void print(const char* what, const char* baseline, const char* goal) const {
    std::printf("%-58s %8.4fs  %-22s %8.4fs  empty %.4fs  ratio %.2f  (goal %s, median of %zu paired runs)\n", what,
                median(run), baseline, median(base), median(empty), median(ratio), goal, ratio.size());
  }
};

/// The time of an empty run: starting a program that does nothing.
inline double emptyRun() { return runProgram({"/bin/true"}).seconds; }

/// Copies the tree at `from` (a folder) into the existing folder `to`, every
/// item given `uid` and `gid`; links are copied as links.
inline void copyTree(const std::string& from, const std::string& to, uid_t uid, gid_t gid) {
  DIR* dir = opendir(from.c_str());
  if (!dir) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string source = from + "/" + name, target = to + "/" + name;
    struct stat status {};
    if (lstat(source.c_str(), &status) != 0) continue;
    if (S_ISDIR(status.st_mode)) {
      mkdir(target.c_str(), status.st_mode & 07777);
      copyTree(source, target, uid, gid);
    } else if (S_ISLNK(status.st_mode)) {
      char link[4096];
      const ssize_t length = readlink(source.c_str(), link, sizeof link - 1);
      if (length < 0) continue;
      link[length] = 0;
      symlink(link, target.c_str());
    } else {
      const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
      const int out = open(target.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, status.st_mode & 07777);
      char buffer[65536];
      ssize_t got;
      while (in >= 0 && out >= 0 && (got = read(in, buffer, sizeof buffer)) > 0) {
        if (write(out, buffer, got) != got) break;
      }
      if (in >= 0) close(in);
      if (out >= 0) close(out);
    }
    lchown(target.c_str(), uid, gid);
  }
  closedir(dir);
  lchown(to.c_str(), uid, gid);
}

}  // namespace bench
