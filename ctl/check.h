#pragma once

// A read-only comparison of a home with what a repair (or a permissions-only
// pass) would leave. It asks the same rules the changes ask, so the two
// cannot disagree, and it changes nothing anywhere.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ctl/names.h"
#include "platform/plist.h"
#include "platform/uuid.h"

struct TemplateListing;

enum class CheckAs { Repair, Apply };

/// The account whose home is checked, as the identity directory has it.
struct CheckAccount {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
  Uuid uuid;
};

/// One attribute of one item that differs. For "list", `have` and `want` are
/// empty and the entries' texts are in the lists.
struct Difference {
  std::string path;       // relative to the home; "." is the home itself
  std::string attribute;  // "mode", "owner", "flags" or "list"
  std::string have;
  std::string want;
  std::vector<std::string> haveList;
  std::vector<std::string> wantList;
  /// The item's immutable or append flags ("uchg", "uappnd,uchg"), when it has
  /// them: the kernel refuses this change while they are set, and a change
  /// only clears the immutable flag of a folder, after its mode.
  std::string locked;
};

/// A template item that a repair finds no folder or file for in the home, or
/// finds a symbolic link in place of; the repair mends neither.
struct Unmended {
  std::string path;  // relative to the home: the template's subpath when missing
  std::string kind;  // "missing" or "link"
};

struct CheckSummary {
  bool reached = false;       // the home could be held and walked
  std::string error;          // why not, or the first item that could not be read
  uint64_t items = 0;         // the home and everything below it
  uint64_t differences = 0;
  uint64_t differingItems = 0;
  uint64_t leftAlone = 0;     // files with other names that no change touches
  bool complete = true;       // every folder was read whole
  uint64_t missing = 0;       // template items with no counterpart in the home
  uint64_t links = 0;         // template items that the home has as symbolic links
};

struct CheckHooks {
  /// Called by the walk's threads, several at once: the hook must be safe for that.
  std::function<void(const Difference&)> difference;
  std::function<void(uint64_t items)> progress;  // now and then, with the items seen so far
  std::function<void(const Unmended&)> unmended;  // a repair's check only
  /// Called once the home itself is compared, before its walkers start: what
  /// was reported so far comes before anything they report.
  std::function<void()> homeCompared;
};

/// What the homes of one run of check share, read once for the run rather
/// than once per account: the names of ids and the machine's policy.
struct CheckRun {
  NameBook names;
  PlistRef policy;
  std::string listedTemplate;  // the template `listing` was read from, once
  std::shared_ptr<TemplateListing> listing;
};

/// The identity files and the policy as they are now.
CheckRun startCheckRun();

/// Walks the account's home and reports each difference from what `as` would
/// leave, with the machine's template and the run's policy; for a repair,
/// also the template items it will not mend (not differences).
CheckSummary checkHome(const CheckAccount& account, const std::string& templateRoot, CheckAs as,
                       const CheckHooks& hooks, CheckRun& run);
