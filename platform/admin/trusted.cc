#include "platform/admin/trusted.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <vector>

#include "platform/below/pause.h"
#include "platform/fd.h"

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows on one lookup
constexpr int kPinFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

// Components still to resolve, the next one last, so that a link's target
// is spliced in front of what followed the link.
struct Pending {
  std::vector<std::string> stack;

  void push(std::string_view text) {
    // A trailing separator makes the last component a folder to stand in.
    if (!text.empty() && text.back() == '/') stack.emplace_back(".");
    size_t end = text.size();
    while (end > 0) {
      const size_t slash = text.rfind('/', end - 1);
      const size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
      if (end > begin) stack.emplace_back(text.substr(begin, end - begin));
      if (slash == std::string_view::npos) break;
      end = slash;
    }
  }
  bool empty() const { return stack.empty(); }
  std::string pop() {
    std::string next = std::move(stack.back());
    stack.pop_back();
    return next;
  }
};

// Where a resolution ended: the folder that holds the last component, its
// name there, and (when it exists) the item itself pinned with O_PATH.
struct Resolved {
  UniqueFd parent;
  std::string name;
  UniqueFd item;
  struct stat status {};
};

// The folder a resolution starts from: the descriptor, or -errno.
int openStart(bool absolute) {
  const int fd = open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 ? -errno : fd;
}

// Replaces the link pinned at `linkFd` by its target in `pending`, when the
// rule allows following it; restarts at the top for an absolute target.
// Returns 0 or -errno.
int followLink(UniqueFd& current, int linkFd, Pending& pending, int* links) {
  if (!isTrustedLink(current.get(), linkFd) || ++*links > kMaxLinks) return -ELOOP;
  char target[PATH_MAX];
  const ssize_t n = readlinkat(linkFd, "", target, sizeof target);
  if (n < 0) return -errno;
  if (n == 0) return -ENOENT;
  if (static_cast<size_t>(n) == sizeof target) return -ENAMETOOLONG;
  const std::string_view text(target, static_cast<size_t>(n));
  pending.push(text);
  if (text.front() == '/') {
    // Taken before the old descriptor is closed, which may change errno.
    const int top = openStart(true);
    if (top < 0) return top;
    current.reset(top);
  }
  return 0;
}

// Walks `path`; the last component is pinned but not followed unless `final`
// says so. With `mustExist` false, a missing last component still yields its
// folder and name. Returns 0 or -errno.
int resolve(std::string_view path, FinalLink final, bool mustExist, Resolved* out) {
  if (path.empty()) return -ENOENT;
  Pending pending;
  pending.push(path);
  const int start = openStart(path.front() == '/');
  if (start < 0) return start;
  UniqueFd current(start);
  int links = 0;
  while (!pending.empty()) {
    std::string name = pending.pop();
    const bool last = pending.empty();
    if (name == "." || name == "..") {
      if (name == "..") {
        const int up = openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (up < 0) return -errno;
        current.reset(up);
      }
      if (!last) continue;
      name.resize(1);  // "." names the folder itself
    }
    UniqueFd pin(openat(current.get(), name.c_str(), kPinFlags));
    struct stat status {};
    if (!pin.valid() || fstat(pin.get(), &status) != 0) {
      const int error = errno;
      if (!last || mustExist || error != ENOENT) return -error;
    }
    if (pin.valid() && S_ISLNK(status.st_mode) && (!last || final == FinalLink::Follow)) {
      if (const int error = followLink(current, pin.get(), pending, &links)) return error;
      continue;
    }
    if (!last) {
      if (!S_ISDIR(status.st_mode)) return -ENOTDIR;
      current = std::move(pin);
      continue;
    }
    if (pin.valid() && S_ISLNK(status.st_mode) && final == FinalLink::Refuse) return -ELOOP;
    out->parent = std::move(current);
    out->name = std::move(name);
    out->item = std::move(pin);
    out->status = status;
  }
  return 0;
}

}  // namespace

bool isTrustedLink(int dirFd, int linkFd) {
  struct stat folder {}, link {};
  if (fstat(dirFd, &folder) != 0 || fstat(linkFd, &link) != 0) return false;
  return link.st_uid == 0 && folder.st_uid == 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int openTrusted(std::string_view path, int flags, FinalLink final) {
  Resolved found;
  if (const int error = resolve(path, final, true, &found)) return error;
  if ((flags & O_DIRECTORY) && !S_ISDIR(found.status.st_mode)) return -ENOTDIR;
  if (flags & O_PATH) return found.item.release();
  pausePoint("open-trusted", found.item.get());
  // Opened again by name without following, then checked to be the item
  // that was resolved: a swap in between fails instead of redirecting.
  UniqueFd fd(openat(found.parent.get(), found.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
  struct stat now {};
  if (!fd.valid() || fstat(fd.get(), &now) != 0) return -errno;
  if (now.st_dev != found.status.st_dev || now.st_ino != found.status.st_ino) return -ESTALE;
  return fd.release();
}

int pinTrusted(std::string_view path, FinalLink final, TrustedPin* out) {
  Resolved found;
  if (const int error = resolve(path, final, true, &found)) return error;
  struct stat holder {};
  if (fstat(found.parent.get(), &holder) != 0) return -errno;
  out->status = found.status;
  out->holderOwner = holder.st_uid;
  out->fd = found.item.release();
  return 0;
}

namespace {

// Whether `path` is absolute and names every component plainly: no empty,
// "." or ".." component, so that its folders are its own prefixes.
bool plainAbsolute(std::string_view path) {
  if (path.size() < 2 || path.front() != '/' || path.back() == '/') return false;
  for (size_t at = 1; at <= path.size();) {
    const size_t end = std::min(path.find('/', at), path.size());
    const std::string_view part = path.substr(at, end - at);
    if (part.empty() || part == "." || part == "..") return false;
    at = end + 1;
  }
  return true;
}

// The folder `dir` (plain, absolute), from the deepest held folder that holds
// it, held in its turn: its entry in `held`, or null with `*error` set.
const TrustedFolders::Held* holdFolder(TrustedFolders& held, std::string_view dir, int* error) {
  auto& chain = held.chain;
  while (!chain.empty()) {
    const std::string& folder = chain.back().path;
    if (dir == folder || (dir.size() > folder.size() && dir.substr(0, folder.size()) == folder &&
                          dir[folder.size()] == '/')) {
      break;
    }
    chain.pop_back();
  }
  const auto keep = [&chain](std::string_view path, UniqueFd fd, uid_t owner) -> const TrustedFolders::Held* {
    if (chain.size() == TrustedFolders::kMost) chain.erase(chain.begin());
    chain.push_back({std::string(path), std::move(fd), owner});
    return &chain.back();
  };
  const auto fail = [error](int reason) -> const TrustedFolders::Held* {
    *error = reason;
    return nullptr;
  };
  const auto fromTop = [&]() -> const TrustedFolders::Held* {
    chain.clear();
    UniqueFd fd(openTrusted(dir, O_PATH | O_DIRECTORY, FinalLink::Follow));
    struct stat status {};
    if (!fd.valid()) return fail(fd.get());
    if (fstat(fd.get(), &status) != 0) return fail(-errno);
    return keep(dir, std::move(fd), status.st_uid);
  };
  if (chain.empty()) return fromTop();
  while (chain.back().path.size() < dir.size()) {
    const size_t begin = chain.back().path.size() + 1;
    const size_t end = std::min(dir.find('/', begin), dir.size());
    const std::string name(dir.substr(begin, end - begin));
    UniqueFd pin(openat(chain.back().fd.get(), name.c_str(), kPinFlags));
    struct stat status {};
    if (!pin.valid() || fstat(pin.get(), &status) != 0) return fail(-errno);
    // A link is followed, or refused, by the whole rule.
    if (S_ISLNK(status.st_mode)) return fromTop();
    if (!S_ISDIR(status.st_mode)) return fail(-ENOTDIR);
    keep(dir.substr(0, end), std::move(pin), status.st_uid);
  }
  return &chain.back();
}

}  // namespace

int pinTrustedNear(TrustedFolders& held, std::string_view path, TrustedPin* out) {
  const size_t slash = path.rfind('/');
  if (!plainAbsolute(path) || slash == 0) return pinTrusted(path, FinalLink::Keep, out);
  int error = 0;
  const TrustedFolders::Held* folder = holdFolder(held, path.substr(0, slash), &error);
  if (!folder) return error;
  const std::string name(path.substr(slash + 1));
  UniqueFd pin(openat(folder->fd.get(), name.c_str(), kPinFlags));
  struct stat status {};
  if (!pin.valid() || fstat(pin.get(), &status) != 0) return -errno;
  out->status = status;
  out->holderOwner = folder->owner;
  out->fd = pin.release();
  return 0;
}

int openTrustedParent(std::string_view path, std::string* name) {
  // The last component is never followed, a trailing separator or not.
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  Resolved found;
  if (const int error = resolve(path, FinalLink::Keep, false, &found)) return error;
  *name = std::move(found.name);
  return found.parent.release();
}

std::optional<std::string> readTrusted(std::string_view path, size_t limit, int* error) {
  const auto fail = [error](int reason) {
    if (error) *error = reason;
    return std::nullopt;
  };
  const int opened = openTrusted(path, O_RDONLY | O_NOCTTY, FinalLink::Follow);
  if (opened < 0) return fail(opened);
  UniqueFd fd(opened);
  std::string text;
  char buffer[16384];
  for (;;) {
    const ssize_t got = read(fd.get(), buffer, sizeof buffer);
    if (got == 0) return text;
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(-errno);
    }
    if (text.size() + static_cast<size_t>(got) > limit) return fail(-EFBIG);
    text.append(buffer, static_cast<size_t>(got));
  }
}

std::optional<struct stat> statTrusted(std::string_view path, int* error) {
  Resolved found;
  if (const int failed = resolve(path, FinalLink::Follow, true, &found)) {
    if (error) *error = failed;
    return std::nullopt;
  }
  return found.status;
}

bool existsTrusted(std::string_view path, struct stat* status) {
  const std::optional<struct stat> found = statTrusted(path, nullptr);
  if (!found) return false;
  if (status) *status = *found;
  return true;
}
