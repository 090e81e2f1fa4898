#pragma once

// Text as the command line and the tool's own rules handle it.

#include <cstdint>
#include <string>
#include <string_view>

/// Converts decimal id text the way the command line carries it: leading white
/// space skipped, an optional sign, digits up to the first non-digit; text that
/// does not begin with a number gives 0. Saturates instead of overflowing.
int64_t decimalIdValue(std::string_view text);

/// `atoi` semantics on 32 bits (used for the mode number).
int32_t decimalInt(std::string_view text);

/// True when `text` is valid UTF-8.
bool isValidUtf8(std::string_view text);

/// `text` with every occurrence of `from` replaced by `to` (literal, with case).
std::string replaceAll(std::string text, std::string_view from, std::string_view to);
