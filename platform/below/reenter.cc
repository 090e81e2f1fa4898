#include "platform/below/reenter.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Without the privilege handles need, or on a file system without them,
// every later attempt would fail the same way.
std::atomic<bool> handlesRefused{false};

struct HandleRoom {
  alignas(file_handle) unsigned char raw[sizeof(file_handle) + sizeof(FolderMark::handle)];
  file_handle* get() { return reinterpret_cast<file_handle*>(raw); }
};

int openByHandle(const FolderMark& mark, int mountFd) {
  if (mark.handleBytes == 0 || handlesRefused.load(std::memory_order_relaxed)) return -1;
  HandleRoom room;
  file_handle* handle = room.get();
  handle->handle_bytes = mark.handleBytes;
  handle->handle_type = mark.handleType;
  std::memcpy(handle->f_handle, mark.handle, mark.handleBytes);
  const int fd = open_by_handle_at(mountFd, handle, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS)) {
    handlesRefused.store(true, std::memory_order_relaxed);
  }
  return fd;
}

}  // namespace

void markFolder(int fd, const struct stat& status, FolderMark* mark) {
  *mark = plainMark(status);
  addHandle(fd, mark);
}

void addHandle(int fd, FolderMark* mark) {
  mark->handleBytes = 0;
  if (handlesRefused.load(std::memory_order_relaxed)) return;
  HandleRoom room;
  file_handle* handle = room.get();
  handle->handle_bytes = sizeof mark->handle;
  int mountId = 0;
  if (name_to_handle_at(fd, "", handle, &mountId, AT_EMPTY_PATH) != 0) {
    if (errno == EOPNOTSUPP || errno == ENOSYS) handlesRefused.store(true, std::memory_order_relaxed);
    return;
  }
  mark->handleType = handle->handle_type;
  mark->handleBytes = static_cast<uint8_t>(handle->handle_bytes);
  std::memcpy(mark->handle, handle->f_handle, handle->handle_bytes);
}

int reenterFolder(const FolderMark& mark, int childFd, const char* childName, const FolderMark& child) {
  // A handle is only read on the file system it came from: the child's, when
  // it is not another one mounted there.
  int fd = child.device == mark.device ? openByHandle(mark, childFd) : -1;
  if (fd < 0) fd = openat(childFd, "..", kFolderFlags);
  if (fd < 0) return -errno;
  struct stat now {}, inside {};
  int error = 0;
  if (fstat(fd, &now) != 0 || fstatat(fd, childName, &inside, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno == ENOENT ? ESTALE : errno;
  } else if (now.st_dev != mark.device || now.st_ino != mark.inode || inside.st_dev != child.device ||
             inside.st_ino != child.inode) {
    error = ESTALE;
  }
  if (error) {
    close(fd);
    return -error;
  }
  return fd;
}
