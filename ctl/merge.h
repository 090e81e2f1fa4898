#pragma once

// What a creation into an existing folder would do to it, found before it
// runs: the creation copies the template's Non_localized folder and then one
// language folder over whatever is there, and the copier replaces a file,
// link or other non-folder standing at a name the template uses.

#include <optional>
#include <string>
#include <vector>

#include "main/identity.h"

struct MergePlan {
  std::vector<std::string> created;      // relative paths of template items the home lacks, sorted
  std::vector<std::string> overwritten;  // relative paths of home items the copies would replace, sorted
  int error = 0;                         // a template folder that could not be read whole
  std::string errorPath;
};

/// The plan for copying `templateRoot`'s Non_localized folder and
/// `languageFolder` into the home folder open at `homeFd` (-1: there is none
/// yet, everything is created). The home is read below `homeFd` only, with no
/// link followed: a non-folder (a link included) where the template has
/// anything is overwritten, unless the template has a non-folder and the home
/// a folder, which the copier leaves alone.
MergePlan planMerge(const std::string& templateRoot, const std::string& languageFolder, int homeFd);

/// The first account of /etc/passwd other than `self` whose home field names
/// the same path as `home`, compared as normal text (normalHomeText).
std::optional<std::string> otherAccountWithHome(const std::string& home, const Identity& self);
