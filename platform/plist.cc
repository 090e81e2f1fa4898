#include "platform/plist.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "platform/admin/trusted.h"
#include "platform/below/beneath.h"
#include "platform/fd.h"
#include "platform/plist_guard.h"

namespace {

uint64_t gCounter = 0;

// Reads an open regular file whole, refusing anything above the size limit so
// that a planted giant file cannot make root allocate without bound. Returns 0
// or -errno.
int readOpenFile(int fd, std::string* bytes) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return -errno;
  if (S_ISDIR(st.st_mode)) return -EISDIR;
  if (!S_ISREG(st.st_mode)) return -EINVAL;
  if (static_cast<uint64_t>(st.st_size) > kPlistMaxFileSize) return -EFBIG;
  bytes->clear();
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) return 0;
    if (bytes->size() + static_cast<size_t>(n) > kPlistMaxFileSize) return -EFBIG;
    bytes->append(buffer, static_cast<size_t>(n));
  }
}

// Opens without blocking so that a fifo at the path cannot stall the reader;
// the regular-file check comes right after. Any failure reads as none.
PlistRef readPlistPath(const std::string& path) {
  const int opened = openTrusted(path, O_RDONLY | O_NONBLOCK, FinalLink::Follow);
  if (opened < 0) return nullptr;
  UniqueFd fd(opened);
  std::string bytes;
  if (readOpenFile(fd.get(), &bytes) != 0) return nullptr;
  return parsePlist(bytes);
}

PlistRef keepIf(PlistRef node, bool (*test)(plist_t)) {
  if (node && !test(node.get())) return nullptr;
  return node;
}

std::string randomSuffix() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char raw[8] = {};
  if (getrandom(raw, sizeof raw, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof raw)) {
    // Unpredictability only spares a retry; exclusive creation keeps it safe.
    uint64_t mix = static_cast<uint64_t>(time(nullptr)) ^ (static_cast<uint64_t>(getpid()) << 20) ^ ++gCounter;
    for (auto& c : raw) {
      c = static_cast<unsigned char>(mix);
      mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
    }
  }
  std::string suffix;
  for (unsigned char c : raw) suffix += kLetters[c % (sizeof kLetters - 1)];
  return suffix;
}

// A fresh temporary file beside `name`: exclusive creation, never through a
// link, readable by no one else until its final mode is set. Returns the
// descriptor, or -errno.
int createTemporaryAt(int dirFd, const std::string& name, std::string* temporaryName) {
  int error = -EEXIST;
  for (int attempt = 0; attempt < 16 && error == -EEXIST; ++attempt) {
    *temporaryName = "." + name + "." + randomSuffix();
    const int fd = openat(dirFd, temporaryName->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    error = -errno;
  }
  return error;
}

int fillTemporary(int fd, const std::string& bytes, const PlistFileAttributes& attributes) {
  if (attributes.owner || attributes.group) {
    const uid_t uid = attributes.owner ? *attributes.owner : static_cast<uid_t>(-1);
    const gid_t gid = attributes.group ? *attributes.group : static_cast<gid_t>(-1);
    if (fchown(fd, uid, gid) != 0) return -errno;
  }
  if (fchmod(fd, attributes.mode) != 0) return -errno;
  if (const int error = writeAll(fd, bytes); error != 0) return error;
  return fsync(fd) == 0 ? 0 : -errno;
}

}  // namespace

namespace {

// The last property list this process wrote, as the bytes of the file and the
// tree they were made from. A step that reads back a file an earlier step of
// the run has just written (the preferences of a new home are merged, then
// given the locale) finds those very bytes, and takes a copy of the tree:
// no parser runs on them, so none needs a child; any other bytes, however
// close, are parsed in the child.
struct LastWritten {
  std::mutex lock;
  std::string bytes;
  PlistRef tree;
};

LastWritten& lastWritten() {
  static LastWritten last;
  return last;
}

void rememberWritten(const std::string& bytes, plist_t node) {
  LastWritten& last = lastWritten();
  const std::lock_guard<std::mutex> held(last.lock);
  last.bytes = bytes;
  last.tree.reset(plist_copy(node));
}

}  // namespace

PlistRef parsePlist(const std::string& bytes) {
  {
    LastWritten& last = lastWritten();
    const std::lock_guard<std::mutex> held(last.lock);
    if (last.tree && bytes == last.bytes) return PlistRef(plist_copy(last.tree.get()));
  }
  return parseUntrustedPlist(bytes);
}

bool isPlistDictionary(plist_t node) { return node != nullptr && plist_get_node_type(node) == PLIST_DICT; }

bool isPlistArray(plist_t node) { return node != nullptr && plist_get_node_type(node) == PLIST_ARRAY; }

std::optional<std::string> plistString(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr) return std::nullopt;
  return std::string(text, static_cast<size_t>(length));
}

PlistRef readPlistDictionary(const std::string& path) { return keepIf(readPlistPath(path), isPlistDictionary); }

PlistRef readPlistArray(const std::string& path) { return keepIf(readPlistPath(path), isPlistArray); }

std::optional<std::string> readFileBeneath(int dirFd, const std::string& relative, int* error) {
  const int fd = openBeneath(dirFd, relative, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  UniqueFd holder(fd < 0 ? -1 : fd);
  std::string bytes;
  const int failed = fd < 0 ? fd : readOpenFile(holder.get(), &bytes);
  if (failed == 0) return bytes;
  if (error) *error = failed;
  return std::nullopt;
}

PlistRef readPlistDictionaryBeneath(int dirFd, const std::string& relative) {
  const std::optional<std::string> bytes = readFileBeneath(dirFd, relative, nullptr);
  if (!bytes) return nullptr;
  return keepIf(parsePlist(*bytes), isPlistDictionary);
}

std::string plistToXml(plist_t node) {
  if (!plistIsWritable(node)) return std::string();
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  if (xml == nullptr) return std::string();
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

int writePlistAt(int dirFd, const std::string& name, plist_t node, const PlistFileAttributes& attributes) {
  if (node == nullptr || name.empty() || name.find('/') != std::string::npos) return -EINVAL;
  const std::string bytes = plistToXml(node);
  if (bytes.empty()) return -EINVAL;
  std::string temporaryName;
  const int created = createTemporaryAt(dirFd, name, &temporaryName);
  if (created < 0) return created;
  UniqueFd fd(created);
  int error = fillTemporary(fd.get(), bytes, attributes);
  fd.reset();
  if (error == 0 && renameat(dirFd, temporaryName.c_str(), dirFd, name.c_str()) != 0) error = -errno;
  if (error != 0) {
    // Not examined: the write has failed already, and that failure is the one to tell.
    unlinkat(dirFd, temporaryName.c_str(), 0);
    return error;
  }
  // Not examined: the file is in place; a failed flush of the folder loses nothing already renamed.
  fsync(dirFd);
  rememberWritten(bytes, node);
  return 0;
}
