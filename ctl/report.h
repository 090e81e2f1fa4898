#pragma once

// How check's findings are written: lines for a person, or JSON Lines.

#include <string>

#include "ctl/check.h"

/// A JSON string literal for `text`; bytes of a name that are not UTF-8
/// become U+FFFD, so every line stays valid JSON whatever a user named a file,
/// and control characters (C1 ones too) are \u escapes, never raw bytes.
std::string jsonText(const std::string& text);

/// One difference, as its lines (control characters escaped) or a JSON
/// object, each ending in a newline.
std::string differenceText(const Difference& difference, const CheckAccount& who, bool json);

/// Writes whole lines to standard output from any thread: each thread gathers
/// its own and writes them a block at a time, so walkers do not queue for the
/// output at every line; a thread's last block is written when it ends.
void writeLines(const std::string& text);
/// Writes this thread's gathered lines now.
void writePendingLines();

/// One template item that a repair does not mend, as a line or a JSON object.
void printUnmended(const Unmended& item, const CheckAccount& who, bool json);

/// The account's summary line or object.
void printSummary(const CheckSummary& summary, const CheckAccount& who, bool json);
