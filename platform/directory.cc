#include "platform/directory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/fd.h"
#include "platform/test_root.h"

namespace {

// The group that holds every user has no line of its own.
constexpr const char* kEveryoneName = "everyone";

std::string passwdOrDefault(const char* file) { return file ? file : fixedPlace(kPasswdFile); }
std::string groupOrDefault(const char* file) { return file ? file : fixedPlace(kGroupFile); }

// The whole file; none when it cannot be opened or read.
std::optional<std::string> readText(const std::string& path) {
  // one way in: the identity files lie where only root writes (tests hand in
  // descriptors by their /proc name, which only a plain open follows).
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  char buffer[16384];
  for (;;) {
    const ssize_t got = read(fd.get(), buffer, sizeof buffer);
    if (got == 0) return text;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    text.append(buffer, static_cast<size_t>(got));
  }
}

// Calls `take` with each line of `text`, without its line feed.
template <typename Take>
void forEachLine(std::string_view text, Take take) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    take(text.substr(0, end));
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

std::vector<std::string> splitFields(std::string_view line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t colon = line.find(':', start);
    fields.emplace_back(line.substr(start, colon - start));
    if (colon == std::string::npos) return fields;
    start = colon + 1;
  }
}

// Ids on the wire are decimal; a line whose id does not parse is ignored.
std::optional<uint32_t> parseId(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<AccountRecord> parseAccount(std::string_view line) {
  const std::vector<std::string> f = splitFields(line);
  if (f.size() < 7 || f[0].empty()) return std::nullopt;
  const std::optional<uint32_t> uid = parseId(f[2]);
  const std::optional<uint32_t> gid = parseId(f[3]);
  if (!uid || !gid) return std::nullopt;
  AccountRecord record;
  record.shortName = f[0];
  record.uid = *uid;
  record.gid = *gid;
  record.fullName = f[4].substr(0, f[4].find(','));
  record.home = f[5];
  return record;
}

}  // namespace

std::vector<AccountRecord> parseAccounts(std::string_view text) {
  std::vector<AccountRecord> accounts;
  forEachLine(text, [&](std::string_view line) {
    if (std::optional<AccountRecord> record = parseAccount(line)) accounts.push_back(std::move(*record));
  });
  return accounts;
}

std::vector<GroupRecord> parseGroups(std::string_view text) {
  std::vector<GroupRecord> groups;
  forEachLine(text, [&](std::string_view line) {
    const std::vector<std::string> f = splitFields(line);
    if (f.size() < 3 || f[0].empty()) return;
    if (const std::optional<uint32_t> gid = parseId(f[2])) groups.push_back({f[0], *gid});
  });
  return groups;
}

std::optional<std::vector<AccountRecord>> readAccounts(const char* passwdFile) {
  const std::optional<std::string> text = readText(passwdOrDefault(passwdFile));
  if (!text) return std::nullopt;
  return parseAccounts(*text);
}

std::optional<std::vector<GroupRecord>> readGroups(const char* groupFile) {
  const std::optional<std::string> text = readText(groupOrDefault(groupFile));
  if (!text) return std::nullopt;
  return parseGroups(*text);
}

std::optional<AccountRecord> accountByShortName(std::string_view name, const char* passwdFile) {
  const auto accounts = readAccounts(passwdFile);
  if (!accounts) return std::nullopt;
  for (const AccountRecord& a : *accounts) {
    if (a.shortName == name) return a;
  }
  return std::nullopt;
}

std::optional<AccountRecord> accountByUid(uid_t uid, const char* passwdFile) {
  const auto accounts = readAccounts(passwdFile);
  if (!accounts) return std::nullopt;
  for (const AccountRecord& a : *accounts) {
    if (a.uid == uid) return a;
  }
  return std::nullopt;
}

std::optional<Uuid> groupUuidByName(std::string_view name, const char* groupFile) {
  if (name == kEveryoneName) return parseUuid(EveryoneGroupUUID);
  const auto groups = readGroups(groupFile);
  if (!groups) return std::nullopt;
  return groupUuidByName(name, *groups);
}

std::optional<Uuid> groupUuidByName(std::string_view name, const std::vector<GroupRecord>& groups) {
  if (name == kEveryoneName) return parseUuid(EveryoneGroupUUID);
  for (const GroupRecord& g : groups) {
    if (g.name == name) return groupUuid(g.gid);
  }
  return std::nullopt;
}

IdentityFiles readIdentityFiles() {
  IdentityFiles identities;
  if (auto accounts = readAccounts()) identities.accounts = std::move(*accounts);
  if (auto groups = readGroups()) identities.groups = std::move(*groups);
  return identities;
}

Uuid accountUuid(uid_t uid) { return directoryUuid("user:" + std::to_string(uid)); }

Uuid groupUuid(gid_t gid) { return directoryUuid("group:" + std::to_string(gid)); }

namespace {

std::string uuidKey(const Uuid& uuid) { return std::string(uuid.bytes.begin(), uuid.bytes.end()); }

}  // namespace

void indexQualifiers(IdentityFiles& identities) {
  identities.qualifiers.clear();
  // The first account with an id names it, and accounts before groups: as the scan below.
  for (const AccountRecord& a : identities.accounts) identities.qualifiers.try_emplace(uuidKey(accountUuid(a.uid)), a.shortName);
  for (const GroupRecord& g : identities.groups) identities.qualifiers.try_emplace(uuidKey(groupUuid(g.gid)), "group:" + g.name);
}

std::string qualifierName(const Uuid& uuid, const IdentityFiles& identities) {
  if (uuid == parseUuid(EveryoneGroupUUID)) return std::string("group:") + kEveryoneName;
  if (!identities.qualifiers.empty()) {
    const auto found = identities.qualifiers.find(uuidKey(uuid));
    return found != identities.qualifiers.end() ? found->second : formatUuid(uuid);
  }
  for (const AccountRecord& a : identities.accounts) {
    if (accountUuid(a.uid) == uuid) return a.shortName;
  }
  for (const GroupRecord& g : identities.groups) {
    if (groupUuid(g.gid) == uuid) return "group:" + g.name;
  }
  return formatUuid(uuid);
}

std::optional<uint32_t> plainIdNumber(const std::string& text) {
  // The highest id is what the owner calls read as "leave it as it is":
  // never an id to hand out.
  const std::optional<uint32_t> value = parseId(text);
  if (!value || *value == UINT32_MAX) return std::nullopt;
  return value;
}

std::optional<gid_t> groupIdOf(const std::string& text, const char* groupFile) {
  if (const std::optional<std::vector<GroupRecord>> groups = readGroups(groupFile)) {
    for (const GroupRecord& group : *groups) {
      if (group.name == text) return group.gid;
    }
  }
  return plainIdNumber(text);
}
