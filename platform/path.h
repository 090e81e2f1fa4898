#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// Appends one component to `base` with exactly one separator between them and
/// no trailing separator; an empty base gives the component as an absolute path.
std::string joinPath(std::string_view base, std::string_view component);

/// The text after the last separator (the whole text when there is none).
std::string_view lastComponent(std::string_view path);

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
