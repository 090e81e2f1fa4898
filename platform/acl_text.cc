// Text form of access-list entries, as `chmod +a` takes them and `hostls`
// shows them: "QUALIFIER KIND PERM[,PERM...]".

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/acl_codec.h"
#include "platform/directory.h"

namespace hostacl {

namespace {

struct Name {
  const char* text;
  uint32_t value;
  bool isFlag;
};

// Permissions, then inheritance flags, in the order the text form writes them.
constexpr Name kNames[] = {
    {"list", ACL_LIST_DIRECTORY, false},
    {"add_file", ACL_ADD_FILE, false},
    {"search", ACL_SEARCH, false},
    {"delete", ACL_DELETE, false},
    {"add_subdirectory", ACL_ADD_SUBDIRECTORY, false},
    {"delete_child", ACL_DELETE_CHILD, false},
    {"readattr", ACL_READ_ATTRIBUTES, false},
    {"writeattr", ACL_WRITE_ATTRIBUTES, false},
    {"readextattr", ACL_READ_EXTATTRIBUTES, false},
    {"writeextattr", ACL_WRITE_EXTATTRIBUTES, false},
    {"readsecurity", ACL_READ_SECURITY, false},
    {"writesecurity", ACL_WRITE_SECURITY, false},
    {"chown", ACL_CHANGE_OWNER, false},
    {"file_inherit", ACL_ENTRY_FILE_INHERIT, true},
    {"directory_inherit", ACL_ENTRY_DIRECTORY_INHERIT, true},
};

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

// Names the set bits of `value` from the table part chosen by `flags`; bits
// with no name are written in hexadecimal so that nothing is hidden.
void appendNames(std::string& out, uint32_t value, bool flags) {
  for (const Name& name : kNames) {
    if (name.isFlag != flags || !(value & name.value)) continue;
    if (!out.empty() && out.back() != ' ') out += ',';
    out += name.text;
    value &= ~name.value;
  }
  if (value) {
    if (!out.empty() && out.back() != ' ') out += ',';
    out += hex(value);
  }
}

std::vector<std::string_view> splitBlanks(std::string_view text) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(" \t\n", at);
    if (start == std::string_view::npos) break;
    size_t end = text.find_first_of(" \t\n", start);
    if (end == std::string_view::npos) end = text.size();
    words.push_back(text.substr(start, end - start));
    at = end;
  }
  return words;
}

std::optional<Uuid> resolveQualifier(std::string_view text, std::string* error, const IdentityFiles& identities) {
  constexpr std::string_view kUser = "user:";
  constexpr std::string_view kGroup = "group:";
  if (text.starts_with(kGroup)) {
    const std::string_view name = text.substr(kGroup.size());
    if (std::optional<Uuid> uuid = groupUuidByName(name, identities.groups)) return uuid;
    if (error) *error = "unknown group '" + std::string(name) + "'";
    return std::nullopt;
  }
  const std::string_view name = text.starts_with(kUser) ? text.substr(kUser.size()) : text;
  const auto account = std::ranges::find(identities.accounts, name, &AccountRecord::shortName);
  if (account != identities.accounts.end()) return accountUuid(account->uid);
  // The text form writes a qualifier nobody has as its UUID; take it back.
  if (std::optional<Uuid> uuid = parseUuid(name)) return uuid;
  if (error) *error = "unknown user '" + std::string(name) + "'";
  return std::nullopt;
}

bool parseNames(std::string_view list, AclEntry* entry, std::string* error) {
  size_t at = 0;
  for (;;) {
    const size_t comma = std::min(list.find(',', at), list.size());
    const std::string_view word = list.substr(at, comma - at);
    const Name* found = std::find_if(std::begin(kNames), std::end(kNames),
                                     [&](const Name& n) { return word == n.text; });
    if (found == std::end(kNames)) {
      if (error) *error = "unknown permission '" + std::string(word) + "'";
      return false;
    }
    (found->isFlag ? entry->flags : entry->perms) |= found->value;
    if (comma == list.size()) return true;
    at = comma + 1;
  }
}

}  // namespace

std::string formatAclEntry(const AclEntry& entry, const IdentityFiles& identities) {
  std::string out = qualifierName(entry.qualifier, identities);
  if (entry.kind == ACL_EXTENDED_ALLOW) {
    out += " allow ";
  } else if (entry.kind == ACL_EXTENDED_DENY) {
    out += " deny ";
  } else {
    out += ' ';  // appended piece by piece: GCC 12 misreads a chain of + here
    out += hex(entry.kind);
    out += ' ';
  }
  appendNames(out, entry.perms, false);
  appendNames(out, entry.flags, true);
  return out;
}

std::optional<AclEntry> parseAclEntry(std::string_view text, std::string* error, const IdentityFiles& identities) {
  const std::vector<std::string_view> words = splitBlanks(text);
  if (words.size() != 3) {
    if (error) *error = "malformed entry '" + std::string(text) + "': want QUALIFIER allow|deny PERM[,PERM...]";
    return std::nullopt;
  }
  AclEntry entry;
  if (words[1] == "allow") {
    entry.kind = ACL_EXTENDED_ALLOW;
  } else if (words[1] == "deny") {
    entry.kind = ACL_EXTENDED_DENY;
  } else {
    if (error) *error = "unknown entry kind '" + std::string(words[1]) + "'";
    return std::nullopt;
  }
  if (!parseNames(words[2], &entry, error)) return std::nullopt;
  std::optional<Uuid> qualifier = resolveQualifier(words[0], error, identities);
  if (!qualifier) return std::nullopt;
  entry.qualifier = *qualifier;
  return entry;
}

std::string formatAclEntry(const AclEntry& entry) { return formatAclEntry(entry, readIdentityFiles()); }

std::optional<AclEntry> parseAclEntry(std::string_view text, std::string* error) {
  return parseAclEntry(text, error, readIdentityFiles());
}

bool insertAclEntry(std::vector<AclEntry>& entries, const AclEntry& entry) {
  if (std::find(entries.begin(), entries.end(), entry) != entries.end()) return false;
  if (entry.kind != ACL_EXTENDED_DENY) {
    entries.push_back(entry);
    return true;
  }
  // After the deny entries already there, before the first allow entry.
  const auto firstAllow = std::find_if(entries.begin(), entries.end(),
                                       [](const AclEntry& e) { return e.kind != ACL_EXTENDED_DENY; });
  entries.insert(firstAllow, entry);
  return true;
}

}  // namespace hostacl
