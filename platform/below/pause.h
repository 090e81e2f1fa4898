#pragma once

// Test builds only (the HOLLIN_PAUSE_POINTS option): named places between a
// pin and the change made through it, where a test runs a program of its own
// to swap the pinned item's name for something else meanwhile, so a race
// that would take luck to lose happens every time. In any other build a call
// compiles to nothing.

#ifdef HOLLIN_PAUSE_POINTS
/// When HOLLIN_PAUSE_AT is `name` and HOLLIN_PAUSE_RUN names a program, runs
/// that program with two arguments, `name` and the path the kernel gives for
/// the item pinned at `pinnedFd`, and waits for it to end.
void pausePoint(const char* name, int pinnedFd);
#else
inline void pausePoint(const char*, int) {}
#endif
