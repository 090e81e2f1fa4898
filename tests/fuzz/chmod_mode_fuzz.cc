// The stand-in `chmod`'s mode parser (setmode/getmode): a mode it yields keeps
// the item's type and no bit beyond the permission bits, and an octal mode is
// exactly its number.

#include <bsd/unistd.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdlib>

#include "tests/fuzz/fuzz_support.h"

constexpr mode_t kBases[] = {S_IFREG | 0644, S_IFDIR | 0755, S_IFREG, S_IFDIR | 07777, S_IFLNK | 0777,
                             S_IFREG | 04711, S_IFIFO | 0600};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The mode reaches `chmod` as an argument, which ends at its first NUL.
  const std::string text = std::string(reinterpret_cast<const char*>(data), size).c_str();
  // Whether the text is all octal digits and a number within the permission bits.
  mode_t number = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number, 8);
  const bool octal = error == std::errc() && stop == end && number <= 07777;
  void* set = setmode(text.c_str());
  FUZZ_CHECK(set || !octal);
  if (!set) return 0;
  for (const mode_t base : kBases) {
    const mode_t mode = getmode(set, base);
    // The item's type, and no bit beyond it but the permission bits.
    FUZZ_CHECK((mode & ~07777) == (base & S_IFMT));
    FUZZ_CHECK(!octal || mode == ((base & S_IFMT) | number));
  }
  std::free(set);
  return 0;
}
