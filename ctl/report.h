#pragma once

// How check's findings are written: lines for a person, or JSON Lines.

#include <string>

#include "ctl/check.h"

/// A JSON string literal for `text`; bytes of a name that are not UTF-8
/// become U+FFFD, so every line stays valid JSON whatever a user named a file,
/// and control characters (C1 ones too) are \u escapes, never raw bytes.
std::string jsonText(const std::string& text);

/// One difference, as a line (control characters escaped) or a JSON object.
void printDifference(const Difference& difference, const CheckAccount& who, bool json);

/// One template item that a repair does not mend, as a line or a JSON object.
void printUnmended(const Unmended& item, const CheckAccount& who, bool json);

/// The account's summary line or object.
void printSummary(const CheckSummary& summary, const CheckAccount& who, bool json);
