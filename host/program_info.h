#pragma once

// --help and --version, answered alike by every helper and the listing tool.

#include <cstdio>
#include <cstring>

#ifndef HOLLIN_VERSION
#define HOLLIN_VERSION "unknown"
#endif

/// Answers `--help` (the usage, on standard output) or `--version` given as
/// the only argument. True when it did: the program then ends with status 0.
inline bool answerInfoOption(int argc, char** argv, const char* program, const char* usage) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--help") == 0) {
    std::fputs(usage, stdout);
    return true;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s (hollin) %s\n", program, HOLLIN_VERSION);
    return true;
  }
  return false;
}
