#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

/// True when anything exists at `path`, following a final link (a dangling link
/// is nothing). `isFolder`, when given, says whether it is a folder.
bool fileExists(const std::string& path, bool* isFolder = nullptr);

/// Creates the folder at `path` and any missing parents. With `mode`, the new
/// folder ends with exactly that mode. An existing folder is success. Returns
/// 0 or -errno; on failure `message` (when given) says what failed, with the
/// path and the system's reason.
int createDirectory(const std::string& path, std::optional<mode_t> mode, std::string* message);

/// Removes the item at `path` with all its contents; a link is removed as
/// itself. Never follows a link, never leaves the item's file system (an item
/// on another device fails the removal), works from folder descriptors.
/// Returns 0 or -errno; on failure `message` (when given) names the first path
/// that could not go and why.
int removeItem(const std::string& path, std::string* message);

/// removeItem, only when the item belongs to the user id `owner` (when given),
/// compared on the very resolution the removal goes through. An item that is
/// not there, cannot be examined or belongs to someone else is kept, without
/// complaint: `*kept` says so, and the result is 0.
int removeItemOwnedBy(const std::string& path, std::optional<int64_t> owner, bool* kept, std::string* message);

/// The names in the folder at `path`, one level, in the order the system
/// gives. None, with -errno in `error`, when it cannot be read.
std::optional<std::vector<std::string>> listDirectory(const std::string& path, int* error);

/// Streams every item below the folder at `path`, pre-order, each as a path
/// relative to it; links are not followed. Returns -errno when `path` cannot
/// be opened, else 0 (a part below it that cannot be read is passed over).
int enumerateSubpaths(const std::string& path, const std::function<void(const std::string&)>& visit);
