#include "ctl/report.h"

#include <gtest/gtest.h>

// Names come from users: whatever their bytes, a JSON line stays one valid
// JSON string, and no control character a terminal would act on stays raw.
TEST(ReportText, JsonStringsFromAnyBytes) {
  struct Row {
    std::string in, out;
  };
  const Row rows[] = {
      {"Music", "\"Music\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("x\ny\0z", 5), "\"x\\u000ay\\u0000z\""},
      {"\x7f", "\"\\u007f\""},
      {"\xc2\x9b" "31m\xc2\x80\xc2\x9f", "\"\\u009b31m\\u0080\\u009f\""},  // C1 controls
      {"\xc2\xa0\xc2\xa9", "\"\xc2\xa0\xc2\xa9\""},  // just past them: printable
      {"\x9b", "\"\\ufffd\""},  // a C1 control's byte alone is not UTF-8
      {"caf\xc3\xa9 \xf0\x9f\x93\x81", "\"caf\xc3\xa9 \xf0\x9f\x93\x81\""},  // UTF-8 passes whole
      {"\xff", "\"\\ufffd\""},
      {"\xc3", "\"\\ufffd\""},                      // cut short
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},           // overlong
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // a surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
  };
  for (const Row& row : rows) EXPECT_EQ(jsonText(row.in), row.out) << row.out;
}
