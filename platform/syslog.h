#pragma once

#include <string_view>

/// Writes one line to the system log (ident "hollin", user facility, notice
/// level), and to standard error as well when that is a terminal or when the
/// log's socket cannot be reached. Control characters and bytes that are not
/// UTF-8 go out escaped (printable, EscapeFor::Log) wherever the line goes.
void logLine(std::string_view line);

/// printf-style form of logLine.
void logFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
