#pragma once

// Giving a new machine its administrator's user template: a copy of the
// shipped sample to edit, optionally with the files the system's skeleton
// folder gives new accounts.

#include <string>

/// The folder whose files the system gives every new account.
inline constexpr const char* kSkeletonFolder = "/etc/skel";

struct TemplateInit {
  int status = 0;       // 0 done; 1 the copy failed (partly made); 2 refused, nothing done
  std::string message;  // what was done or why not
};

/// Makes the administrator's template (its missing parent folders 0755) and
/// copies the system template into it with the tree copier; with `fromSkel`,
/// also the skeleton folder's contents into its Non_localized folder.
/// Refuses when anything is at the administrator's template's path. Parents
/// are reached under the trusted-link rule, and each folder written in must
/// be root's and closed to group and others.
TemplateInit initAdminTemplate(bool fromSkel);
