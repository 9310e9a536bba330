#include "gateway/log/log_escape.h"

#include <gtest/gtest.h>

#include <string>

TEST(EscapeForLogTest, ControlBytesAreShownAndTheRestKept) {
  char out[kLogValueCapacity];
  EXPECT_STREQ(EscapeForLog("dev\r\n[x] forged\x1b[2J\x7f-\xc3\xa9", out, sizeof out),
               "dev\\x0d\\x0a[x] forged\\x1b[2J\\x7f-\xc3\xa9");
}

TEST(EscapeForLogTest, CutsBeforeAPieceThatDoesNotFit) {
  char out[8];
  EXPECT_STREQ(EscapeForLog("abcd\r", out, sizeof out), "abcd");
  std::string long_text(3000, '\x01');
  char big[kLogValueCapacity];
  EXPECT_EQ(std::string(EscapeForLog(long_text.c_str(), big, sizeof big)).size(), 1020u);
}
