#pragma once

// A front end that runs the tool can watch it: the environment names a
// descriptor for a copy of each log line (HOLLIN_LOG_FD) and one for a running
// count of the items a long walk has handled (HOLLIN_PROGRESS_FD). Without
// them nothing is written.

#include <cstdint>
#include <string_view>

inline constexpr const char* kLogFdVariable = "HOLLIN_LOG_FD";
inline constexpr const char* kProgressFdVariable = "HOLLIN_PROGRESS_FD";

/// Copies one log line, newline-terminated, to the watcher; logLine hands it
/// over escaped, as the log has it.
void copyLogLine(std::string_view line);

/// Counts one more item handled; every few thousand, the count so far goes to
/// the watcher as a decimal line.
void countProgress();
