#include <gtest/gtest.h>

#include "main/commandline.h"
#include "platform/path.h"

TEST(JoinPath, OneSeparatorAndNoTrailingOne) {
  EXPECT_EQ(joinPath("", "/Library/User Template/"), "/Library/User Template");
  EXPECT_EQ(joinPath("/Volumes/Data", "/Library/User Template/"), "/Volumes/Data/Library/User Template");
  EXPECT_EQ(joinPath("/Users/alice/", "Library"), "/Users/alice/Library");
  EXPECT_EQ(joinPath("/Users/alice", "/Library"), "/Users/alice/Library");
  EXPECT_EQ(joinPath("/Users/alice", "Library/Preferences"), "/Users/alice/Library/Preferences");
  EXPECT_EQ(joinPath("/", "Users"), "/Users");
  EXPECT_EQ(joinPath("", "Non_localized"), "/Non_localized");
  EXPECT_EQ(joinPath("relative", "x"), "relative/x");
}

TEST(LastComponent, TextAfterLastSeparator) {
  EXPECT_EQ(lastComponent("/a/b/.localized"), ".localized");
  EXPECT_EQ(lastComponent("Movies"), "Movies");
  EXPECT_EQ(lastComponent("/a/b/"), "");
}

TEST(DecimalId, LeadingNumberOnly) {
  EXPECT_EQ(decimalIdValue("501"), 501);
  EXPECT_EQ(decimalIdValue("501abc"), 501);
  EXPECT_EQ(decimalIdValue("  \t42"), 42);
  EXPECT_EQ(decimalIdValue("+7"), 7);
  EXPECT_EQ(decimalIdValue("-2"), -2);
  EXPECT_EQ(decimalIdValue("abc"), 0);
  EXPECT_EQ(decimalIdValue(""), 0);
  EXPECT_EQ(decimalIdValue("- 5"), 0);
  EXPECT_EQ(decimalIdValue("4294967294"), 4294967294LL);
  EXPECT_EQ(decimalIdValue("99999999999999999999999"), INT64_MAX);
}

TEST(CommandLineParse, ModeAndAbsentArguments) {
  const char* full[] = {"hollin", "x", "/Users/a", "501", "20", " 2", "ignored", "fr", "alice", "extra"};
  CommandLine cl = parseCommandLine(10, full);
  EXPECT_EQ(cl.mode, DeleteHome);
  EXPECT_EQ(cl.language, "fr");
  EXPECT_EQ(cl.userName, "alice");

  const char* shortForm[] = {"hollin", "x", "/Users/a"};
  cl = parseCommandLine(3, shortForm);
  EXPECT_EQ(cl.mode, CreateFolderOnly);
  EXPECT_FALSE(cl.userIdText.has_value());
  EXPECT_FALSE(cl.language.has_value());

  const char* notUtf8[] = {"hollin", "\xff\xfe", "/Users/a", "501", "20", "abc", "", "en", "\xc3\x28"};
  cl = parseCommandLine(9, notUtf8);
  EXPECT_FALSE(cl.verb.has_value());
  EXPECT_FALSE(cl.userName.has_value());
  EXPECT_EQ(cl.mode, CreateFolderOnly);
}

TEST(Utf8, RejectsMalformedAndOverlong) {
  EXPECT_TRUE(isValidUtf8("Zoë 日本"));
  EXPECT_FALSE(isValidUtf8("\xc0\xaf"));      // overlong slash
  EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));  // surrogate
  EXPECT_FALSE(isValidUtf8("abc\xe2\x82"));   // cut short
}
