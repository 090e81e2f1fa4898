#include "ctl/homelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/admin/trusted.h"
#include "platform/path.h"

namespace {

constexpr size_t kLongestName = 200;  // with room to spare below NAME_MAX

bool plainByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
}

// FNV-1a: a stable name for a path too long to spell out; two homes sharing
// one only wait for each other.
uint64_t textHash(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

HomeLock failed(int error, std::string where) {
  HomeLock lock;
  lock.error = error;
  lock.where = std::move(where);
  return lock;
}

// The lock folder, made when missing. /run is root's, so a link found in
// place of the folder is refused rather than followed; a folder that someone
// else owns is refused, and one of root's with a wider mode is narrowed.
int openLockFolder() {
  const std::string folder = kHomeLockFolder;
  const std::string parentPath = folder.substr(0, folder.rfind('/'));
  const std::string name(lastComponent(folder));
  const int parent = openTrusted(parentPath.empty() ? "/" : parentPath, O_PATH | O_DIRECTORY, FinalLink::Follow);
  if (parent < 0) return parent;
  const UniqueFd held(parent);
  if (mkdirat(held.get(), name.c_str(), 0700) != 0 && errno != EEXIST) return -errno;
  UniqueFd locks(openat(held.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!locks.valid()) return -errno;
  struct stat status {};
  if (fstat(locks.get(), &status) != 0) return -errno;
  if (status.st_uid != 0) return -EPERM;
  if ((status.st_mode & 07777) != 0700 && fchmod(locks.get(), 0700) != 0) return -errno;
  return locks.release();
}

}  // namespace

std::string normalHomeText(const std::string& home) {
  std::string text;
  for (const char c : home) {
    if (c == '/' && !text.empty() && text.back() == '/') continue;
    text.push_back(c);
  }
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string homeLockName(const std::string& home) {
  const std::string text = normalHomeText(home);
  std::string name;
  for (size_t i = text.starts_with('/') ? 1 : 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '/') {
      name.push_back('-');
    } else if (plainByte(c)) {
      name.push_back(static_cast<char>(c));
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      name += escaped;
    }
  }
  if (name.size() > kLongestName || name.empty() || name == "." || name == "..") {
    char hashed[32];
    std::snprintf(hashed, sizeof hashed, "long-%016llx", static_cast<unsigned long long>(textHash(text)));
    name = hashed;
  }
  return name + ".lock";
}

HomeLock lockHome(const std::string& home) {
  const int folder = openLockFolder();
  if (folder < 0) return failed(-folder, kHomeLockFolder);
  const UniqueFd locks(folder);
  const std::string name = homeLockName(home);
  UniqueFd file(openat(locks.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  const std::string where = joinPath(kHomeLockFolder, name);
  if (!file.valid()) return failed(errno, where);
  struct stat status {};
  if (fstat(file.get(), &status) != 0) return failed(errno, where);
  if (!S_ISREG(status.st_mode)) return failed(EINVAL, where);
  while (flock(file.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return failed(errno, where);
  }
  HomeLock lock;
  lock.fd = std::move(file);
  return lock;
}
