// The guarded property-list copy: whatever libplist accepts within the limits
// is encoded to a copy that decodes to a node encoding to the same copy, and
// that libplist can write; any bytes that decode as a copy are the very copy
// of what they decode to.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/plist_guard.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void checkDecoded(std::string_view copy, plist_t node) {
  FUZZ_CHECK(node != nullptr);
  const std::optional<std::string> again = encodeGuardedPlist(node);
  FUZZ_CHECK(again && *again == copy);
  FUZZ_CHECK(plistIsWritable(node) && !plistToXml(node).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const std::optional<std::string> copy = checkAndEncodePlist(bytes)) {
    checkDecoded(*copy, decodeGuardedPlist(*copy).get());
  }
  if (const PlistRef node = decodeGuardedPlist(bytes)) checkDecoded(bytes, node.get());
  return 0;
}
