#pragma once

// Running the tool itself and watching it, and the progress line a person at
// a terminal sees during long work.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

/// A progress line on standard error, drawn only when that is a terminal.
struct ProgressLine {
  bool shown = false;  // standard error is a terminal
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point drawn{};
};

ProgressLine startProgress();
/// Redraws the line with `items` so far (at most a few times a second).
void drawProgress(ProgressLine& line, uint64_t items);
/// Erases the line.
void endProgress(ProgressLine& line);

struct ToolRun {
  int status = -1;          // the tool's exit status; 127 when it could not start
  uint64_t logLines = 0;    // lines it wrote to the system log
  std::vector<std::string> firstLines;  // the first few of them, escaped as the log escapes them
  double seconds = 0;
};

/// Runs the tool beside this program with `arguments` (argv[1] onwards),
/// copying its log lines and progress through pipes while it runs.
ToolRun runHollin(const std::vector<std::string>& arguments, ProgressLine& progress);

/// The number of items in the folder at `path` and below it (the folder
/// itself included); 0 when there is none. Reads names only.
uint64_t countItems(const std::string& path);
