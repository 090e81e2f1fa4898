#include "platform/acl_codec.h"

#include <cstring>

#include "platform/bytes.h"

namespace hostacl {

namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kEntrySize = 28;

}  // namespace

std::string encodeAcl(const std::vector<AclEntry>& entries) {
  if (entries.empty()) return {};
  std::string out("VACL");
  out.reserve(kHeaderSize + kEntrySize * entries.size());
  appendLittleEndian32(out, static_cast<uint32_t>(entries.size()));
  for (const AclEntry& entry : entries) {
    appendLittleEndian32(out, entry.kind);
    appendLittleEndian32(out, entry.perms);
    appendLittleEndian32(out, entry.flags);
    out.append(reinterpret_cast<const char*>(entry.qualifier.bytes.data()), entry.qualifier.bytes.size());
  }
  return out;
}

std::optional<std::vector<AclEntry>> decodeAcl(std::string_view value) {
  if (value.size() < kHeaderSize || value.substr(0, 4) != "VACL") return std::nullopt;
  const uint64_t count = readLittleEndian32(value, 4);
  if (value.size() != kHeaderSize + count * kEntrySize) return std::nullopt;
  std::vector<AclEntry> entries(count);
  for (size_t i = 0; i < count; ++i) {
    const size_t at = kHeaderSize + i * kEntrySize;
    entries[i].kind = readLittleEndian32(value, at);
    entries[i].perms = readLittleEndian32(value, at + 4);
    entries[i].flags = readLittleEndian32(value, at + 8);
    std::memcpy(entries[i].qualifier.bytes.data(), value.data() + at + 12, 16);
  }
  return entries;
}

}  // namespace hostacl
