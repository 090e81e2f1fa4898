#pragma once

#include <string>
#include <vector>

/// Runs the executable at the absolute `toolPath` with `arguments` (argv[0] is
/// the tool path; no shell), waits for it, and returns its exit status: 0 on
/// success, non-zero when it failed, could not start (127, with the reason on
/// standard error) or was killed. The child shares this process's standard
/// streams; its PATH is this program's own folder (an installed build: its
/// helpers' folder) followed by /usr/bin:/bin:/usr/sbin:/sbin. An installed
/// build runs its own helper for /bin/chmod, /usr/bin/chgrp, /usr/sbin/chown
/// and /usr/bin/mirra.
int runTool(const std::string& toolPath, const std::vector<std::string>& arguments);
