#pragma once

#include <string_view>

/// Writes one line to the system log (ident "hollin", user facility, notice
/// level), and to standard error as well when that is a terminal or when the
/// log's socket cannot be reached.
void logLine(std::string_view line);

/// printf-style form of logLine.
void logFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
