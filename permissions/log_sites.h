#pragma once

// Where the permission module reports: log lines carry the module's name and
// the number of the site that wrote them, which the callers read.

namespace permissionsLog {

inline constexpr const char* kModule = "setPermissions";
inline constexpr int kFallbackHomeEntry = 45;   // chmod +a on the home exited non-zero
inline constexpr int kFallbackStreaming = 60;   // chgrp -R vexa Sites/Streaming exited non-zero
inline constexpr int kFallbackDropBox = 76;     // chmod +a on Public/Drop Box exited non-zero
inline constexpr int kPolicyTool = 118;         // a policy rule's tool exited non-zero
inline constexpr int kDropBoxWithoutUuid = 165; // a Drop Box folder, and no UUID to name the owner
inline constexpr int kDropBoxList = 209;        // the Drop Box list could not be set
inline constexpr int kFolderList = 246;         // a folder's deny-delete list could not be set
inline constexpr int kHomeList = 263;           // the home's deny-delete list could not be set

}  // namespace permissionsLog
