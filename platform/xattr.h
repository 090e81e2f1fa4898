#pragma once

// Extended attributes of an item held by a descriptor. The descriptor may be
// an O_PATH pin (the only safe way to hold a link, a fifo or a device without
// opening it); such a pin is reached through its /proc/self/fd entry, which
// names the pinned item itself and is never resolved again by name.

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// Value of attribute `name` of the item at `fd`. None when it cannot be read,
/// with -errno in `error` (-ENODATA when it is absent).
std::optional<std::string> getAttribute(int fd, const char* name, int* error);

/// Sets attribute `name` of the item at `fd`. Returns 0 or -errno.
int setAttribute(int fd, const char* name, std::string_view value);

/// Removes attribute `name` of the item at `fd`; an absent one is success.
/// Returns 0 or -errno.
int removeAttribute(int fd, const char* name);

/// Names of every attribute of the item at `fd`. None, with -errno in
/// `error`, when the list cannot be read.
std::optional<std::vector<std::string>> listAttributes(int fd, int* error);
