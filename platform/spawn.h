#pragma once

// The one way this system starts another program and learns how it ended:
// the tool runs its helpers through it, and the front end runs the tool.

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

/// A descriptor of this process that the child finds under another number.
struct FdMapping {
  int from;  // may be close-on-exec: the child's copy is a new descriptor
  int to;    // never the `from` of a later mapping, which it would overwrite
};

/// Starts the program at the absolute `path` (no shell, no search) with
/// `argv` (argv[0] included) and `environment` ("NAME=value" texts), each
/// mapping's descriptor placed under its number in the child, which shares
/// every other descriptor that is not close-on-exec. Returns the child's id,
/// or -errno when it could not be started (a missing or unrunnable program
/// included).
pid_t spawnTool(const std::string& path, const std::vector<std::string>& argv,
                const std::vector<std::string>& environment, const std::vector<FdMapping>& mappings = {});

/// Waits for the child `pid` and returns its status as a shell tells it: the
/// exit code, 128 plus the number of the signal that killed it, or 127 when
/// it cannot be waited for.
int waitStatus(pid_t pid);

/// This process's environment as "NAME=value" texts, less the variables whose
/// text begins with `dropped` (a name with its "=", or a prefix of names).
std::vector<std::string> environmentWithout(std::string_view dropped);

/// The folder of this program's executable ("/" for one at the root); empty
/// when it cannot be learnt.
std::string ownFolder();
