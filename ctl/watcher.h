#pragma once

// Running the tool itself and watching it, and the progress line a person at
// a terminal sees during long work.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
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
  uint64_t failureLines = 0;  // those of them that report a failure (reportsFailure)
  uint64_t helperLines = 0;   // lines its helpers wrote on standard error
  std::vector<std::string> firstLines;  // the first few failure lines, escaped as the log escapes them
  double seconds = 0;

  /// Every failure the run reported, whatever its exit status says.
  uint64_t problems() const { return failureLines + helperLines; }
};

/// Runs the tool beside this program with `arguments` (argv[1] onwards),
/// copying its log lines and progress through pipes while it runs. Its
/// standard error, which its helpers inherit, comes through a pipe too and is
/// passed on escaped; a line there that is not the tool's own copy of a log
/// line is a helper's complaint. At a terminal the log lines are shown as they
/// come.
ToolRun runHollin(const std::vector<std::string>& arguments, ProgressLine& progress);

/// False for the log lines that tell of an item the tool leaves as it is on
/// purpose (the repair walk's lines about one match, and the "Skipping" lines
/// of files with other names or on another device); true for every other
/// line, each of which reports something that failed.
bool reportsFailure(std::string_view line);

/// The number of items in the folder at `path` and below it (the folder
/// itself included); 0 when there is none. Reads names only.
uint64_t countItems(const std::string& path);
