#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

int64_t decimalIdValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (value > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

int32_t decimalInt(std::string_view text) {
  const int64_t value = decimalIdValue(text);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

size_t utf8Length(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  uint32_t point = length == 1 ? lead : lead & (0x7f >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
    point = point << 6 | (byte(at + i) & 0x3f);
  }
  constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kShortest[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) return 0;
  return length;
}

bool isValidUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const size_t length = utf8Length(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

namespace {

void appendOctal(std::string& out, std::string_view bytes) {
  for (const char c : bytes) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\%03o", static_cast<unsigned char>(c));
    out += escaped;
  }
}

}  // namespace

std::string printable(std::string_view text, EscapeFor where) {
  // Most names are printable ASCII throughout, and are shown as they are.
  const bool plain = std::all_of(text.begin(), text.end(), [where](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte < 0x7f && !(byte == '\\' && where == EscapeFor::Listing);
  });
  if (plain) return std::string(text);
  std::string shown;
  shown.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t valid = utf8Length(text, at);
    const size_t length = std::max<size_t>(valid, 1);  // a stray byte is escaped alone
    const std::string_view piece = text.substr(at, length);
    const auto lead = static_cast<unsigned char>(piece[0]);
    // A C1 control is two bytes, C2 80 to C2 9F: a terminal acts on it as on
    // its seven-bit form ESC @ to ESC _.
    const bool c1 = length == 2 && lead == 0xc2 && static_cast<unsigned char>(piece[1]) <= 0x9f;
    if (valid == 0 || lead < 0x20 || lead == 0x7f || c1) {
      appendOctal(shown, piece);
    } else if (lead == '\\' && where == EscapeFor::Listing) {
      shown += "\\\\";
    } else {
      shown += piece;
    }
    at += length;
  }
  return shown;
}
