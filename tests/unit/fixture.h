#pragma once

// What the unit tests share: a temporary folder removed with everything in it,
// small file helpers, and a private machine root for the identity files and
// the preferences store.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "platform/fd.h"
#include "platform/preferences.h"
#include "platform/test_root.h"

namespace fs = std::filesystem;

namespace fixture {

// Descriptors this process holds now.
inline int openDescriptors() { return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {})); }

inline void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

inline std::string readText(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline std::string attribute(const std::string& path, const char* name) {  // raw; "<absent>" when none
  char value[512];
  const ssize_t n = lgetxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? "<absent>" : std::string(value, static_cast<size_t>(n));
}

inline std::string word(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }  // LE

inline std::string stringAt(const std::string& plistFile, const char* key) {
  return plistString(plist_dict_get_item(parsePlist(readText(plistFile)).get(), key)).value_or("<absent>");
}

inline std::string ownerAndMode(const std::string& path) {  // of the item itself; octal mode with type bits
  struct stat st {};
  char text[64] = "<missing>";
  if (lstat(path.c_str(), &st) == 0) snprintf(text, sizeof text, "%u:%u %o", st.st_uid, st.st_gid, st.st_mode);
  return text;
}

inline std::set<std::string> names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

struct TempDir {
  std::string path = fs::temp_directory_path() / "hollin-unit-XXXXXX";
  TempDir() { EXPECT_TRUE(mkdtemp(path.data())); }
  ~TempDir() {  // immutable and append-only bits go first, or nothing could; links are not followed
    [[maybe_unused]] const int failedOnLinks = std::system(("chattr -R -f -ia " + path + " 2>/dev/null").c_str());
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string at(const std::string& relative) const { return path + "/" + relative; }
};

// Accounts root, bob (501:20, home ROOT/Users/bob), nohome and daemon (home
// "/"); host id "hostid0123". A narrow umask shows any mode left to it.
struct StoreRoot : TempDir {
  const mode_t mask = umask(027);
  StoreRoot() {
    for (const char* place : {"etc", "Library/Preferences", "var/root", "Users/bob"}) fs::create_directories(at(place));
    EXPECT_EQ(0, chown(home().c_str(), 501, 20));
    writeText(at("etc/passwd"), "root:x:0:0::" + at("var/root") + ":/bin/sh\nbob:x:501:20:Bob:" + home() +
                                    ":/bin/sh\nnohome:x:502:20:No Home::/bin/sh\ndaemon:x:1:1::/:/bin/sh\n");
    writeText(at("etc/machine-id"), "hostid0123\nsecond line\n");
    setTestRoot(path);
  }
  ~StoreRoot() { setTestRoot(""); umask(mask); }
  std::string home() const { return at("Users/bob"); }
};

}  // namespace fixture
