#pragma once

// The same walk as walkTree, over more than one core: a worker that runs out
// of work takes over a folder that another worker has pinned but not yet
// entered, and walks it with a walk of its own (its own held folders, its own
// descriptor bound, the same refusal of links and the same checked re-entry).
// Nothing is reached in any other way than by walkTree, so the safety of the
// walk holds per worker. Items come in no fixed order across subtrees: the
// visitor must be safe to call from several threads at once.

#include <string>

#include "platform/below/walk.h"

/// The number of workers the walks of this process use: HOLLIN_WORKERS when
/// it is a number from 1 to 16 (1 walks on the calling thread alone, for
/// debugging), else the number of processors, at most 4.
unsigned walkWorkers();

/// Walks like walkTree with up to `workers` threads (1: walkTree itself).
/// A visitor with a leave hook is walked by one thread, since a folder handed
/// over is left by another walk than the one that entered it. The first
/// reading error of any worker is returned.
WalkError walkTreeShared(int rootFd, const std::string& rootPath, const WalkVisitor& visitor, unsigned workers,
                         unsigned maxOpenFolders = 32);
