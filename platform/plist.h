#pragma once

// Property lists (binary or XML) through libplist. A PlistRef owns one node.

#include <plist/plist.h>

#include <memory>
#include <optional>
#include <string>

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistRef = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

/// Parses `bytes` (binary or XML); none when they are not a property list.
PlistRef parsePlist(const std::string& bytes);

/// Reads the file at `path` as a property list whose top level is a dictionary
/// (or an array); none otherwise.
PlistRef readPlistDictionary(const std::string& path);
PlistRef readPlistArray(const std::string& path);

/// Serializes `node` as XML.
std::string plistToXml(plist_t node);
