#pragma once

// check's findings for a monitoring system: per-home counts in the
// OpenMetrics text format, which a node exporter's textfile collector reads,
// written so that a reader never sees half a file.

#include <optional>
#include <string>
#include <vector>

#include "ctl/check.h"
#include "platform/fd.h"

/// One checked home; `summary.reached` false when it could not be checked.
struct HomeMetrics {
  std::string user;
  std::string home;
  CheckSummary summary;
};

/// The families and samples for `homes`, ending with "# EOF". The template
/// items a repair does not mend are left out of a check --as-apply, which
/// does not look for them. `now` is in seconds since the epoch.
std::string openMetricsText(const std::vector<HomeMetrics>& homes, CheckAs as, double now);

/// A label value: printable text (no control characters, valid UTF-8) with
/// backslash, double quote and line feed escaped as the format wants.
std::string metricsLabel(const std::string& text);

/// Where the metrics go: the folder, held from the start of the run, and the
/// file's name in it.
struct MetricsTarget {
  std::string path;
  UniqueFd folder;
  std::string name;
  bool folderMissing = false;  // nothing, or no folder, at the folder's path
};

/// Holds the folder of `path`; the reason when it cannot be.
std::optional<std::string> openMetricsTarget(const std::string& path, MetricsTarget* target);

/// Replaces the file with `text` at once: a temporary file beside it,
/// written, synced and renamed over it. On failure the temporary file is
/// removed and the old file is left as it was; the reason is returned.
std::optional<std::string> replaceMetrics(const MetricsTarget& target, const std::string& text);
