// Stored access lists: a value that decodes is stored again byte for byte, and
// each entry's text form reads back as it whenever text can say it at all.

#include "platform/acl.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using hostacl::AclEntry;

// Kinds and bits without a name are shown in hexadecimal, which `chmod +a`
// refuses, and an entry with no bit at all shows no permission word.
bool sayableAsText(const AclEntry& e) {
  constexpr uint32_t kNamedPerms = 0x3ffe;
  constexpr uint32_t kNamedFlags = hostacl::ACL_ENTRY_FILE_INHERIT | hostacl::ACL_ENTRY_DIRECTORY_INHERIT;
  return (e.kind == hostacl::ACL_EXTENDED_ALLOW || e.kind == hostacl::ACL_EXTENDED_DENY) &&
         !(e.perms & ~kNamedPerms) && !(e.flags & ~kNamedFlags) && (e.perms | e.flags);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::useFixedDirectory();
  // Read once, as a listing of many entries reads them (the text target goes
  // through the one-entry calls, as chmod +a does).
  static const IdentityFiles identities = readIdentityFiles();
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  const std::optional<std::vector<AclEntry>> entries = hostacl::decodeAcl(value);
  if (!entries) return 0;
  // A header counting no entries decodes, but the empty list is stored as nothing.
  const std::string stored = hostacl::encodeAcl(*entries);
  FUZZ_CHECK(entries->empty() ? stored.empty() : stored == value && hostacl::decodeAcl(stored) == entries);
  for (const AclEntry& entry : *entries) {
    const std::optional<AclEntry> taken =
        hostacl::parseAclEntry(hostacl::formatAclEntry(entry, identities), nullptr, identities);
    FUZZ_CHECK(sayableAsText(entry) ? taken == entry : !taken);
  }
  return 0;
}
