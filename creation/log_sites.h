#pragma once

// Where the creation sequence reports (see permissions/log_sites.h); it
// shares its module name with the entry point.

namespace creationLog {

inline constexpr const char* kModule = "Hollin_main";
inline constexpr int kCreateHome = 208;              // a full creation could not make the home
inline constexpr int kRemoveGlobalPreferences = 352; // the old global preferences could not be removed

}  // namespace creationLog
