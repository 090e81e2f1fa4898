#include "ctl/names.h"

#include "platform/directory.h"

namespace {

constexpr size_t kMaxRememberedEntries = 1024;

template <typename Id>
std::string idText(const std::unordered_map<Id, std::string>& table, Id id) {
  const auto found = table.find(id);
  return found != table.end() ? found->second : std::to_string(id);
}

}  // namespace

NameBook readNameBook() {
  NameBook book;
  book.identities = readIdentityFiles();
  indexQualifiers(book.identities);
  for (const AccountRecord& account : book.identities.accounts) book.users.try_emplace(account.uid, account.shortName);
  for (const GroupRecord& group : book.identities.groups) book.groups.try_emplace(group.gid, group.name);
  return book;
}

std::string userName(const NameBook& book, uid_t uid) { return idText(book.users, uid); }

std::string groupName(const NameBook& book, gid_t gid) { return idText(book.groups, gid); }

const std::string& entryText(NameBook& book, const hostacl::AclEntry& entry) {
  if (book.entries.size() >= kMaxRememberedEntries) book.entries.clear();
  auto [slot, added] = book.entries.try_emplace(hostacl::encodeAcl({entry}));
  if (added) slot->second = hostacl::formatAclEntry(entry, book.identities);
  return slot->second;
}
