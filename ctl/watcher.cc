#include "ctl/watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "platform/admin/home.h"
#include "platform/below/walk.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "platform/spawn.h"
#include "platform/text.h"
#include "platform/watch.h"

namespace {

constexpr size_t kFirstLines = 5;
// Log lines kept while the tool may still copy them to its standard error.
constexpr size_t kCopiesAwaited = 8192;

std::string toolBesideUs() {
  const std::string own = ownFolder();
  return own.empty() ? "hollin" : joinPath(own, "hollin");
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

namespace {

// A pipe whose writing end is moved clear of the numbers the tool will see
// the ends under, so that placing one cannot overwrite another.
struct Channel {
  UniqueFd read, write;
};

bool openChannel(Channel* channel) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  channel->read.reset(ends[0]);
  channel->write.reset(fcntl(ends[1], F_DUPFD_CLOEXEC, 10));
  close(ends[1]);
  return channel->write.valid();
}

// Starts the tool with the writing ends under fixed numbers, the log's and the
// progress's named in its environment; its helpers inherit all three.
pid_t startTool(const std::string& tool, const std::vector<std::string>& arguments, const Channel& log,
                const Channel& progress, const Channel& errors) {
  constexpr int kLogFd = 3;
  constexpr int kProgressFd = 4;
  std::vector<std::string> environment = environmentWithout("HOLLIN_");
  environment.push_back(environmentEntry(kLogFdVariable, kLogFd));
  environment.push_back(environmentEntry(kProgressFdVariable, kProgressFd));
  std::vector<std::string> argv{tool};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const std::vector<FdMapping> ends = {
      {log.write.get(), kLogFd}, {progress.write.get(), kProgressFd}, {errors.write.get(), STDERR_FILENO}};
  return spawnTool(tool, argv, environment, ends);
}

// The lines of one run as they come back. The tool copies a log line to its
// standard error as well when the log cannot take it (or that is a terminal,
// which here it never is), always after handing the line itself to the log
// pipe: a line on standard error that is the oldest log line not yet seen
// there is that copy, and anything else came from a helper.
struct Watch {
  ToolRun& run;
  ProgressLine& progress;
  std::deque<std::string> uncopied;
  std::string logPartial, errorPartial, progressPartial;

  // Escaped again: whatever wrote to a pipe, what reaches the administrator's
  // terminal cannot steer it. The tool's and the helpers' own lines, escaped
  // already, come through as they are.
  void say(const std::string& line) {
    endProgress(progress);
    std::fprintf(stderr, "%s\n", printable(line, EscapeFor::Log).c_str());
  }

  void logLine(const std::string& line) {
    ++run.logLines;
    if (reportsFailure(line)) {
      ++run.failureLines;
      if (run.firstLines.size() < kFirstLines) run.firstLines.push_back(printable(line, EscapeFor::Log));
    }
    if (progress.shown) say(line);  // a person watching sees each line as it comes, as the tool's own echo had it
    uncopied.push_back(line);
    // A tool whose log takes its lines copies none: the oldest are dropped.
    if (uncopied.size() > kCopiesAwaited) uncopied.pop_front();
  }

  void errorLine(const std::string& line) {
    if (!uncopied.empty() && uncopied.front() == line) {
      uncopied.pop_front();
      if (!progress.shown) say(line);  // shown already at a terminal
      return;
    }
    ++run.helperLines;
    say(line);
  }
};

// Reads what one pipe has now; false at its end (or on an error).
bool readSome(int fd, std::string* chunk) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      chunk->assign(buffer, static_cast<size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    chunk->clear();
    return n < 0 && errno == EAGAIN;
  }
}

// Follows the three pipes until the tool and its helpers have closed them.
void watchTool(Watch& watch, int logFd, int errorFd, int progressFd) {
  enum { kLog, kError, kProgress };
  pollfd watched[3] = {{logFd, POLLIN, 0}, {errorFd, POLLIN, 0}, {progressFd, POLLIN, 0}};
  int open = 3;
  const auto ready = [&](int i) { return watched[i].fd >= 0 && (watched[i].revents & (POLLIN | POLLHUP | POLLERR)); };
  const auto take = [&](int i, std::string* chunk) {
    if (readSome(watched[i].fd, chunk)) return;
    watched[i].fd = -1;  // poll skips negative descriptors
    --open;
  };
  while (open > 0) {
    if (poll(watched, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // Standard error first, then the whole log pipe: a copy of a log line read
    // now was written after the line, which the log pipe then holds.
    std::string errors, chunk;
    if (ready(kError)) take(kError, &errors);
    while (watched[kLog].fd >= 0) {
      take(kLog, &chunk);
      if (chunk.empty()) break;
      takeLines(watch.logPartial, chunk.data(), chunk.size(), [&](const std::string& line) { watch.logLine(line); });
    }
    takeLines(watch.errorPartial, errors.data(), errors.size(),
              [&](const std::string& line) { watch.errorLine(line); });
    if (ready(kProgress)) {
      take(kProgress, &chunk);
      takeLines(watch.progressPartial, chunk.data(), chunk.size(), [&](const std::string& line) {
        drawProgress(watch.progress, std::strtoull(line.c_str(), nullptr, 10));
      });
    }
  }
  if (!watch.logPartial.empty()) watch.logLine(watch.logPartial);
  if (!watch.errorPartial.empty()) watch.errorLine(watch.errorPartial);
}

}  // namespace

bool reportsFailure(std::string_view line) {
  // Each form begins with the tool's own wording, so no name in a home can
  // make a failure pass for one of these.
  return !(line.starts_with("Skipping ") || line.starts_with("file does not exist at path: ") ||
           line == "source and destination are not both directories or not both files" ||
           (line.starts_with("lstat(") && line.ends_with(") failed (-1).")));
}

ToolRun runHollin(const std::vector<std::string>& arguments, ProgressLine& progress) {
  ToolRun run;
  const auto start = std::chrono::steady_clock::now();
  Channel log, progressChannel, errors;
  if (!openChannel(&log) || !openChannel(&progressChannel) || !openChannel(&errors)) return run;
  fcntl(log.read.get(), F_SETFL, O_NONBLOCK);  // drained whole, never waited on there
  const std::string tool = toolBesideUs();
  const pid_t pid = startTool(tool, arguments, log, progressChannel, errors);
  log.write.reset();
  progressChannel.write.reset();
  errors.write.reset();
  if (pid < 0) {
    std::fprintf(stderr, "hollinctl: cannot run %s: %s\n", printable(tool).c_str(), std::strerror(-pid));
    run.status = 127;
    return run;
  }
  Watch watch{run, progress, {}, {}, {}, {}};
  watchTool(watch, log.read.get(), errors.read.get(), progressChannel.read.get());
  run.status = waitStatus(pid);
  endProgress(progress);
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
