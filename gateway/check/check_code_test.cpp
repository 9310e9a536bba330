// MakeCheckCode against the RFC 1321 test suite, and the check-code rule:
// which k values pass for a t, and what a refusal logs.
#include "gateway/check/check_code.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gateway/testing/log_capture.h"

namespace {

struct DigestVector {
  const char* input;
  const char* digest;
};

const DigestVector kRfc1321Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
     "0",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

// MD5 of "1700000000" directly followed by the salt, and of the salt alone,
// computed outside this program.
const char kCodeOf1700000000[] = "b887506f9458cd2f2829b9dd68b0e270";
const char kCodeOfSaltAlone[] = "d62257501f80c6cded980c637c80e61e";

TEST(MakeCheckCode, MatchesTheRfc1321Suite) {
  for (const DigestVector& vector : kRfc1321Suite) {
    char out[kCheckCodeCapacity];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(MakeCheckCode(vector.input, out), 0);
    EXPECT_STREQ(out, vector.digest) << '"' << vector.input << '"';
  }
}

TEST(MakeCheckCode, WritesExactlyThirtyThreeBytes) {
  char out[48];
  std::memset(out, 'x', sizeof out);
  ASSERT_EQ(MakeCheckCode("abc", out), 0);
  EXPECT_EQ(out[32], '\0');
  for (size_t i = 33; i < sizeof out; ++i)
    EXPECT_EQ(out[i], 'x') << i;
}

RequestParams Request(const std::string& t, const std::string& k) {
  RequestParams params;
  std::memset(&params, 0, sizeof params);
  std::snprintf(params.t, sizeof params.t, "%s", t.c_str());
  std::snprintf(params.k, sizeof params.k, "%s", k.c_str());
  return params;
}

TEST(CheckRequestCode, PassesTheCodeOfTimeStampFollowedBySalt) {
  LogCapture log;
  EXPECT_EQ(CheckRequestCode(Request("1700000000", kCodeOf1700000000)), 0);
  EXPECT_TRUE(log.Texts().empty());
}

TEST(CheckRequestCode, EmptyTimeStampHashesTheSaltAlone) {
  EXPECT_EQ(CheckRequestCode(Request("", kCodeOfSaltAlone)), 0);
  EXPECT_EQ(CheckRequestCode(Request("", kCodeOf1700000000)), -1);
}

TEST(CheckRequestCode, RefusesCodesThatDifferInAnyWay) {
  std::string upper = kCodeOf1700000000;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string refused[] = {
      upper,
      std::string(kCodeOf1700000000).substr(0, 31),
      "",
      kCodeOfSaltAlone,
  };
  for (const std::string& k : refused) {
    LogCapture log;
    EXPECT_EQ(CheckRequestCode(Request("1700000000", k)), -1) << k;
    std::vector<LoggedLine> lines = log.Taken();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 6);
    EXPECT_EQ(lines[0].text, "check code is error!!!!!!!!!!!!!!!!!!!!!!!!");
  }
}

// The last parameter runs on to the end of the request line, so a code given
// last is longer than 32 characters; it must not pass by being cut short.
TEST(CheckRequestCode, CodeLongerThan32CharactersNeverMatches) {
  std::string text = std::string("GET /?t=1700000000&u=a&c=b&ds=c&dn=d&si=e&sc=1&k=") +
                     kCodeOf1700000000 + " HTTP/1.1\r\nHost: h\r\n\r\n";
  RequestParams params;
  std::memset(&params, 0, sizeof params);
  ASSERT_EQ(ParseRequest(&text[0], &params), 0);
  EXPECT_EQ(CheckRequestCode(params), -1);
}

TEST(CheckRequestCode, DigestCoversTimeStampAndSaltOnly) {
  EXPECT_EQ(CheckRequestCode(Request("1700000001", kCodeOf1700000000)), -1);
  EXPECT_EQ(CheckRequestCode(Request("170000000", kCodeOf1700000000)), -1);
}

}  // namespace
