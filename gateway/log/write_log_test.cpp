#include "gateway/log/write_log.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "zelmo/zelmo_api.h"

namespace {

// Keeps every line handed to the sink, whole, with its level.
std::mutex LinesLock;
std::vector<std::pair<int, std::string>> Lines;

void KeepLine(int level, const char* text) {
  std::lock_guard<std::mutex> lock(LinesLock);
  Lines.emplace_back(level, text);
}

class WriteLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Lines.clear();
    Zelmo_SetLogFunc(KeepLine);
  }
  void TearDown() override { Zelmo_SetLogFunc(nullptr); }

  // The prefix WriteLog puts before a message logged on `line` of this file.
  static std::string Prefix(int line) {
    return "[write_log_test.cpp:" + std::to_string(line) + "] ";
  }
};

TEST_F(WriteLogTest, LineCarriesFileLineAndOneNewline) {
  int line = __LINE__ + 1;
  WriteLog(3, "Failed bind(),error code :%d", 98);
  WriteLog(6, "WSAStartup failed with error %d\n", 5);
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_EQ(Lines[0].first, 3);
  EXPECT_EQ(Lines[0].second, Prefix(line) + "Failed bind(),error code :98\n");
  EXPECT_EQ(Lines[1].first, 6);
  EXPECT_EQ(Lines[1].second, Prefix(line + 1) + "WSAStartup failed with error 5\n");
}

TEST_F(WriteLogTest, LinesOf1022CharactersOrMoreAreDroppedWhole) {
  int line = __LINE__ + 3;
  std::string prefix = Prefix(line);
  auto log_total = [](int total, const std::string& prefix) {
    WriteLog(6, "%s", std::string(total - prefix.size(), 'x').c_str());
  };
  log_total(1021, prefix);
  log_total(1022, prefix);
  log_total(1500, prefix);
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0].second.size(), 1022u);  // 1021 characters and the newline
  EXPECT_EQ(Lines[0].second.back(), '\n');
  EXPECT_EQ(Lines[0].second.rfind(prefix, 0), 0u);
}

TEST_F(WriteLogTest, NothingIsWrittenWithoutASink) {
  Zelmo_SetLogFunc(nullptr);
  WriteLog(3, "lost");
  EXPECT_TRUE(Lines.empty());
}

}  // namespace
