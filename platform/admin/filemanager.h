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
/// folder ends with exactly that mode. An existing folder is success. On failure
/// `error` describes it with the path and the system's reason.
bool createDirectory(const std::string& path, std::optional<mode_t> mode, std::string* error);

/// Removes the item at `path` with all its contents; a link is removed as
/// itself. Never follows a link, never leaves the item's file system (an item
/// on another device fails the removal), works from folder descriptors. On
/// failure `error` names the first path that could not go and why.
bool removeItem(const std::string& path, std::string* error);

/// removeItem, only when the item belongs to the user id `owner` (when given),
/// compared on the very resolution the removal goes through. An item that is
/// not there, cannot be examined or belongs to someone else is kept, without
/// complaint: `*kept` says so, and the result is true.
bool removeItemOwnedBy(const std::string& path, std::optional<int64_t> owner, bool* kept, std::string* error);

/// The names in the folder at `path`, one level, in the order the system gives.
std::optional<std::vector<std::string>> listDirectory(const std::string& path);

/// Streams every item below the folder at `path`, pre-order, each as a path
/// relative to it; links are not followed. False when `path` cannot be opened.
bool enumerateSubpaths(const std::string& path, const std::function<void(const std::string&)>& visit);
