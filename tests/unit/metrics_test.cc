#include "ctl/metrics.h"

#include <gtest/gtest.h>

#include "ctl/watcher.h"

// A label value reads back, once the format's escapes are undone, as check's
// lines show the text: never a raw control character or a byte that is not
// UTF-8, and no quote that would end the value early.
TEST(Metrics, LabelValues) {
  struct Row {
    std::string in, out;
  };
  const Row rows[] = {
      {"/Users/alice", "/Users/alice"},
      {"/Users/a\"b", "/Users/a\\\"b"},
      {"/Users/a\\b", "/Users/a\\\\\\\\b"},          // doubled as a listing shows it, then escaped
      {"/Users/a\nb", "/Users/a\\\\012b"},           // no line feed is left to escape
      {"/Users/caf\xe9", "/Users/caf\\\\351"},       // not UTF-8
      {"/Users/\xc2\x9b" "31m", "/Users/\\\\302\\\\23331m"},  // a C1 control
      {"/Users/caf\xc3\xa9", "/Users/caf\xc3\xa9"},  // UTF-8 passes
  };
  for (const Row& row : rows) EXPECT_EQ(metricsLabel(row.in), row.out) << row.out;
}

TEST(Metrics, FamiliesComeWholeAndTheTextEnds) {
  CheckSummary checked;
  checked.reached = true;
  checked.items = 12;
  checked.differences = 3;
  const std::vector<HomeMetrics> homes{{"alice", "/Users/alice", checked}, {"bob", "/Users/bob", {}}};
  const std::string text = openMetricsText(homes, CheckAs::Repair, 1.5);
  EXPECT_NE(text.find("# TYPE hollin_home_differences gauge\n# HELP hollin_home_differences "), std::string::npos);
  EXPECT_NE(text.find("hollin_home_differences{user=\"alice\",home=\"/Users/alice\"} 3\n# TYPE "), std::string::npos);
  EXPECT_EQ(text.find("hollin_home_items{user=\"bob\""), std::string::npos);  // not checked: no counts
  EXPECT_NE(text.find("hollin_home_complete{user=\"bob\",home=\"/Users/bob\"} 0\n"), std::string::npos);
  EXPECT_NE(text.find("\nhollin_check_timestamp_seconds 1.500\n# EOF\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("\n# EOF\n"));
  EXPECT_NE(text.find("hollin_home_missing_items"), std::string::npos);
  EXPECT_EQ(openMetricsText(homes, CheckAs::Apply, 1.5).find("hollin_home_missing_items"), std::string::npos);
}

// Which of the tool's log lines report a failure: all but the walk's lines
// about one match and the lines that skip an item on purpose. A name in a home
// stands only after the wording, so it cannot turn one into the other.
TEST(Watcher, LogLinesThatReportFailures) {
  struct Row {
    std::string line;
    bool failure;
  };
  const Row rows[] = {
      {"setPermissions:60 Error:1", true},
      {"lstat(/Users/alice) failed.", true},
      {"repairPermissions:108 /Users/alice", true},
      {"find-exec-touch failed with 1", true},
      {"UUID is NULL! setPermissions:302", true},
      {"error locating UT for /Users/alice", true},
      {"setPermissions:263 /Users/alice/Skipping x", true},
      {"lstat(/Users/x) failed (-1)) failed.", true},
      {"Skipping /Users/alice/x because it has 2 links and belongs to uid 502, not 501", false},
      {"Skipping /Users/alice/Music because it's on a different bsd dev than /Users/alice", false},
      {"file does not exist at path: /Users/alice/Music", false},
      {"source and destination are not both directories or not both files", false},
      {"lstat(/Users/alice/Music/Inner) failed (-1).", false},
  };
  for (const Row& row : rows) EXPECT_EQ(reportsFailure(row.line), row.failure) << row.line;
}
