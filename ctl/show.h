#pragma once

#include <cstdio>
#include <string>

/// Lists the item at `path` (resolved as root resolves an administrator's
/// path: only links that root alone could have placed are followed, and a
/// final link is shown as itself), then, for a folder, its entries; with
/// `recursive`, the whole tree below it. Returns 0, 1 when some item below
/// could not be read (said on standard error), 2 when `path` cannot be reached.
int showListing(const std::string& path, bool recursive, std::FILE* out);
