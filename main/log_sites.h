#pragma once

// Where the entry point reports (see permissions/log_sites.h).

namespace mainLog {

inline constexpr const char* kModule = "Hollin_main";
inline constexpr int kRemoveHome = 191;    // the home to delete could not be removed
inline constexpr int kCreateFolder = 380;  // the create-folder-only mode failed

}  // namespace mainLog
