// Identity directory readers: each record has a usable name and reads back from
// its own line, the file readers agree, and lookups give the first record that fits.

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/directory.h"
#include "tests/fuzz/fuzz_support.h"

// Found by argument lookup from the comparisons of vectors and optionals.
static bool operator==(const AccountRecord& a, const AccountRecord& b) {
  return a.shortName == b.shortName && a.fullName == b.fullName && a.home == b.home && a.uid == b.uid && a.gid == b.gid;
}
static bool operator==(const GroupRecord& a, const GroupRecord& b) { return a.name == b.name && a.gid == b.gid; }

namespace {

bool holdsAny(std::string_view text, std::string_view characters) {
  return text.find_first_of(characters) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<AccountRecord> accounts = parseAccounts(text);
  const std::vector<GroupRecord> groups = parseGroups(text);
  for (const AccountRecord& a : accounts) {
    FUZZ_CHECK(!a.shortName.empty() && !holdsAny(a.shortName + a.home, ":\n") && !holdsAny(a.fullName, ":,\n"));
    FUZZ_CHECK(parseAccounts(a.shortName + ":*:" + std::to_string(a.uid) + ":" + std::to_string(a.gid) + ":" +
                             a.fullName + ",x:" + a.home + ":/bin/sh") == std::vector{a});
  }
  for (const GroupRecord& g : groups) {
    FUZZ_CHECK(!g.name.empty() && !holdsAny(g.name, ":\n"));
    FUZZ_CHECK(parseGroups(g.name + ":*:" + std::to_string(g.gid) + ":") == std::vector{g});
  }

  // One file whose content each run replaces, read by the path-taking calls.
  static int fd = -1;
  static const std::string scratch = fuzz::memoryFile("directory", "", &fd);
  FUZZ_CHECK(ftruncate(fd, 0) == 0 && pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()));
  const char* file = scratch.c_str();
  FUZZ_CHECK(readAccounts(file) == accounts);
  FUZZ_CHECK(readGroups(file) == groups);
  // Lookups read the whole file each time; the first few records are enough.
  for (size_t i = 0; i < accounts.size() && i < 4; ++i) {
    const AccountRecord& a = accounts[i];
    FUZZ_CHECK(accountByShortName(a.shortName, file) ==
               *std::ranges::find(accounts, a.shortName, &AccountRecord::shortName));
    FUZZ_CHECK(accountByUid(a.uid, file) == *std::ranges::find(accounts, a.uid, &AccountRecord::uid));
  }
  for (size_t i = 0; i < groups.size() && i < 4; ++i) {
    const GroupRecord& first = *std::ranges::find(groups, groups[i].name, &GroupRecord::name);
    // The group of every user is known without a line, whatever the file says.
    const Uuid expected = first.name == "everyone" ? *parseUuid(EveryoneGroupUUID) : groupUuid(first.gid);
    FUZZ_CHECK(groupUuidByName(first.name, file) == expected);
  }
  return 0;
}
