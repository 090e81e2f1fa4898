#include "platform/path.h"
#include "platform/text.h"

#include <gtest/gtest.h>

TEST(JoinPath, OneSeparatorAndNoTrailingOne) {
  const char* cases[][3] = {
      {"", "/Library/User Template/", "/Library/User Template"}, {"/", "Users", "/Users"},
      {"/Volumes/Data", "/Library/User Template/", "/Volumes/Data/Library/User Template"},
      {"/Users/alice/", "Library", "/Users/alice/Library"}, {"relative", "x", "relative/x"},
      {"/Users/alice", "Library/Preferences", "/Users/alice/Library/Preferences"}};
  for (const auto& c : cases) EXPECT_EQ(joinPath(c[0], c[1]), c[2]) << c[0] << " + " << c[1];
}

TEST(DecimalId, LeadingNumberOnlyAndSaturating) {
  const std::pair<const char*, int64_t> cases[] = {
      {"501", 501}, {"501abc", 501}, {"  \t42", 42}, {"+7", 7}, {"-2", -2}, {"abc", 0}, {"", 0}, {"- 5", 0},
      {"4294967294", 4294967294LL}, {"99999999999999999999", INT64_MAX}, {"-99999999999999999999", INT64_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(decimalIdValue(text), value) << text;
}

TEST(Utf8, RejectsMalformedOverlongAndSurrogates) {
  EXPECT_TRUE(isValidUtf8("Zoë 日本"));
  for (const char* s : {"\xc0\xaf", "\xed\xa0\x80", "\xe2\x82", "\xf4\x90\x80\x80"}) EXPECT_FALSE(isValidUtf8(s)) << s;
}
