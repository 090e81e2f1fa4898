#pragma once

// Little-endian words, as the host stores its attributes and as the property
// list guard hands its copies back.

#include <cstdint>
#include <string>
#include <string_view>

/// Appends `word` to `out` as four little-endian bytes.
inline void appendLittleEndian32(std::string& out, uint32_t word) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((word >> (8 * i)) & 0xff));
}

/// The little-endian word in the four bytes of `in` from `at`.
inline uint32_t readLittleEndian32(std::string_view in, size_t at) {
  uint32_t word = 0;
  for (int i = 3; i >= 0; --i) word = (word << 8) | static_cast<unsigned char>(in[at + static_cast<size_t>(i)]);
  return word;
}
