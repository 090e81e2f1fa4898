// The mode parser of the stand-in `chmod` (setmode/getmode): whatever the
// text, a mode it yields keeps the item's type and holds no bit beyond the
// permission bits, and an octal mode is exactly its number.

#include <bsd/unistd.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr mode_t kBases[] = {S_IFREG | 0644, S_IFDIR | 0755, S_IFREG, S_IFDIR | 07777, S_IFLNK | 0777,
                             S_IFREG | 04711, S_IFIFO | 0600};

// The number an all-octal text stands for; none for other text or a number
// past the permission bits.
std::optional<mode_t> octalMode(std::string_view text) {
  if (text.empty()) return std::nullopt;
  mode_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    value = static_cast<mode_t>(value * 8 + static_cast<mode_t>(c - '0'));
    if (value > 07777) return std::nullopt;
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The mode reaches `chmod` as an argument, which ends at its first NUL.
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string_view text(input.c_str());
  void* set = setmode(input.c_str());
  const std::optional<mode_t> octal = octalMode(text);
  if (!set) {
    FUZZ_CHECK(!octal);
    return 0;
  }
  for (const mode_t base : kBases) {
    const mode_t mode = getmode(set, base);
    FUZZ_CHECK((mode & S_IFMT) == (base & S_IFMT));
    FUZZ_CHECK(!(mode & ~(S_IFMT | 07777)));
    if (octal) FUZZ_CHECK(mode == ((base & S_IFMT) | *octal));
  }
  std::free(set);
  return 0;
}
