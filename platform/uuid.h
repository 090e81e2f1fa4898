#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct Uuid {
  std::array<uint8_t, 16> bytes{};
  bool operator==(const Uuid&) const = default;
};

/// The fixed identifier of the group that holds every user.
inline constexpr const char* EveryoneGroupUUID = "ABCDEFAB-CDEF-ABCD-EFAB-CDEF0000000C";

/// The 16 bytes of a UUID's text form (either case), in the order of the text.
std::optional<Uuid> parseUuid(std::string_view text);

/// Upper-case text form, 8-4-4-4-12.
std::string formatUuid(const Uuid& uuid);

/// Name-based (SHA-1, version 5) UUID of `name` in the directory's namespace.
Uuid directoryUuid(std::string_view name);
