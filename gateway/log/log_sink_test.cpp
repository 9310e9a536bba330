#include <gtest/gtest.h>

#include <string>

#include "gateway/log/write_log.h"

namespace {

std::string SinkOutput(int level, const char* text) {
  ::testing::internal::CaptureStdout();
  LogSink(level, text);
  return ::testing::internal::GetCapturedStdout();
}

class LogSinkTest : public ::testing::Test {
 protected:
  void TearDown() override { SetLogThreshold(6); }
};

TEST_F(LogSinkTest, LevelsUpToTheThresholdReachTheConsoleAsTheyAre) {
  SetLogThreshold(6);
  EXPECT_EQ(SinkOutput(3, "[a.cpp:1] failure\n"), "[a.cpp:1] failure\n");
  EXPECT_EQ(SinkOutput(6, "progress"), "progress");
  EXPECT_EQ(SinkOutput(7, "detail\n"), "");
  EXPECT_EQ(SinkOutput(-1, "negative\n"), "negative\n");
}

TEST_F(LogSinkTest, VerboseThresholdLetsLevelsSevenAndEightThrough) {
  SetLogThreshold(8);
  EXPECT_EQ(SinkOutput(7, "seven\n"), "seven\n");
  EXPECT_EQ(SinkOutput(8, "eight\n"), "eight\n");
  EXPECT_EQ(SinkOutput(9, "nine\n"), "");
}

TEST_F(LogSinkTest, LinesHoldingWeWantNeverShow) {
  EXPECT_EQ(SinkOutput(3, "[x.cpp:2] what we want is more\n"), "");
  EXPECT_EQ(SinkOutput(3, "we want"), "");
  EXPECT_EQ(SinkOutput(3, "We want\n"), "We want\n");
  EXPECT_EQ(SinkOutput(3, "we  want\n"), "we  want\n");
}

}  // namespace
