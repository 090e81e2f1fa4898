#include "platform/directory.h"

#include <fstream>
#include <string>

namespace {

// The group that holds every user has no line of its own.
constexpr const char* kEveryoneName = "everyone";

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t colon = line.find(':', start);
    fields.push_back(line.substr(start, colon - start));
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

std::optional<AccountRecord> parseAccount(const std::string& line) {
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

std::optional<std::vector<AccountRecord>> readAccounts(const char* passwdFile) {
  std::ifstream in(passwdFile);
  if (!in) return std::nullopt;
  std::vector<AccountRecord> accounts;
  for (std::string line; std::getline(in, line);) {
    if (std::optional<AccountRecord> record = parseAccount(line)) accounts.push_back(std::move(*record));
  }
  return accounts;
}

std::optional<std::vector<GroupRecord>> readGroups(const char* groupFile) {
  std::ifstream in(groupFile);
  if (!in) return std::nullopt;
  std::vector<GroupRecord> groups;
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> f = splitFields(line);
    if (f.size() < 3 || f[0].empty()) continue;
    if (const std::optional<uint32_t> gid = parseId(f[2])) groups.push_back({f[0], *gid});
  }
  return groups;
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
  for (const GroupRecord& g : *groups) {
    if (g.name == name) return groupUuid(g.gid);
  }
  return std::nullopt;
}

Uuid accountUuid(uid_t uid) { return directoryUuid("user:" + std::to_string(uid)); }

Uuid groupUuid(gid_t gid) { return directoryUuid("group:" + std::to_string(gid)); }

std::string qualifierName(const Uuid& uuid) {
  if (uuid == parseUuid(EveryoneGroupUUID)) return std::string("group:") + kEveryoneName;
  if (const auto accounts = readAccounts()) {
    for (const AccountRecord& a : *accounts) {
      if (accountUuid(a.uid) == uuid) return a.shortName;
    }
  }
  if (const auto groups = readGroups()) {
    for (const GroupRecord& g : *groups) {
      if (groupUuid(g.gid) == uuid) return "group:" + g.name;
    }
  }
  return formatUuid(uuid);
}
