#include "gateway/server/startup_paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "gateway/testing/log_capture.h"
#include "platform/files.h"

namespace {

namespace fs = std::filesystem;

bool Exists(const std::string& path) {
  return fs::exists(path);
}

class StartupPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    fs::path dir = fs::temp_directory_path() / ("hg-paths-" + std::to_string(random()));
    ASSERT_TRUE(fs::create_directory(dir));
    dir_ = dir.string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string dir_;
};

TEST_F(StartupPathsTest, JoinFillsTheBufferOnlyWhenTheWholePathFits) {
  char dst[8];
  EXPECT_EQ(JoinPath(dst, sizeof dst, "abc", "defg"), 0);
  EXPECT_STREQ(dst, "abcdefg");
  EXPECT_EQ(JoinPath(dst, sizeof dst, "abcd", "efgh"), -1);
  EXPECT_STREQ(dst, "");
}

TEST_F(StartupPathsTest, UsableLogFolderKeepsAnEmptyProbeFile) {
  EXPECT_EQ(PrepareLogFolder(dir_.c_str()), 0);
  ASSERT_TRUE(Exists(dir_ + "/temp"));
  EXPECT_EQ(fs::file_size(dir_ + "/temp"), 0u);
}

TEST_F(StartupPathsTest, MissingLogFolderIsCreatedWithoutProbeFile) {
  std::string folder = dir_ + "/log";
  EXPECT_EQ(PrepareLogFolder(folder.c_str()), 1);
  EXPECT_TRUE(Exists(folder));
  EXPECT_FALSE(Exists(folder + "/temp"));
}

TEST_F(StartupPathsTest, LogFolderThatCannotBeMadeIsReported) {
  std::string folder = dir_ + "/no/such/log";
  EXPECT_EQ(PrepareLogFolder(folder.c_str()), -1);
}

TEST_F(StartupPathsTest, PagePathsLieBesideTheProgram) {
  char folder[kPagePathCapacity];
  ASSERT_GT(platform::ExeFolder(folder, sizeof folder), 0u) << "build folder path too long";
  ASSERT_EQ(BuildPagePaths(), 0);
  EXPECT_EQ(std::string(TryStunPath), std::string(folder) + "trystun.html");
  EXPECT_EQ(std::string(TryStunFailedPath), std::string(folder) + "trystunfailed.html");
  EXPECT_EQ(std::string(LogFolderPath), std::string(folder) + "log");
}

TEST_F(StartupPathsTest, ProgramFolderThatDoesNotFitFailsWithALine) {
  LogCapture log;
  char folder[4];
  EXPECT_EQ(GetExeFolder(folder, sizeof folder), -1);
  std::vector<LoggedLine> lines = log.Taken();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_NE(lines[0].text.find("does not fit in 4 bytes"), std::string::npos);
}

TEST_F(StartupPathsTest, LogPrefixIsInTheLogFolderBesideTheProgram) {
  char folder[kStartFolderCapacity];
  ASSERT_GT(platform::ExeFolder(folder, sizeof folder), 0u);
  char prefix[kLogPathCapacity];
  char error[200] = {};
  ASSERT_EQ(BuildLogPrefix(prefix, error, sizeof error), 0) << error;
  EXPECT_EQ(std::string(prefix),
            std::string(folder) + "log" + platform::kPathSeparator + "p2plog_");
  EXPECT_TRUE(Exists(std::string(folder) + "log"));
}

}  // namespace
