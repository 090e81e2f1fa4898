#pragma once

// How everything in platform/ tells of a failure, one way throughout. An
// action (a call that changes something, or opens and hands back a
// descriptor) returns int: 0 or the descriptor on success, -errno on failure.
// A read returns std::optional<T> and takes `int* error` (null when the
// caller needs no reason), which receives -errno whenever the result is none;
// a parser of text already in hand has no reason to give and returns none
// alone, as does a property-list read that yields a null PlistRef. A
// question with only yes or no for an answer (exists..., is..., leftAlone...)
// returns bool. Nothing here promises what errno holds after a call: a caller
// takes the reason from the result and prints strerror(-result). A failure
// that a caller ignores on purpose says why at the call, "// Not examined: ...".

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
/// -errno. Safe in a child between fork and exec.
int writeAll(int fd, std::string_view bytes);
