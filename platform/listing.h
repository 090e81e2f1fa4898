#pragma once

// What the listings (hollinctl show, hollin-ls) say of an item alike.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/flags.h"

/// The item's kind as `ls` writes it: d, l, p, s, c, b, '-' for a regular
/// file, '?' for anything else.
inline char typeLetter(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR: return 'd';
    case S_IFLNK: return 'l';
    case S_IFIFO: return 'p';
    case S_IFSOCK: return 's';
    case S_IFCHR: return 'c';
    case S_IFBLK: return 'b';
    case S_IFREG: return '-';
    default: return '?';
  }
}

/// The flags' names, or "?" when they could not be read.
inline std::string flagsText(std::optional<uint32_t> flags) { return flags ? flagNames(*flags) : "?"; }
