// The stored form of access lists: a value that decodes is stored again byte
// for byte and decodes to the same entries, and each entry's text form reads
// back as the same entry whenever the text form can say it at all.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/acl.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using hostacl::AclEntry;

constexpr uint32_t kNamedPerms = 0x3ffe;
constexpr uint32_t kNamedFlags = hostacl::ACL_ENTRY_FILE_INHERIT | hostacl::ACL_ENTRY_DIRECTORY_INHERIT;

// Kinds and bits without a name are shown in hexadecimal, which `chmod +a`
// refuses, and an entry with no bit at all shows no permission word.
bool sayableAsText(const AclEntry& entry) {
  const bool knownKind = entry.kind == hostacl::ACL_EXTENDED_ALLOW || entry.kind == hostacl::ACL_EXTENDED_DENY;
  return knownKind && !(entry.perms & ~kNamedPerms) && !(entry.flags & ~kNamedFlags) && (entry.perms | entry.flags);
}

void checkText(const AclEntry& entry) {
  const std::string shown = hostacl::formatAclEntry(entry);
  const std::optional<AclEntry> taken = hostacl::parseAclEntry(shown, nullptr);
  if (sayableAsText(entry)) {
    FUZZ_CHECK(taken && *taken == entry);
  } else {
    FUZZ_CHECK(!taken);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::useFixedDirectory();
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  const std::optional<std::vector<AclEntry>> entries = hostacl::decodeAcl(value);
  if (!entries) return 0;
  const std::string stored = hostacl::encodeAcl(*entries);
  // A header that counts no entries decodes, but the empty list is stored as
  // no attribute at all, so it encodes to nothing rather than to the header.
  if (entries->empty()) {
    FUZZ_CHECK(stored.empty());
    return 0;
  }
  FUZZ_CHECK(stored == value);
  const std::optional<std::vector<AclEntry>> again = hostacl::decodeAcl(stored);
  FUZZ_CHECK(again && *again == *entries);
  // Each text form costs two reads of the directory files; a few entries say
  // all there is to say about it.
  for (size_t i = 0; i < entries->size() && i < 4; ++i) checkText((*entries)[i]);
  return 0;
}
