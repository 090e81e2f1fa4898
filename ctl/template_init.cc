#include "ctl/template_init.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "creation/copier.h"
#include "ctl/homelock.h"
#include "platform/admin/trusted.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "platform/places.h"

namespace {

constexpr mode_t kFolderMode = 0755;

TemplateInit outcome(int status, std::string message) { return TemplateInit{status, std::move(message)}; }

std::string reason(const std::string& path, int error) { return path + ": " + std::strerror(error); }

// Only root may write in the folder: nobody else can then swap what is
// made in it.
bool rootOnly(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The folder that is to hold the last component of the absolute `path`,
// made with its missing parents. -errno on failure, `failedAt` naming where.
int makeParents(const std::string& path, std::string* name, std::string* failedAt) {
  UniqueFd current(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string reached;
  size_t start = 1;
  for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
    if (slash == start) continue;
    const std::string component = path.substr(start, slash - start);
    *failedAt = reached = joinPath(reached, component);
    int fd = openTrusted(reached, O_PATH | O_DIRECTORY, FinalLink::Follow);
    if (fd == -ENOENT) {
      if (!rootOnly(current.get())) return -EPERM;
      if (mkdirat(current.get(), component.c_str(), kFolderMode) != 0 && errno != EEXIST) return -errno;
      fd = openat(current.get(), component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return -errno;
    }
    if (fd < 0) return fd;
    current.reset(fd);
  }
  *name = path.substr(start);
  *failedAt = path.substr(0, start > 1 ? start - 1 : 1);
  if (name->empty() || !rootOnly(current.get())) return name->empty() ? -EINVAL : -EPERM;
  return current.release();
}

bool isFolder(const std::string& path) {
  struct stat status {};
  return existsTrusted(path, &status) && S_ISDIR(status.st_mode);
}

// Copies the skeleton's files into the new template's Non_localized folder,
// made when the sample has none; the template was made here just now.
TemplateInit addSkeleton(int parentFd, const std::string& name, const std::string& target) {
  const UniqueFd made(openat(parentFd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const std::string nonLocalized = joinPath(target, "Non_localized");
  if (!made.valid()) return outcome(1, reason(target, errno));
  if (mkdirat(made.get(), "Non_localized", kFolderMode) != 0 && errno != EEXIST) {
    return outcome(1, reason(nonLocalized, errno));
  }
  const UniqueFd folder(openat(made.get(), "Non_localized", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.valid()) return outcome(1, reason(nonLocalized, errno));
  const int64_t status = copyDirectory(kSkeletonFolder, nonLocalized);
  if (status != 0) {
    return outcome(1, std::string("copying ") + kSkeletonFolder + " into " + nonLocalized + " failed (status " +
                          std::to_string(status) + ")");
  }
  return outcome(0, "");
}

}  // namespace

TemplateInit initAdminTemplate(bool fromSkel) {
  const std::string target(places::kAdminTemplate);
  const std::string sample(places::kSystemTemplate);
  if (normalHomeText(target) == normalHomeText(sample)) return outcome(2, target + " is the shipped sample itself");
  // Nothing is made when the template is there already.
  struct stat status {};
  std::string name, failedAt;
  if (const int parent = openTrustedParent(target, &name); parent >= 0) {
    const UniqueFd held(parent);
    if (fstatat(held.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      return outcome(2, target + " already exists");
    }
  }
  if (!isFolder(sample)) return outcome(2, "no sample template at " + sample);
  if (fromSkel && !isFolder(kSkeletonFolder)) return outcome(2, std::string("no folder ") + kSkeletonFolder);
  const int parent = makeParents(target, &name, &failedAt);
  if (parent < 0) return outcome(1, reason(failedAt, -parent));
  const UniqueFd held(parent);
  if (mkdirat(held.get(), name.c_str(), kFolderMode) != 0) {
    return errno == EEXIST ? outcome(2, target + " already exists") : outcome(1, reason(target, errno));
  }
  const int64_t copied = copyDirectory(sample, target);
  if (copied != 0) {
    return outcome(1, "copying " + sample + " into " + target + " failed (status " + std::to_string(copied) + ")");
  }
  if (fromSkel) {
    if (TemplateInit added = addSkeleton(held.get(), name, target); added.status != 0) return added;
  }
  return outcome(0, target + " made from " + sample + (fromSkel ? std::string(" and ") + kSkeletonFolder : ""));
}
