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

/// Length of the valid UTF-8 sequence that starts at `at` (1 to 4), or 0 for
/// a byte that starts none: a stray continuation byte, a sequence cut short,
/// an overlong form, a surrogate or a point past U+10FFFF.
size_t utf8Length(std::string_view text, size_t at);

/// Where escaped text goes. A listing doubles a backslash so that an escape
/// cannot be read as a name's own text; a log line keeps it, so the tool's
/// wording stays exact and only what a terminal would act on changes.
enum class EscapeFor { Listing, Log };

/// `text` safe to write to a terminal or a log whatever a user named a file:
/// every byte of a C0 control (tab and line feed included), DEL, a C1 control
/// (U+0080..U+009F) or anything that is not valid UTF-8 becomes \ooo (octal);
/// printable UTF-8 passes as it is.
std::string printable(std::string_view text, EscapeFor where = EscapeFor::Listing);

/// `text` with every occurrence of `from` replaced by `to` (literal, with case).
std::string replaceAll(std::string text, std::string_view from, std::string_view to);
