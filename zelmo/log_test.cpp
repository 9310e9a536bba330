// The library's log lines: through the registered sink only, whole lines with
// their level, cut to a bounded length but always ended with a line feed.
#include "zelmo/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::pair<int, std::string>> lines;

void Collect(int level, const char* text) {
  lines.emplace_back(level, text);
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lines.clear();
    Zelmo_SetLogFunc(Collect);
  }
  void TearDown() override { Zelmo_SetLogFunc(nullptr); }
};

TEST_F(LogTest, SinkIsGivenForEveryLevelOnceRegistered) {
  EXPECT_EQ(Zelmo_GetLogFunc(3), Collect);
  EXPECT_EQ(Zelmo_GetLogFunc(8), Collect);
  Zelmo_SetLogFunc(nullptr);
  EXPECT_EQ(Zelmo_GetLogFunc(6), nullptr);
  zelmo::Log(zelmo::kLogFailure, "dropped %d", 1);
  EXPECT_TRUE(lines.empty());
}

TEST_F(LogTest, LinesCarryTheirLevelAndEndWithALineFeed) {
  zelmo::Log(zelmo::kLogProgress, "tunnel to %s is up", "SN-1");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, 6);
  EXPECT_EQ(lines[0].second, "tunnel to SN-1 is up\n");
}

TEST_F(LogTest, LongLinesAreCutButStillEnded) {
  zelmo::Log(zelmo::kLogDetail, "%s", std::string(5000, 'x').c_str());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].second.size(), 1023u);
  EXPECT_EQ(lines[0].second.back(), '\n');
  EXPECT_EQ(lines[0].second.find_first_not_of('x'), 1022u);
}

}  // namespace
