#include "platform/plist_guard.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unordered_set>

#include "platform/bytes.h"
#include "platform/fd.h"

namespace {

// The copy: one value, all integers little-endian. A value is a tag byte and
//   'b' one byte, 0 or 1          'i' u64, an integer's 64 bits
//   'r' u64, a real's bits        't' u32, a date's whole seconds since 2001
//   'u' u64, a UID                's' u32 length, then a string's bytes
//   'd' u32 length, then data     'a' u32 count, then that many values
//   'D' u32 count, then that many pairs of (u32 length, key bytes) and value
enum Tag : char {
  kBool = 'b',
  kInteger = 'i',
  kReal = 'r',
  kDate = 't',
  kUid = 'u',
  kString = 's',
  kData = 'd',
  kArray = 'a',
  kDictionary = 'D',
};

struct Limits {
  size_t maxNodes;
  size_t maxBytes;
};
constexpr Limits kCopyLimits{kPlistMaxNodes, kPlistMaxCopySize};
constexpr Limits kWriteLimits{SIZE_MAX, SIZE_MAX};

// A string's bytes; none when they hold a NUL. libplist's parsers can leave
// a length that runs past a NUL and past the buffer, which its writer then
// reads on; strlen stops at the first NUL, wherever the length points.
std::optional<std::string_view> stringBytes(plist_t node) {
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr || std::strlen(text) != length) return std::nullopt;
  return std::string_view(text, length);
}

// A key's text; none when it holds a NUL. libplist tells no key's length,
// and its key getter aborts on a NUL inside; its XML writer writes the key's
// whole length, so a NUL shows there first.
std::optional<std::string> keyText(plist_t key) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(key, &xml, &length);
  const bool clean = xml != nullptr && std::memchr(xml, 0, length) == nullptr;
  if (xml != nullptr) plist_to_xml_free(xml);
  char* text = nullptr;
  if (clean) plist_get_key_val(key, &text);
  if (text == nullptr) return std::nullopt;
  std::string result(text);
  std::free(text);
  return result;
}

struct Encoder {
  Limits limits;
  std::string out;
  size_t nodes = 0;

  bool counted() { return ++nodes <= limits.maxNodes && out.size() <= limits.maxBytes; }

  void putU32(uint32_t v) { appendLittleEndian32(out, v); }
  void putU64(uint64_t v) {
    putU32(static_cast<uint32_t>(v));
    putU32(static_cast<uint32_t>(v >> 32));
  }
  bool putBytes(const char* bytes, uint64_t length) {
    if (length > UINT32_MAX || (bytes == nullptr && length != 0)) return false;
    putU32(static_cast<uint32_t>(length));
    out.append(bytes == nullptr ? "" : bytes, static_cast<size_t>(length));
    return true;
  }

  bool array(plist_t node, int depth) {
    const uint32_t count = plist_array_get_size(node);
    out += kArray;
    putU32(count);
    plist_array_iter iter = nullptr;
    plist_array_new_iter(node, &iter);
    bool ok = iter != nullptr;
    for (uint32_t i = 0; ok && i < count; ++i) {
      plist_t item = nullptr;
      plist_array_next_item(node, iter, &item);
      ok = item != nullptr && value(item, depth + 1);
    }
    std::free(iter);
    return ok;
  }

  // Keys are taken from the key nodes (see keyText), never through the
  // iterator's own key getter. A key met twice makes the dictionary
  // unreadable: libplist's binary reader keeps both, where a lookup sees one.
  bool dictionary(plist_t node, int depth) {
    const uint32_t count = plist_dict_get_size(node);
    out += kDictionary;
    putU32(count);
    std::unordered_set<std::string> seen;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node, &iter);
    bool ok = iter != nullptr;
    for (uint32_t i = 0; ok && i < count; ++i) {
      plist_t item = nullptr;
      plist_dict_next_item(node, iter, nullptr, &item);
      const std::optional<std::string> key = item ? keyText(plist_dict_item_get_key(item)) : std::nullopt;
      ok = key && counted() && seen.insert(*key).second && putBytes(key->data(), key->size()) &&
           value(item, depth + 1);
    }
    std::free(iter);
    return ok;
  }

  // `depth` counts the containers around `node`. Dates keep whole seconds:
  // libplist's own date calls do not give back the microseconds they were
  // given, and its XML writer keeps seconds only.
  bool value(plist_t node, int depth) {
    if (!counted()) return false;
    const plist_type type = plist_get_node_type(node);
    uint64_t number = 0;
    if (type == PLIST_BOOLEAN) {
      uint8_t flag = 0;
      plist_get_bool_val(node, &flag);
      out += kBool;
      out += static_cast<char>(flag != 0);
    } else if (type == PLIST_UINT) {
      plist_get_uint_val(node, &number);
      out += kInteger;
      putU64(number);
    } else if (type == PLIST_UID) {
      plist_get_uid_val(node, &number);
      out += kUid;
      putU64(number);
    } else if (type == PLIST_REAL) {
      double real = 0;
      plist_get_real_val(node, &real);
      std::memcpy(&number, &real, sizeof number);
      out += kReal;
      putU64(number);
    } else if (type == PLIST_DATE) {
      int32_t seconds = 0, microseconds = 0;
      plist_get_date_val(node, &seconds, &microseconds);
      out += kDate;
      putU32(static_cast<uint32_t>(seconds));
    } else if (type == PLIST_STRING) {
      const std::optional<std::string_view> text = stringBytes(node);
      out += kString;
      return text && putBytes(text->data(), text->size());
    } else if (type == PLIST_DATA) {
      const char* bytes = plist_get_data_ptr(node, &number);
      out += kData;
      return putBytes(bytes, number);
    } else if (type == PLIST_ARRAY || type == PLIST_DICT) {
      if (depth >= kPlistMaxDepth) return false;
      return type == PLIST_ARRAY ? array(node, depth) : dictionary(node, depth);
    } else {
      return false;  // a key out of its place, or no type at all
    }
    return true;
  }
};

std::optional<std::string> encodeWithin(plist_t node, Limits limits) {
  Encoder encoder{limits, {}};
  if (node == nullptr || !encoder.value(node, 0) || encoder.out.size() > limits.maxBytes) return std::nullopt;
  return std::move(encoder.out);
}

// Parses and encodes, leaving the parsed tree to the caller: libplist frees
// a tree by recursion as deep as the tree goes, which the child never does.
std::optional<std::string> parseAndEncode(std::string_view bytes, PlistRef* tree) {
  if (bytes.empty() || bytes.size() > kPlistMaxFileSize) return std::nullopt;
  const auto length = static_cast<uint32_t>(bytes.size());
  plist_t node = nullptr;
  if (plist_is_binary(bytes.data(), length)) {
    plist_from_bin(bytes.data(), length, &node);
  } else {
    plist_from_xml(bytes.data(), length, &node);
  }
  tree->reset(node);
  return encodeWithin(node, kCopyLimits);
}

struct Decoder {
  std::string_view rest;
  size_t nodes = 0;

  bool take(size_t length, std::string_view* bytes) {
    if (length > rest.size()) return false;
    *bytes = rest.substr(0, length);
    rest.remove_prefix(length);
    return true;
  }
  bool u8(uint8_t* v) {
    std::string_view bytes;
    if (!take(1, &bytes)) return false;
    *v = static_cast<uint8_t>(bytes[0]);
    return true;
  }
  bool u32(uint32_t* v) {
    std::string_view bytes;
    if (!take(4, &bytes)) return false;
    *v = readLittleEndian32(bytes, 0);
    return true;
  }
  bool u64(uint64_t* v) {
    uint32_t low = 0, high = 0;
    if (!u32(&low) || !u32(&high)) return false;
    *v = (static_cast<uint64_t>(high) << 32) | low;
    return true;
  }
  bool bytes(std::string_view* out) {
    uint32_t length = 0;
    return u32(&length) && take(length, out);
  }
  // Strings and keys reach libplist as C strings: a NUL would cut them short.
  std::optional<std::string> text() {
    std::string_view out;
    if (!bytes(&out) || out.find('\0') != std::string_view::npos) return std::nullopt;
    return std::string(out);
  }

  PlistRef array(int depth) {
    uint32_t count = 0;
    if (!u32(&count)) return nullptr;
    PlistRef array(plist_new_array());
    for (uint32_t i = 0; i < count; ++i) {
      PlistRef item = value(depth + 1);
      if (!item) return nullptr;
      plist_array_append_item(array.get(), item.release());
    }
    return array;
  }

  PlistRef dictionary(int depth) {
    uint32_t count = 0;
    if (!u32(&count)) return nullptr;
    PlistRef dictionary(plist_new_dict());
    for (uint32_t i = 0; i < count; ++i) {
      const std::optional<std::string> key = ++nodes <= kPlistMaxNodes ? text() : std::nullopt;
      if (!key || plist_dict_get_item(dictionary.get(), key->c_str()) != nullptr) return nullptr;
      PlistRef item = value(depth + 1);
      if (!item) return nullptr;
      plist_dict_set_item(dictionary.get(), key->c_str(), item.release());
    }
    return dictionary;
  }

  PlistRef value(int depth) {
    uint8_t tag = 0, flag = 0;
    uint64_t number = 0;
    uint32_t seconds = 0;
    std::string_view data;
    if (++nodes > kPlistMaxNodes || !u8(&tag)) return nullptr;
    switch (tag) {
      case kBool:
        return u8(&flag) && flag <= 1 ? PlistRef(plist_new_bool(flag)) : nullptr;
      case kInteger:
        return u64(&number) ? PlistRef(plist_new_uint(number)) : nullptr;
      case kUid:
        return u64(&number) ? PlistRef(plist_new_uid(number)) : nullptr;
      case kReal: {
        double real = 0;
        if (!u64(&number)) return nullptr;
        std::memcpy(&real, &number, sizeof real);
        return PlistRef(plist_new_real(real));
      }
      case kDate:
        return u32(&seconds) ? PlistRef(plist_new_date(static_cast<int32_t>(seconds), 0)) : nullptr;
      case kString: {
        const std::optional<std::string> string = text();
        return string ? PlistRef(plist_new_string(string->c_str())) : nullptr;
      }
      case kData:
        return bytes(&data) ? PlistRef(plist_new_data(data.data(), data.size())) : nullptr;
      case kArray:
        return depth < kPlistMaxDepth ? array(depth) : nullptr;
      case kDictionary:
        return depth < kPlistMaxDepth ? dictionary(depth) : nullptr;
      default:
        return nullptr;
    }
  }
};

// The child: a fresh process from fork, so it has the bytes already and
// needs no exec. Nothing in it may return to the tool's code.
constexpr uid_t kUnprivilegedId = 65534;
constexpr rlim_t kChildStack = rlim_t{1} << 20;  // deep recursion faults early
constexpr int kChildRefused = 1;
constexpr int kChildSetupFailed = 2;

// The sanitizer build maps terabytes of shadow memory, far over any data
// limit the child could be given; there it has none. (GCC says so with
// __SANITIZE_ADDRESS__, clang with __has_feature.)
#if defined(__SANITIZE_ADDRESS__)
#define HOLLIN_ADDRESS_SANITIZER
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOLLIN_ADDRESS_SANITIZER
#endif
#endif
#ifdef HOLLIN_ADDRESS_SANITIZER
constexpr rlim_t kChildMemory = RLIM_INFINITY;
#else
constexpr rlim_t kChildMemory = rlim_t{64} << 20;
#endif

// Time enough for the largest file the limits let through; the sanitizer
// build runs the same parse several times slower, and gets that much more.
#ifdef HOLLIN_ADDRESS_SANITIZER
constexpr rlim_t kSlowdown = 10;
#else
constexpr rlim_t kSlowdown = 1;
#endif
constexpr rlim_t kChildCpuSeconds = 2 * kSlowdown;
constexpr auto kChildWallTime = std::chrono::seconds(5 * kSlowdown);

// Standard streams go to /dev/null, so that a sanitizer's report from the
// child never reaches the tool's own stderr, and every other descriptor but
// the pipe is closed: nothing root had open stays reachable. The child ends
// with _exit, so these bare descriptors need no holder.
bool isolateDescriptors(int* pipeFd) {
  const int keep = fcntl(*pipeFd, F_DUPFD_CLOEXEC, 3);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (keep < 0 || null < 0) return false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (dup2(null, fd) < 0) return false;
  }
  if (keep > 3 && close_range(3, static_cast<unsigned>(keep) - 1, 0) != 0) return false;
  if (close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) != 0) return false;
  *pipeFd = keep;
  return true;
}

// Lowers a limit, never raising one the caller already had lower.
bool lowerLimit(int resource, rlim_t soft, rlim_t hard) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0) return false;
  limit.rlim_max = std::min(limit.rlim_max, hard);
  limit.rlim_cur = std::min(soft, limit.rlim_max);
  return setrlimit(resource, &limit) == 0;
}

// No core file, no file written, no process or descriptor made; past the
// soft CPU limit SIGXCPU ends it, the hard one a second later SIGKILL.
bool limitResources() {
  return lowerLimit(RLIMIT_CORE, 0, 0) && lowerLimit(RLIMIT_FSIZE, 0, 0) && lowerLimit(RLIMIT_NPROC, 0, 0) &&
         lowerLimit(RLIMIT_NOFILE, 0, 0) && lowerLimit(RLIMIT_STACK, kChildStack, kChildStack) &&
         lowerLimit(RLIMIT_CPU, kChildCpuSeconds, kChildCpuSeconds + 1) &&
         lowerLimit(RLIMIT_DATA, kChildMemory, kChildMemory) && prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

// Root gives up every id and group. A caller that is not root has no
// privilege to give up and may not change ids, which is then no failure.
bool dropPrivileges() {
  const uid_t id = kUnprivilegedId;
  const bool changed = setgroups(0, nullptr) == 0 && setresgid(id, id, id) == 0 && setresuid(id, id, id) == 0;
  uid_t real = 0, effective = 0, saved = 0;
  if (!changed && (getresuid(&real, &effective, &saved) != 0 || real == 0 || effective == 0 || saved == 0)) {
    return false;
  }
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

#ifdef HOLLIN_PAUSE_POINTS
// Bytes at this address ask the child for its report (see plistChildReport).
constexpr char kReportRequest[] = "report";

std::string selfReport() {
  PlistChildReport report{};
  getresuid(&report.uids[0], &report.uids[1], &report.uids[2]);
  getresgid(&report.gids[0], &report.gids[1], &report.gids[2]);
  report.groups = getgroups(0, nullptr);
  report.noNewPrivileges = prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0);
  report.dumpable = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
  const int resources[] = {RLIMIT_CORE, RLIMIT_FSIZE, RLIMIT_NPROC, RLIMIT_NOFILE,
                           RLIMIT_STACK, RLIMIT_CPU, RLIMIT_DATA};
  for (size_t i = 0; i < std::size(resources); ++i) getrlimit(resources[i], &report.limits[i]);
  for (int fd = 0; fd < 1024; ++fd) report.openDescriptors += fcntl(fd, F_GETFD) >= 0;
  return std::string(reinterpret_cast<const char*>(&report), sizeof report);
}
#endif

[[noreturn]] void runChild(std::string_view bytes, int pipeFd) {
  if (!isolateDescriptors(&pipeFd) || !limitResources() || !dropPrivileges()) _exit(kChildSetupFailed);
#ifdef HOLLIN_PAUSE_POINTS
  if (bytes.data() == kReportRequest) _exit(writeAll(pipeFd, selfReport()) == 0 ? 0 : kChildRefused);
#endif
  PlistRef tree;
  const std::optional<std::string> copy = parseAndEncode(bytes, &tree);
  (void)tree.release();  // ends with the process; see parseAndEncode
  _exit(copy && writeAll(pipeFd, *copy) == 0 ? 0 : kChildRefused);
}

using Clock = std::chrono::steady_clock;

// Waits for `fd` to become readable; false when the deadline passes first.
bool readableBefore(int fd, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

// The child's copy, until it closes the pipe; false past the size bound or
// the deadline.
bool readCopy(int fd, Clock::time_point deadline, std::string* copy) {
  char buffer[65536];
  for (;;) {
    if (!readableBefore(fd, deadline)) return false;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (copy->size() + static_cast<size_t>(n) > kPlistMaxCopySize) return false;
    copy->append(buffer, static_cast<size_t>(n));
  }
}

// Runs the child and collects its copy. The child is always reaped, and
// killed first unless it closed the pipe and ended within the deadline (a
// pidfd becomes readable when its process ends).
bool copyFromChild(std::string_view bytes, std::string* copy) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) runChild(bytes, writeEnd.get());
  writeEnd.reset();
  // glibc 2.36 declares pidfd_open without C linkage for C++; the call itself is plain.
  const UniqueFd process(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  const Clock::time_point deadline = Clock::now() + kChildWallTime;
  const bool finished =
      readCopy(readEnd.get(), deadline, copy) && process.valid() && readableBefore(process.get(), deadline);
  if (!finished) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return finished && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::optional<std::string> checkAndEncodePlist(std::string_view bytes) {
  PlistRef tree;
  return parseAndEncode(bytes, &tree);
}

std::optional<std::string> encodeGuardedPlist(plist_t node) { return encodeWithin(node, kCopyLimits); }

PlistRef decodeGuardedPlist(std::string_view encoded) {
  if (encoded.size() > kPlistMaxCopySize) return nullptr;
  Decoder decoder{encoded};
  PlistRef root = decoder.value(0);
  return decoder.rest.empty() ? std::move(root) : nullptr;
}

#ifdef HOLLIN_PAUSE_POINTS
namespace {
std::atomic<uint64_t> childParses{0};
}
uint64_t plistChildParses() { return childParses; }
#endif

PlistRef parseUntrustedPlist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kPlistMaxFileSize) return nullptr;  // nothing to fork for
#ifdef HOLLIN_PAUSE_POINTS
  ++childParses;
#endif
  std::string copy;
  if (!copyFromChild(bytes, &copy)) return nullptr;
  return decodeGuardedPlist(copy);
}

#ifdef HOLLIN_PAUSE_POINTS
std::optional<PlistChildReport> plistChildReport() {
  std::string copy;
  PlistChildReport report{};
  if (!copyFromChild(kReportRequest, &copy) || copy.size() != sizeof report) return std::nullopt;
  std::memcpy(&report, copy.data(), sizeof report);
  return report;
}
#endif

bool plistIsWritable(plist_t node) { return encodeWithin(node, kWriteLimits).has_value(); }
