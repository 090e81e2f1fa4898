#include "ctl/report.h"

#include <gtest/gtest.h>

#include "ctl/names.h"

// Names come from users: whatever their bytes, a JSON line stays one valid
// JSON string and a text line stays one line.
TEST(ReportText, JsonStringsFromAnyBytes) {
  struct Row {
    std::string in, out;
  };
  const Row rows[] = {
      {"Music", "\"Music\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("x\ny\0z", 5), "\"x\\u000ay\\u0000z\""},
      {"\x7f", "\"\\u007f\""},
      {"caf\xc3\xa9 \xf0\x9f\x93\x81", "\"caf\xc3\xa9 \xf0\x9f\x93\x81\""},  // UTF-8 passes whole
      {"\xff", "\"\\ufffd\""},
      {"\xc3", "\"\\ufffd\""},                      // cut short
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},           // overlong
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // a surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
  };
  for (const Row& row : rows) EXPECT_EQ(jsonText(row.in), row.out) << row.out;
}

TEST(ReportText, PrintableKeepsOneLine) {
  EXPECT_EQ(printable("Drop Box"), "Drop Box");
  EXPECT_EQ(printable("a\nMusic  mode 0777 -> 0700"), "a\\012Music  mode 0777 -> 0700");
  EXPECT_EQ(printable("back\\slash\t\x7f"), "back\\\\slash\\011\\177");
  EXPECT_EQ(printable("caf\xc3\xa9"), "caf\xc3\xa9");
}
