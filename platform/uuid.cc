#include "platform/uuid.h"

#include <uuid/uuid.h>

#include <cctype>
#include <cstdio>

namespace {

// Namespace of the identity directory's name-based UUIDs.
constexpr const char* kDirectoryNamespace = "5131d2ce-3e45-4606-8804-45749f2f9576";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<Uuid> parseUuid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Uuid uuid;
  size_t byte = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i++] != '-') return std::nullopt;
      continue;
    }
    const int high = hexValue(text[i]);
    const int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    uuid.bytes[byte++] = static_cast<uint8_t>(high << 4 | low);
    i += 2;
  }
  return uuid;
}

std::string formatUuid(const Uuid& uuid) {
  char text[37];
  uuid_unparse_upper(uuid.bytes.data(), text);
  return text;
}

Uuid directoryUuid(std::string_view name) {
  uuid_t space;
  uuid_parse(kDirectoryNamespace, space);
  Uuid result;
  uuid_generate_sha1(result.bytes.data(), space, name.data(), name.size());
  return result;
}
