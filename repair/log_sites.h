#pragma once

// Where the repair module reports (see permissions/log_sites.h).

namespace repairLog {

inline constexpr const char* kModule = "repairPermissions";
inline constexpr int kHomeList = 108;  // the home's deny-delete list could not be set

}  // namespace repairLog
