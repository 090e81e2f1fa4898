// The text form of access-list entries as `chmod +a` takes it: an entry that
// parses is shown by `formatAclEntry` as text that parses to the same entry,
// and a refusal always says why.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/acl.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::useFixedDirectory();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<hostacl::AclEntry> entry = hostacl::parseAclEntry(text, &error);
  if (!entry) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(entry->kind == hostacl::ACL_EXTENDED_ALLOW || entry->kind == hostacl::ACL_EXTENDED_DENY);
  FUZZ_CHECK(entry->perms | entry->flags);
  const std::string shown = hostacl::formatAclEntry(*entry);
  const std::optional<hostacl::AclEntry> again = hostacl::parseAclEntry(shown, &error);
  FUZZ_CHECK(again && *again == *entry);
  return 0;
}
