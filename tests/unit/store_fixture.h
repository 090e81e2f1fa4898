#pragma once

// A private machine root for the preferences store: its own /etc/passwd,
// /etc/machine-id and /Library/Preferences under a fresh temporary folder,
// with homes inside it. Removed with everything in it at the end.

#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/plist.h"
#include "platform/preferences.h"

namespace store_fixture {

inline void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

inline void makeFolders(const std::string& path) {
  std::string sofar;
  std::stringstream parts(path);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    sofar += "/" + part;
    mkdir(sofar.c_str(), 0755);
  }
}

inline bool isLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

inline bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

inline void writePlist(const std::string& path, plist_t node) { writeText(path, plistToXml(node)); }

inline PlistRef readPlistFile(const std::string& path) { return parsePlist(readText(path)); }

inline PlistRef dictionaryOf(std::initializer_list<std::pair<const char*, const char*>> entries) {
  PlistRef dictionary(plist_new_dict());
  for (const auto& [key, value] : entries) plist_dict_set_item(dictionary.get(), key, plist_new_string(value));
  return dictionary;
}

inline PlistRef arrayOf(std::initializer_list<const char*> items) {
  PlistRef array(plist_new_array());
  for (const char* item : items) plist_array_append_item(array.get(), plist_new_string(item));
  return array;
}

inline std::string stringAt(plist_t dictionary, const char* key) {
  if (!isPlistDictionary(dictionary)) return "<not a dictionary>";
  return plistString(plist_dict_get_item(dictionary, key)).value_or("<absent>");
}

inline int removeOne(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

struct TempTree {
  std::string root;
  TempTree() {
    char name[] = "/tmp/hollin-prefs-XXXXXX";
    root = mkdtemp(name);
  }
  ~TempTree() { nftw(root.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS); }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;
  std::string at(const std::string& relative) const { return root + "/" + relative; }
};

// Accounts: root (home ROOT/var/root), bob (uid 501, gid 20, home
// ROOT/Users/bob), nohome (no home), daemon (home "/"), relative (a relative
// home). Host id "hostid0123".
struct StoreRoot : TempTree {
  static constexpr const char* kHostId = "hostid0123";
  StoreRoot() {
    makeFolders(at("etc"));
    makeFolders(at("Library/Preferences"));
    makeFolders(at("var/root"));
    makeFolders(at("Users/bob"));
    EXPECT_EQ(0, chown(at("Users/bob").c_str(), 501, 20));
    writeText(at("etc/passwd"), "root:x:0:0:System Administrator:" + at("var/root") + ":/bin/sh\n" +
                                    "bob:x:501:20:Bob:" + at("Users/bob") + ":/bin/sh\n" +
                                    "nohome:x:502:20:No Home::/bin/sh\n"
                                    "daemon:x:1:1:daemon:/:/usr/sbin/nologin\n"
                                    "relative:x:503:20:Relative:Users/relative:/bin/sh\n");
    writeText(at("etc/machine-id"), std::string(kHostId) + "\nsecond line\n");
    setPreferencesTestRoot(root);
  }
  ~StoreRoot() { setPreferencesTestRoot(""); }
  std::string home() const { return at("Users/bob"); }
  std::string machineFile(const std::string& domain, bool currentHost) const {
    return currentHost ? at("Library/Preferences/ByHost/" + domain + "." + kHostId + ".plist")
                       : at("Library/Preferences/" + domain + ".plist");
  }
  std::string userFile(const std::string& home, const std::string& domain, bool currentHost) const {
    return currentHost ? home + "/Library/Preferences/ByHost/" + domain + "." + kHostId + ".plist"
                       : home + "/Library/Preferences/" + domain + ".plist";
  }
};

}  // namespace store_fixture
