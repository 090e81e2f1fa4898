#include "ctl/metrics.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/admin/trusted.h"
#include "platform/fd.h"
#include "platform/text.h"

namespace {

// A gauge family: its samples, one per home, come together after its TYPE and
// HELP lines as the format requires.
struct Family {
  const char* name;
  const char* help;
  uint64_t (*value)(const CheckSummary&);
  bool repairOnly = false;
};

const Family kFamilies[] = {
    {"hollin_home_items", "Items in the home, the home itself included.",
     [](const CheckSummary& s) { return s.items; }},
    {"hollin_home_differences", "Attributes that differ from what the change checked against would leave.",
     [](const CheckSummary& s) { return s.differences; }},
    {"hollin_home_differing_items", "Items with at least one difference.",
     [](const CheckSummary& s) { return s.differingItems; }},
    {"hollin_home_left_alone_files", "Files with other names outside the home that no change touches.",
     [](const CheckSummary& s) { return s.leftAlone; }},
    {"hollin_home_missing_items", "Template items the home lacks, which a repair does not restore.",
     [](const CheckSummary& s) { return s.missing; }, true},
    {"hollin_home_linked_items", "Template items the home has as symbolic links, which a repair leaves as they are.",
     [](const CheckSummary& s) { return s.links; }, true},
};

std::string labels(const HomeMetrics& home) {
  return "{user=\"" + metricsLabel(home.user) + "\",home=\"" + metricsLabel(home.home) + "\"}";
}

std::string header(const char* name, const char* help) {
  return std::string("# TYPE ") + name + " gauge\n# HELP " + name + " " + help + "\n";
}

std::string reason(const std::string& path, int error) { return path + ": " + std::strerror(error); }


// A new file beside the target, named so that the collector, which reads
// only names ending in .prom, never takes it for metrics. Returns the
// descriptor, or -errno.
int createTemporary(const MetricsTarget& target, std::string* name) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    uint64_t random = 0;
    const ssize_t got = getrandom(&random, sizeof random, 0);
    if (got != sizeof random) return got < 0 ? -errno : -EAGAIN;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016" PRIx64, random);
    *name = "." + target.name + suffix;
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    const int fd = openat(target.folder.get(), name->c_str(), flags, 0644);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -errno;
  }
  return -EEXIST;
}

}  // namespace

std::string metricsLabel(const std::string& text) {
  std::string out;
  for (const char c : printable(text)) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string openMetricsText(const std::vector<HomeMetrics>& homes, CheckAs as, double now) {
  std::string text;
  for (const Family& family : kFamilies) {
    if (family.repairOnly && as != CheckAs::Repair) continue;
    text += header(family.name, family.help);
    for (const HomeMetrics& home : homes) {
      if (!home.summary.reached) continue;
      text += family.name + labels(home) + " " + std::to_string(family.value(home.summary)) + "\n";
    }
  }
  text += header("hollin_home_complete", "1 when the whole home was checked, 0 when part or all of it could not be.");
  for (const HomeMetrics& home : homes) {
    const bool complete = home.summary.reached && home.summary.complete;
    text += "hollin_home_complete" + labels(home) + (complete ? " 1\n" : " 0\n");
  }
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "hollin_check_timestamp_seconds %.3f\n", now);
  text += header("hollin_check_timestamp_seconds", "When the check ended, in seconds since the epoch.") + stamp;
  return text + "# EOF\n";
}

std::optional<std::string> openMetricsTarget(const std::string& path, MetricsTarget* target) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  target->path = path;
  target->name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (target->name.empty() || target->name == "." || target->name == "..") return path + ": names no file";
  // The administrator names the file: a link on the way is followed only
  // where root placed it.
  const int opened = openTrusted(folder, O_RDONLY | O_DIRECTORY, FinalLink::Follow);
  target->folder.reset(opened < 0 ? -1 : opened);
  if (!target->folder.valid()) {
    target->folderMissing = -opened == ENOENT || -opened == ENOTDIR;
    return reason(folder, -opened);
  }
  return std::nullopt;
}

std::optional<std::string> replaceMetrics(const MetricsTarget& target, const std::string& text) {
  std::string temporary;
  const int created = createTemporary(target, &temporary);
  if (created < 0) return reason(target.path, -created);
  UniqueFd file(created);
  // Readable by the collector, which does not run as root, whatever the umask.
  const int failed = writeAll(file.get(), text);
  const bool written = !failed && fchmod(file.get(), 0644) == 0 && fsync(file.get()) == 0;
  int error = failed ? -failed : errno;
  file.reset();
  if (written && renameat(target.folder.get(), temporary.c_str(), target.folder.get(), target.name.c_str()) == 0) {
    fsync(target.folder.get());  // the new name lasts across a crash
    return std::nullopt;
  }
  if (written) error = errno;
  unlinkat(target.folder.get(), temporary.c_str(), 0);
  return reason(target.path, error);
}
