#include "platform/admin/filemanager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/admin/trusted.h"
#include "platform/below/walk.h"
#include "platform/fd.h"

namespace {

// Fills `message` for the caller's log line and hands the failure back.
int fail(std::string* message, const char* what, const std::string& path, int error) {
  if (message) *message = "\"" + path + "\" " + what + ": " + std::strerror(-error);
  return error;
}

constexpr int kAlreadyAFolder = 1;

// Makes the folder that `path` names: 0 when made, kAlreadyAFolder when a
// folder (or a trusted link to one) is there, else -errno. The folder that
// holds it is reached under the trusted-link rule.
int makeFolder(const std::string& path, mode_t mode) {
  std::string name;
  const int parent = openTrustedParent(path, &name);
  if (parent < 0) return parent;
  UniqueFd holder(parent);
  if (mkdirat(parent, name.c_str(), mode) == 0) return 0;
  const int error = errno;
  if (error != EEXIST) return -error;
  int refused = 0;
  const std::optional<struct stat> status = statTrusted(path, &refused);
  if (!status) return refused;
  return S_ISDIR(status->st_mode) ? kAlreadyAFolder : -ENOTDIR;
}

struct Removal {
  dev_t device = 0;
  int error = 0;  // -errno
  std::string path;
};

void noteRemovalError(Removal& r, const std::string& path, int error) {
  if (r.error == 0) {
    r.error = error;
    r.path = path;
  }
}

// Removes the contents of the folder open at `fd` (whose text is `path`).
void removeContents(int fd, const std::string& path, Removal& r) {
  WalkVisitor visitor;
  visitor.enter = [&r](const WalkItem& item) {
    if (item.status.st_dev != r.device) {
      noteRemovalError(r, *item.path, -EXDEV);
      return WalkStep::Skip;
    }
    if (S_ISDIR(item.status.st_mode)) return WalkStep::Descend;
    if (unlinkat(item.parentFd, item.name, 0) != 0 && errno != ENOENT) noteRemovalError(r, *item.path, -errno);
    return WalkStep::Skip;
  };
  visitor.leave = [&r](const WalkItem& item, bool) {
    if (unlinkat(item.parentFd, item.name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
      noteRemovalError(r, *item.path, -errno);
    }
  };
  // The walk still tells of its error as a plain error number.
  const WalkError walk = walkTree(fd, path, visitor);
  if (walk.error != 0) noteRemovalError(r, walk.path, -walk.error);
}

}  // namespace

bool fileExists(const std::string& path, bool* isFolder) {
  struct stat status {};
  if (!existsTrusted(path, &status)) return false;
  if (isFolder) *isFolder = S_ISDIR(status.st_mode);
  return true;
}

int createDirectory(const std::string& path, std::optional<mode_t> mode, std::string* message) {
  if (path.empty()) return fail(message, "could not be created", path, -ENOENT);
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    if (parent.back() == '/') continue;
    const int made = makeFolder(parent, 0777);
    if (made < 0) return fail(message, "could not be created", parent, made);
  }
  const int made = makeFolder(path, mode.value_or(0777));
  if (made == kAlreadyAFolder) return 0;
  if (made < 0) return fail(message, "could not be created", path, made);
  if (!mode) return 0;
  // The mode asked for is the mode it ends with, whatever the umask took away.
  const int opened = openTrusted(path, O_RDONLY | O_DIRECTORY, FinalLink::Refuse);
  if (opened < 0) return fail(message, "could not be given its mode", path, opened);
  UniqueFd fd(opened);
  if (fchmod(fd.get(), *mode) != 0) return fail(message, "could not be given its mode", path, -errno);
  return 0;
}

int removeItem(const std::string& path, std::string* message) {
  return removeItemOwnedBy(path, std::nullopt, nullptr, message);
}

int removeItemOwnedBy(const std::string& path, std::optional<int64_t> owner, bool* kept, std::string* message) {
  // With an owner to compare, an item that cannot be reached or examined is
  // not the one asked for, and is left in place without complaint.
  const auto refuse = [&](const std::string& where, int reason) {
    if (!owner) return fail(message, "couldn't be removed", where, reason);
    if (kept) *kept = true;
    return 0;
  };
  std::string name;
  const int parentFd = openTrustedParent(path, &name);
  if (parentFd < 0) return refuse(path, parentFd);
  UniqueFd parent(parentFd);
  struct stat status {};
  if (fstatat(parent.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return refuse(path, -errno);
  if (owner && static_cast<int64_t>(static_cast<uint32_t>(status.st_uid)) != *owner) return refuse(path, -EPERM);
  if (kept) *kept = false;
  if (!S_ISDIR(status.st_mode)) {
    if (unlinkat(parent.get(), name.c_str(), 0) != 0) return fail(message, "couldn't be removed", path, -errno);
    return 0;
  }
  // The folder whose owner was compared is the one emptied and removed.
  UniqueFd fd(openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat pinned {};
  if (!fd.valid() || fstat(fd.get(), &pinned) != 0) return fail(message, "couldn't be removed", path, -errno);
  if (pinned.st_ino != status.st_ino || pinned.st_dev != status.st_dev) {
    return fail(message, "couldn't be removed", path, -ESTALE);
  }
  Removal r;
  r.device = pinned.st_dev;
  removeContents(fd.get(), path, r);
  if (r.error != 0) return fail(message, "couldn't be removed", r.path, r.error);
  if (unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) != 0) {
    return fail(message, "couldn't be removed", path, -errno);
  }
  return 0;
}

std::optional<std::vector<std::string>> listDirectory(const std::string& path, int* error) {
  const int fd = openTrusted(path, O_RDONLY | O_DIRECTORY, FinalLink::Follow);
  if (fd < 0) {
    if (error) *error = fd;
    return std::nullopt;
  }
  UniqueFd folder(fd);
  std::vector<std::string> names;
  const int failed = readFolder(folder.get(), [&names](const char* name, unsigned char) { names.emplace_back(name); });
  if (failed) {
    if (error) *error = failed;
    return std::nullopt;
  }
  return names;
}

int enumerateSubpaths(const std::string& path, const std::function<void(const std::string&)>& visit) {
  const int opened = openTrusted(path, O_RDONLY | O_DIRECTORY, FinalLink::Follow);
  if (opened < 0) return opened;
  UniqueFd fd(opened);
  WalkVisitor visitor;
  // Every item at every depth: a volume mounted inside the folder is part of
  // what it holds. Each match in a home is still held to the home's device.
  visitor.crossDevices = true;
  visitor.enter = [&visit](const WalkItem& item) {
    visit(item.path->substr(item.rootLength + 1));
    return WalkStep::Descend;
  };
  // Not examined: a part that cannot be read has no items to hand over, and
  // the callers go on with what there is.
  walkTree(fd.get(), path, visitor);
  return 0;
}
