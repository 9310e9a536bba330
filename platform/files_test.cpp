// The program's path and folder, folder creation, and the text-mode reader:
// the bytes it delivers must not depend on how the caller sizes its reads.
#include "platform/files.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/thread.h"

namespace platform {
namespace {

std::string ExeFolderText() {
  char folder[1024];
  size_t n = ExeFolder(folder, sizeof folder);
  EXPECT_GT(n, 0u);
  return std::string(folder, n);
}

TEST(ExePathTest, FolderEndsWithSeparatorAndPrefixesThePath) {
  char path[1024];
  char folder[1024];
  size_t path_len = ExeFilePath(path, sizeof path);
  size_t folder_len = ExeFolder(folder, sizeof folder);
  ASSERT_GT(path_len, 0u);
  ASSERT_GT(folder_len, 0u);
  EXPECT_EQ(strlen(path), path_len);
  EXPECT_EQ(strlen(folder), folder_len);
  EXPECT_EQ(folder[folder_len - 1], kPathSeparator);
  ASSERT_LT(folder_len, path_len);
  EXPECT_EQ(strncmp(path, folder, folder_len), 0);
  EXPECT_EQ(strchr(path + folder_len, kPathSeparator), nullptr);
  EXPECT_NE(strstr(path + folder_len, "files_test"), nullptr);
}

TEST(ExePathTest, NeverCutShort) {
  char path[1024];
  size_t len = ExeFilePath(path, sizeof path);
  ASSERT_GT(len, 1u);
  char exact[1024];
  EXPECT_EQ(ExeFilePath(exact, len + 1), len);
  EXPECT_STREQ(exact, path);
  char small[1024];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(ExeFilePath(small, len), 0u);
  EXPECT_EQ(small[0], '\0');
  memset(small, 'x', sizeof small);
  EXPECT_EQ(ExeFolder(small, len), 0u);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(ExeFilePath(small, 0), 0u);
}

TEST(MakeDirTest, CreatesOnceThenFails) {
  std::string dir = ExeFolderText() + "files_test_dir";
  std::filesystem::remove_all(dir);
  ASSERT_EQ(MakeDir(dir.c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_EQ(MakeDir(dir.c_str()), -1);
  EXPECT_NE(LastSystemError(), 0);
  std::filesystem::remove_all(dir);
  EXPECT_EQ(MakeDir((dir + "/missing/child").c_str()), -1);
}

class TextFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ExeFolderText() + "files_test_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
  }
  void TearDown() override { std::remove(path_.c_str()); }

  void Write(const std::string& bytes) {
    FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(std::fclose(f), 0);
  }

  // Whole content read with reads of at most cap bytes; each read must give
  // something until the end, and after the end only 0.
  std::string ReadAll(int cap) {
    TextFile* f = TextFileOpen(path_.c_str());
    EXPECT_NE(f, nullptr);
    if (f == nullptr)
      return "<not opened>";
    std::string out;
    std::string buf(static_cast<size_t>(cap), '\0');
    int n;
    while ((n = TextFileRead(f, &buf[0], cap)) > 0) {
      EXPECT_LE(n, cap);
      out.append(buf.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(TextFileRead(f, &buf[0], cap), 0);
    TextFileClose(f);
    return out;
  }

  std::string path_;
};

TEST_F(TextFileTest, CrLfReadsAsLf) {
  Write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n");
  for (int cap : {1, 2, 3, 7, 4096}) {
    EXPECT_EQ(ReadAll(cap), "HTTP/1.1 200 OK\nContent-Type: text/html\n\n<p>x</p>\n") << cap;
  }
}

TEST_F(TextFileTest, LoneCrStays) {
  Write("a\rb\r\r\nc\n\rd\r");
  for (int cap : {1, 2, 5, 100})
    EXPECT_EQ(ReadAll(cap), "a\rb\r\nc\n\rd\r") << cap;
}

TEST_F(TextFileTest, CtrlZEndsTheFile) {
  Write(std::string("before\r\nz", 9) + '\x1a' + "after\r\nmore");
  for (int cap : {1, 4, 100})
    EXPECT_EQ(ReadAll(cap), "before\nz") << cap;
}

TEST_F(TextFileTest, CtrlZAfterCr) {
  Write(std::string("a\r") + '\x1a' + "\nb");
  for (int cap : {1, 100})
    EXPECT_EQ(ReadAll(cap), "a\r") << cap;
}

TEST_F(TextFileTest, EmptyFile) {
  Write("");
  EXPECT_EQ(ReadAll(16), "");
}

TEST_F(TextFileTest, MissingFileGivesNull) {
  EXPECT_EQ(TextFileOpen(path_.c_str()), nullptr);
}

// CR LF pairs and lone CRs at all sorts of offsets of a file larger than any
// reader's buffer, so some CR ends one underlying read whatever its size.
TEST_F(TextFileTest, PairsSplitAcrossReads) {
  std::string file;
  std::string expected;
  for (int line = 0; file.size() < 70000; line++) {
    std::string text(static_cast<size_t>(line % 37), static_cast<char>('a' + line % 26));
    bool lone_cr = line % 5 == 0;
    file += text + (lone_cr ? "\r" : "\r\n");
    expected += text + (lone_cr ? "\r" : "\n");
  }
  Write(file);
  for (int cap : {1, 2, 511, 512, 513, 4095, 4096, 4097, 100000}) {
    EXPECT_TRUE(ReadAll(cap) == expected) << "read size " << cap;
  }
}

// A CR as the last byte of a power-of-two block, where buffered readers split.
TEST_F(TextFileTest, CrAtBlockEdges) {
  for (size_t edge : {511u, 4095u, 8191u, 65535u}) {
    std::string lead(edge, 'a');
    Write(lead + "\r\nz");
    EXPECT_TRUE(ReadAll(100000) == lead + "\nz") << "pair at " << edge;
    Write(lead + "\rz");
    EXPECT_TRUE(ReadAll(100000) == lead + "\rz") << "lone CR at " << edge;
    Write(lead + "\r");
    EXPECT_TRUE(ReadAll(100000) == lead + "\r") << "CR ends the file at " << edge;
  }
}

TEST_F(TextFileTest, OpensWhileAnotherHandleWrites) {
  FILE* writer = std::fopen(path_.c_str(), "wb");
  ASSERT_NE(writer, nullptr);
  ASSERT_GE(std::fputs("line one\r\n", writer), 0);
  ASSERT_EQ(std::fflush(writer), 0);
  EXPECT_EQ(ReadAll(64), "line one\n");
  std::fclose(writer);
}

}  // namespace
}  // namespace platform
