// The identity directory's readers on any file text: every record has a
// usable name, a record written back as a line reads as itself, the file
// readers see what the text parser sees, and each lookup answers with the
// first record that fits.

#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Lookups read the whole file each time; the first few records are enough.
constexpr size_t kLookups = 4;

bool sameAccount(const AccountRecord& a, const AccountRecord& b) {
  return a.shortName == b.shortName && a.fullName == b.fullName && a.home == b.home && a.uid == b.uid &&
         a.gid == b.gid;
}

bool sameAccounts(const std::vector<AccountRecord>& a, const std::vector<AccountRecord>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!sameAccount(a[i], b[i])) return false;
  }
  return true;
}

bool sameGroups(const std::vector<GroupRecord>& a, const std::vector<GroupRecord>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].gid != b[i].gid) return false;
  }
  return true;
}

bool holdsAny(std::string_view text, std::string_view characters) {
  return text.find_first_of(characters) != std::string_view::npos;
}

// One file whose content each run replaces, read by the path-taking calls.
const std::string& scratchFile(std::string_view text) {
  static int fd = -1;
  static const std::string path = fuzz::memoryFile("directory", "", &fd);
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()));
  return path;
}

void checkAccount(const AccountRecord& a) {
  FUZZ_CHECK(!a.shortName.empty() && !holdsAny(a.shortName, ":\n"));
  FUZZ_CHECK(!holdsAny(a.fullName, ":,\n") && !holdsAny(a.home, ":\n"));
  const std::string line = a.shortName + ":*:" + std::to_string(a.uid) + ":" + std::to_string(a.gid) + ":" +
                           a.fullName + ",x:" + a.home + ":/bin/sh";
  const std::vector<AccountRecord> back = parseAccounts(line);
  FUZZ_CHECK(back.size() == 1 && sameAccount(back[0], a));
}

void checkGroup(const GroupRecord& g) {
  FUZZ_CHECK(!g.name.empty() && !holdsAny(g.name, ":\n"));
  const std::vector<GroupRecord> back = parseGroups(g.name + ":*:" + std::to_string(g.gid) + ":");
  FUZZ_CHECK(back.size() == 1 && back[0].name == g.name && back[0].gid == g.gid);
}

void checkLookups(const char* file, const std::vector<AccountRecord>& accounts,
                  const std::vector<GroupRecord>& groups) {
  for (size_t i = 0; i < accounts.size() && i < kLookups; ++i) {
    const AccountRecord& a = accounts[i];
    size_t first = 0;
    while (accounts[first].shortName != a.shortName) ++first;
    const std::optional<AccountRecord> byName = accountByShortName(a.shortName, file);
    FUZZ_CHECK(byName && sameAccount(*byName, accounts[first]));
    first = 0;
    while (accounts[first].uid != a.uid) ++first;
    const std::optional<AccountRecord> byUid = accountByUid(a.uid, file);
    FUZZ_CHECK(byUid && sameAccount(*byUid, accounts[first]));
  }
  for (size_t i = 0; i < groups.size() && i < kLookups; ++i) {
    size_t first = 0;
    while (groups[first].name != groups[i].name) ++first;
    const std::optional<Uuid> uuid = groupUuidByName(groups[i].name, file);
    // The group of every user is known without a line, whatever the file says.
    const Uuid expected = groups[i].name == "everyone" ? *parseUuid(EveryoneGroupUUID) : groupUuid(groups[first].gid);
    FUZZ_CHECK(uuid && *uuid == expected);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<AccountRecord> accounts = parseAccounts(text);
  const std::vector<GroupRecord> groups = parseGroups(text);
  for (const AccountRecord& a : accounts) checkAccount(a);
  for (const GroupRecord& g : groups) checkGroup(g);

  const std::string& file = scratchFile(text);
  const std::optional<std::vector<AccountRecord>> read = readAccounts(file.c_str());
  FUZZ_CHECK(read && sameAccounts(*read, accounts));
  const std::optional<std::vector<GroupRecord>> readG = readGroups(file.c_str());
  FUZZ_CHECK(readG && sameGroups(*readG, groups));
  checkLookups(file.c_str(), accounts, groups);
  return 0;
}
