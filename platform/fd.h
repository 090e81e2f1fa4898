#pragma once

#include <unistd.h>

#include <string_view>
#include <utility>

/// Owns one file descriptor and closes it when it goes out of scope.
struct UniqueFd {
  int fd = -1;

  UniqueFd() = default;
  explicit UniqueFd(int f) : fd(f) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.fd, -1));
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd; }
  bool valid() const { return fd >= 0; }
  int release() { return std::exchange(fd, -1); }
  void reset(int f = -1) {
    if (fd >= 0) {
      ::close(fd);
    }
    fd = f;
  }
};

/// Writes all of `bytes` to `fd`, going on after interruptions. Returns 0 or
/// an error number. Safe in a child between fork and exec.
int writeAll(int fd, std::string_view bytes);
