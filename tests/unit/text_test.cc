#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Row {
  const char* what;
  std::string in;
  std::string listing;  // printable(in)
  std::string log;      // printable(in, EscapeFor::Log)
};

// Each byte that a terminal would act on, or that is not part of valid UTF-8,
// comes out as \ooo; printable text passes whole. A listing doubles a
// backslash, a log line keeps it.
const Row kRows[] = {
    {"plain", "Drop Box", "Drop Box", "Drop Box"},
    {"empty", "", "", ""},
    {"newline", "a\nMusic  mode 0777 -> 0700", "a\\012Music  mode 0777 -> 0700", "a\\012Music  mode 0777 -> 0700"},
    {"tab and carriage return", "a\tb\rc", "a\\011b\\015c", "a\\011b\\015c"},
    {"NUL and 0x1f", std::string("x\0y\x1f", 4), "x\\000y\\037", "x\\000y\\037"},
    {"title and colour", "e\x1b]0;OWNED\x07\x1b[1;31mRED", "e\\033]0;OWNED\\007\\033[1;31mRED",
     "e\\033]0;OWNED\\007\\033[1;31mRED"},
    {"forged line", "x\nhollin: forged line", "x\\012hollin: forged line", "x\\012hollin: forged line"},
    {"DEL", "a\x7f", "a\\177", "a\\177"},
    {"C1 CSI as UTF-8", "\xc2\x9b" "1;31m", "\\302\\2331;31m", "\\302\\2331;31m"},
    {"first and last C1", "\xc2\x80\xc2\x9f", "\\302\\200\\302\\237", "\\302\\200\\302\\237"},
    {"just past C1", "\xc2\xa0\xc2\xa9", "\xc2\xa0\xc2\xa9", "\xc2\xa0\xc2\xa9"},
    {"bare 0x9b", "a\x9b" "31mb", "a\\23331mb", "a\\23331mb"},
    {"0xff and 0xfe", "\xff\xfe", "\\377\\376", "\\377\\376"},
    {"truncated two bytes", "caf\xc3", "caf\\303", "caf\\303"},
    {"truncated three bytes then text", "\xe6\x97z", "\\346\\227z", "\\346\\227z"},
    {"overlong slash", "\xc0\xaf", "\\300\\257", "\\300\\257"},
    {"overlong NUL", "\xe0\x80\x80", "\\340\\200\\200", "\\340\\200\\200"},
    {"surrogate", "\xed\xa0\x80", "\\355\\240\\200", "\\355\\240\\200"},
    {"past U+10FFFF", "\xf4\x90\x80\x80", "\\364\\220\\200\\200", "\\364\\220\\200\\200"},
    {"Latin-1 e acute", "caf\xe9", "caf\\351", "caf\\351"},
    {"UTF-8 e acute", "caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},
    {"Japanese", "\xe6\x97\xa5\xe6\x9c\xac", "\xe6\x97\xa5\xe6\x9c\xac", "\xe6\x97\xa5\xe6\x9c\xac"},
    {"emoji", "\xf0\x9f\x93\x81 x", "\xf0\x9f\x93\x81 x", "\xf0\x9f\x93\x81 x"},
    {"backslash", "back\\slash", "back\\\\slash", "back\\slash"},
    {"a name that looks escaped", "a\\012b", "a\\\\012b", "a\\012b"},
    {"backslash before a control", "\\\n", "\\\\\\012", "\\\\012"},
};

TEST(Printable, EscapesWhatATerminalWouldActOn) {
  for (const Row& row : kRows) {
    EXPECT_EQ(printable(row.in), row.listing) << row.what;
    EXPECT_EQ(printable(row.in, EscapeFor::Listing), row.listing) << row.what;
    EXPECT_EQ(printable(row.in, EscapeFor::Log), row.log) << row.what;
  }
}

// What comes out is valid UTF-8 holding no control character, whatever came
// in: every byte value alone, and after each possible lead byte.
TEST(Printable, NothingRawLeavesForAnyByte) {
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; second += 7) {
      const std::string in{static_cast<char>(first), static_cast<char>(second)};
      for (const EscapeFor where : {EscapeFor::Listing, EscapeFor::Log}) {
        const std::string out = printable(in, where);
        ASSERT_TRUE(isValidUtf8(out)) << first << " " << second;
        for (size_t at = 0; at < out.size(); ++at) {
          const auto c = static_cast<unsigned char>(out[at]);
          ASSERT_FALSE(c < 0x20 || c == 0x7f) << first << " " << second;
          ASSERT_FALSE(c == 0xc2 && at + 1 < out.size() && static_cast<unsigned char>(out[at + 1]) <= 0x9f)
              << first << " " << second;
        }
      }
    }
  }
}

// The escape is the whole protection of the log: text the log already
// escaped passes through again unchanged, so a second pass cannot garble it.
TEST(Printable, LogEscapingIsStable) {
  for (const Row& row : kRows) EXPECT_EQ(printable(row.log, EscapeFor::Log), row.log) << row.what;
}

TEST(Utf8, LengthOfEachSequence) {
  EXPECT_EQ(utf8Length("a", 0), 1u);
  EXPECT_EQ(utf8Length("\xc3\xa9", 0), 2u);
  EXPECT_EQ(utf8Length("\xe6\x97\xa5", 0), 3u);
  EXPECT_EQ(utf8Length("\xf0\x9f\x93\x81", 0), 4u);
  EXPECT_EQ(utf8Length("\xe6\x97", 0), 0u);      // cut short by the end
  EXPECT_EQ(utf8Length("\x80", 0), 0u);          // a continuation alone
  EXPECT_EQ(utf8Length("\xf8\x88\x80\x80\x80", 0), 0u);  // five-byte forms are gone
  EXPECT_TRUE(isValidUtf8("caf\xc3\xa9 \xe6\x97\xa5"));
  EXPECT_FALSE(isValidUtf8("caf\xe9"));
}

}  // namespace
