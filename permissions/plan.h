#pragma once

// The steps of a run that external programs carry out, written down once as
// data: which program, with which arguments, on which item of the home, when,
// what its status means, and what it does to the items it reaches. The pass
// and the repair carry the list out; the check reads the very same list to
// say what they would change. A step added here is seen by both.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/acl_codec.h"
#include "platform/admin/home.h"
#include "platform/directory.h"
#include "platform/plist.h"

/// What a program does to the items it reaches, as far as a dry run needs.
struct ToolEffect {
  enum class Kind {
    None,       // nothing a check compares
    Mode,       // chmod MODE: `mode` read as chmod reads it
    Group,      // chgrp GROUP of one item
    GroupTree,  // chgrp -R GROUP: the item and everything below it
    OwnerTree,  // chown -R OWNER:GROUP: the item and everything below it
    AddEntry,   // chmod +a ENTRY: `entry` joins the item's list
  };
  Kind kind = Kind::None;
  std::string mode;
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);
  std::optional<hostacl::AclEntry> entry;
};

/// One run of an external program at its place in a run.
struct ProgramRun {
  /// When it is handed over: the programs follow a path named on their
  /// command line, so most runs need the target below the home first.
  enum class When {
    Always,        // whatever stands there, or nothing (the program says)
    NotALink,      // as Always, but a home that is a link fails as a missing one would
    Reachable,     // something stands at the target, with no link on the way
    Folder,        // a folder stands at the target, with no link on the way
  };
  const char* tool = nullptr;
  std::vector<std::string> arguments;  // the target's full path last
  std::string target;                  // below the home; empty: the home itself
  When when = When::Always;
  const char* module = nullptr;        // set: a non-zero status is logged "MODULE:LINE Error:STATUS"
  int line = 0;
  bool decides = false;                // a non-zero status makes the result false
  ToolEffect effect;
};

/// Runs `run` on the held home when its condition holds now. Returns the
/// program's status, 0 when it was not due, and logs as the run says.
int carryOut(const ProgramRun& run, const HeldHome& home);

/// Carries out every run in order; false when a deciding one failed.
bool carryOutAll(const std::vector<ProgramRun>& runs, const HeldHome& home);

/// The id of the group named exactly `text`, else `text` as a plain number:
/// from `identities` when given (read once for a run over many homes), else
/// from the group file as it is now.
std::optional<gid_t> groupIdIn(const std::string& text, const IdentityFiles* identities);

/// The runs of a loaded policy (`rules` non-null) for the user, in order.
/// `identities`, when given, names the groups instead of the files.
std::vector<ProgramRun> policyRuns(const std::string& homePath, plist_t rules, const std::optional<std::string>& userName,
                                   const IdentityFiles* identities = nullptr);

/// What a pass runs after the per-item rules: the policy's runs when one
/// loaded (`rules` non-null), else the three built-in commands.
std::vector<ProgramRun> passRuns(const std::string& homePath, plist_t rules, const std::optional<std::string>& userName,
                                 const IdentityFiles* identities = nullptr);

/// True when the run's condition holds for the item that stands at its
/// target (reached from the held home), whose status is then in `status`.
bool isDue(const ProgramRun& run, const HeldHome& home, struct stat* status);
