// Access-list entries as `chmod +a` takes them: a refusal always says why, and
// an entry that parses is shown as text that parses to the same entry.

#include "platform/acl.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::useFixedDirectory();
  std::string error;
  const auto entry = hostacl::parseAclEntry(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  FUZZ_CHECK(entry || !error.empty());
  if (!entry) return 0;
  FUZZ_CHECK((entry->kind == hostacl::ACL_EXTENDED_ALLOW || entry->kind == hostacl::ACL_EXTENDED_DENY) &&
             (entry->perms | entry->flags));
  FUZZ_CHECK(hostacl::parseAclEntry(hostacl::formatAclEntry(*entry), &error) == entry);
  return 0;
}
