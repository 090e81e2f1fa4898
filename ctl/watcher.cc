#include "ctl/watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/admin/home.h"
#include "platform/below/walk.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/watch.h"

extern char** environ;

namespace {

constexpr size_t kFirstLines = 5;

std::string toolBesideUs() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return "hollin";
  const std::string self(buffer, static_cast<size_t>(length));
  return self.substr(0, self.rfind('/') + 1) + "hollin";
}

// Splits what a pipe gave into lines; `partial` keeps an unfinished one.
template <typename Each>
void takeLines(std::string& partial, const char* data, size_t size, Each each) {
  partial.append(data, size);
  size_t start = 0;
  for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
    each(partial.substr(start, end - start));
  }
  partial.erase(0, start);
}

std::string environmentEntry(const char* name, int fd) { return std::string(name) + "=" + std::to_string(fd); }

}  // namespace

ProgressLine startProgress() {
  ProgressLine line;
  line.shown = isatty(STDERR_FILENO) == 1;
  return line;
}

void drawProgress(ProgressLine& line, uint64_t items) {
  if (!line.shown) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - line.drawn < std::chrono::milliseconds(200)) return;
  line.drawn = now;
  const double seconds = std::chrono::duration<double>(now - line.start).count();
  std::fprintf(stderr, "\r\033[K  %llu items, %.0f items/s", static_cast<unsigned long long>(items),
               seconds > 0 ? static_cast<double>(items) / seconds : 0.0);
  std::fflush(stderr);
}

void endProgress(ProgressLine& line) {
  if (line.shown && line.drawn.time_since_epoch().count() != 0) std::fputs("\r\033[K", stderr);
  line.drawn = {};
}

ToolRun runHollin(const std::vector<std::string>& arguments, ProgressLine& progress) {
  ToolRun run;
  const auto start = std::chrono::steady_clock::now();
  int logPipe[2];
  int progressPipe[2];
  if (pipe2(logPipe, O_CLOEXEC) != 0) return run;
  if (pipe2(progressPipe, O_CLOEXEC) != 0) {
    close(logPipe[0]);
    close(logPipe[1]);
    return run;
  }
  UniqueFd logRead(logPipe[0]), progressRead(progressPipe[0]);
  // Moved clear of the numbers the tool will see them under, so that placing
  // one cannot overwrite the other.
  UniqueFd logWrite(fcntl(logPipe[1], F_DUPFD_CLOEXEC, 10)), progressWrite(fcntl(progressPipe[1], F_DUPFD_CLOEXEC, 10));
  close(logPipe[1]);
  close(progressPipe[1]);
  if (!logWrite.valid() || !progressWrite.valid()) return run;

  // The writing ends reach the tool (and the helpers it runs) under fixed
  // numbers, named in its environment.
  constexpr int kLogFd = 3;
  constexpr int kProgressFd = 4;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, logWrite.get(), kLogFd);
  posix_spawn_file_actions_adddup2(&actions, progressWrite.get(), kProgressFd);
  std::vector<std::string> environment;
  for (char** e = environ; e && *e; ++e) {
    if (std::strncmp(*e, "HOLLIN_", 7) != 0) environment.emplace_back(*e);
  }
  environment.push_back(environmentEntry(kLogFdVariable, kLogFd));
  environment.push_back(environmentEntry(kProgressFdVariable, kProgressFd));
  const std::string tool = toolBesideUs();
  std::vector<std::string> argvTexts{tool};
  argvTexts.insert(argvTexts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv, envp;
  for (std::string& text : argvTexts) argv.push_back(text.data());
  argv.push_back(nullptr);
  for (std::string& text : environment) envp.push_back(text.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  logWrite.reset();
  progressWrite.reset();
  if (error != 0) {
    std::fprintf(stderr, "hollinctl: cannot run %s: %s\n", printable(tool).c_str(), std::strerror(error));
    run.status = 127;
    return run;
  }

  std::string logPartial, progressPartial;
  pollfd watched[2] = {{logRead.get(), POLLIN, 0}, {progressRead.get(), POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (pollfd& p : watched) {
      if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = read(p.fd, buffer, sizeof buffer);
      if (n <= 0) {
        p.fd = -1;  // poll skips negative descriptors
        --open;
        continue;
      }
      if (p.fd == logRead.get()) {
        takeLines(logPartial, buffer, static_cast<size_t>(n), [&](const std::string& line) {
          // Escaped again: whatever wrote to the pipe, what reaches the
          // administrator's terminal cannot steer it. The tool's own lines
          // come through as they are.
          if (run.firstLines.size() < kFirstLines) run.firstLines.push_back(printable(line, EscapeFor::Log));
          ++run.logLines;
        });
      } else {
        takeLines(progressPartial, buffer, static_cast<size_t>(n), [&](const std::string& line) {
          drawProgress(progress, std::strtoull(line.c_str(), nullptr, 10));
        });
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  endProgress(progress);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

uint64_t countItems(const std::string& path) {
  const HeldHome home = holdHome(path);
  if (!home.folder.valid()) return home.examined ? 1 : 0;
  uint64_t items = 1;
  WalkVisitor visitor;
  visitor.examineNonFolders = false;
  visitor.crossDevices = true;
  visitor.enter = [&](const WalkItem&) {
    ++items;
    return WalkStep::Descend;
  };
  walkTree(home.folder.get(), joinPath(path, ""), visitor);
  return items;
}
