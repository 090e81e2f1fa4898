#pragma once

// Home-like trees for the benchmarks: fan-out 10 to 30, depth up to 8, about
// 15% folders, small files and a few links, made breadth-first so that every
// level fills before the next.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
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

}  // namespace bench
