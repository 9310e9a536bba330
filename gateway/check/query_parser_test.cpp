// ParseRequest: which fields a request line fills, what each refusal logs, and
// that no input, however long or odd, writes past a field.
#include "gateway/check/query_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gateway/testing/log_capture.h"

namespace {

// The request line as a log line shows it: its carriage return escaped.
std::string Shown(std::string line) {
  if (!line.empty() && line.back() == '\r')
    line.replace(line.size() - 1, 1, "\\x0d");
  return line;
}

const char kCode[] = "b887506f9458cd2f2829b9dd68b0e270";

std::string FullLine() {
  return std::string("GET /?t=1700000000&k=") + kCode +
         "&u=alice&c=secret&ds=SN0001&dn=Front door&si=stun.zone1&sc=2&hi=10.0.0.5& HTTP/1.1\r";
}

// The fields sit in a cleared block between two guard zones.
struct Guarded {
  unsigned char before[32];
  RequestParams params;
  unsigned char after[32];
};

class ParseRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&block_, 0, sizeof block_);
    std::memset(block_.before, 0xA5, sizeof block_.before);
    std::memset(block_.after, 0xA5, sizeof block_.after);
  }

  // Parses text from a receive buffer of the worker's size.
  int Parse(const std::string& text) {
    std::vector<char> buffer(2048, '\0');
    std::memcpy(buffer.data(), text.data(), std::min(text.size(), buffer.size() - 1));
    return ParseRequest(buffer.data(), &block_.params);
  }

  RequestParams& p() { return block_.params; }

  Guarded block_;
  LogCapture log_;
};

// Each field holds a NUL within its capacity and only zeros behind it, so no
// value ran into the next field or past the block.
void ExpectFieldsSound(const Guarded& block) {
  const RequestParams& p = block.params;
  const std::pair<const char*, size_t> fields[] = {{p.t, sizeof p.t},
                                                   {p.k, sizeof p.k},
                                                   {p.UserName, sizeof p.UserName},
                                                   {p.PassWd, sizeof p.PassWd},
                                                   {p.DeviceSn, sizeof p.DeviceSn},
                                                   {p.DeviceName, sizeof p.DeviceName},
                                                   {p.StunIp, sizeof p.StunIp},
                                                   {p.ServiceCenter, sizeof p.ServiceCenter},
                                                   {p.HttpIP, sizeof p.HttpIP}};
  for (const auto& field : fields) {
    size_t length = strnlen(field.first, field.second);
    ASSERT_LT(length, field.second);
    for (size_t i = length; i < field.second; ++i)
      ASSERT_EQ(field.first[i], '\0');
  }
  for (unsigned char c : block.before)
    ASSERT_EQ(c, 0xA5);
  for (unsigned char c : block.after)
    ASSERT_EQ(c, 0xA5);
}

bool AllFieldsEmpty(const RequestParams& p) {
  RequestParams zero;
  std::memset(&zero, 0, sizeof zero);
  return std::memcmp(&p, &zero, sizeof p) == 0;
}

TEST_F(ParseRequestTest, FillsAllNineFieldsFromTheFirstLine) {
  EXPECT_EQ(Parse(FullLine() + "\nHost: 127.0.0.1:9999\r\n\r\n"), 0);
  EXPECT_STREQ(p().t, "1700000000");
  EXPECT_STREQ(p().k, kCode);
  EXPECT_STREQ(p().UserName, "alice");
  EXPECT_STREQ(p().PassWd, "secret");
  EXPECT_STREQ(p().DeviceSn, "SN0001");
  EXPECT_STREQ(p().DeviceName, "Front door");
  EXPECT_STREQ(p().StunIp, "stun.zone1");
  EXPECT_STREQ(p().ServiceCenter, "2");
  EXPECT_STREQ(p().HttpIP, "10.0.0.5");
  EXPECT_TRUE(log_.Texts().empty());
}

TEST_F(ParseRequestTest, HttpIpIsOptional) {
  EXPECT_EQ(Parse("GET /?t=1&k=x&u=a&c=b&ds=c&dn=d&si=e&sc=1& HTTP/1.1\r\n"), 0);
  EXPECT_STREQ(p().HttpIP, "");
  ASSERT_EQ(log_.Taken().size(), 1u);
  EXPECT_EQ(log_.Taken()[0].level, 3);
  EXPECT_EQ(log_.Taken()[0].text, "No HttpIP!");
}

TEST_F(ParseRequestTest, EmptyValuesLeaveFieldsEmptyWithoutLogging) {
  EXPECT_EQ(Parse("GET /?t=&k=&u=a&c=b&ds=c&dn=d&si=e&sc=1&hi=& HTTP/1.1\r\n"), 0);
  EXPECT_STREQ(p().t, "");
  EXPECT_STREQ(p().k, "");
  EXPECT_STREQ(p().HttpIP, "");
  EXPECT_TRUE(log_.Texts().empty());
}

TEST_F(ParseRequestTest, OrderDoesNotMatterAndFirstOccurrenceWins) {
  EXPECT_EQ(Parse("POST /x?hi=h1&si=s1&dn=d1&ds=n1&u=u1&k=k1&t=1&sc=4&t=2&u=u2& HTTP/1.0\r\n"), 0);
  EXPECT_STREQ(p().t, "1");
  EXPECT_STREQ(p().UserName, "u1");
  EXPECT_STREQ(p().k, "k1");
  EXPECT_STREQ(p().HttpIP, "h1");
  // "c=" is first found inside "sc=".
  EXPECT_STREQ(p().PassWd, "4");
}

TEST_F(ParseRequestTest, KeyTextsAreFoundInsideLongerNames) {
  EXPECT_EQ(Parse("GET /?dst=9&t=1&k=x&u=a&sc=3&c=pw&ds=c&dn=d&si=e&hi=h& HTTP/1.1\r\n"), 0);
  EXPECT_STREQ(p().t, "9");
  EXPECT_STREQ(p().PassWd, "3");
  EXPECT_STREQ(p().ServiceCenter, "3");
}

TEST_F(ParseRequestTest, KeysAreCaseSensitive) {
  const std::string line = "GET /?T=1&k=x&u=a&c=b&ds=c&dn=d&si=e&sc=1& HTTP/1.1\r";
  EXPECT_EQ(Parse(line + "\n"), -1);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"Get t Error! String is " + Shown(line)});
}

TEST_F(ParseRequestTest, ValuesAreCopiedAsTheyStand) {
  EXPECT_EQ(Parse("GET /?t=1&k=x&u=a%20b+c&c=b&ds=c&dn= d &si=e&sc=1&hi=1.2.3.4\r\n"), 0);
  EXPECT_STREQ(p().UserName, "a%20b+c");
  EXPECT_STREQ(p().DeviceName, " d ");
  EXPECT_STREQ(p().HttpIP, "1.2.3.4\r");
}

TEST_F(ParseRequestTest, LastParameterIsCutToItsFieldAndStillReadsAsItsNumber) {
  EXPECT_EQ(Parse("GET /?t=1&k=x&u=a&c=b&ds=c&dn=d&si=e&hi=h&sc=2 HTTP/1.1\r\nHost: h\r\n"), 0);
  EXPECT_STREQ(p().ServiceCenter, "2 HT");
  EXPECT_EQ(std::atoi(p().ServiceCenter), 2);
  ExpectFieldsSound(block_);
}

TEST_F(ParseRequestTest, OversizeValuesAreCutToCapacityLessOne) {
  const std::string t(50, '7'), k(40, 'f'), user(300, 'u'), hi(100, 'h');
  EXPECT_EQ(Parse("GET /?t=" + t + "&k=" + k + "&u=" + user + "&c=p&ds=" + std::string(150, 's') +
                  "&dn=d&si=e&sc=12345678&hi=" + hi + " HTTP/1.1\r\n"),
            0);
  EXPECT_EQ(std::string(p().t), t.substr(0, 10));
  EXPECT_STREQ(p().k, "");  // a code that long can never be right
  EXPECT_EQ(std::string(p().UserName), user.substr(0, 99));
  EXPECT_EQ(std::string(p().DeviceSn), std::string(99, 's'));
  EXPECT_STREQ(p().ServiceCenter, "1234");
  EXPECT_EQ(std::string(p().HttpIP), hi.substr(0, 63));
  ExpectFieldsSound(block_);
}

TEST_F(ParseRequestTest, OversizeValueBeforeAShortOneDoesNotSpillIntoIt) {
  EXPECT_EQ(Parse("GET /?t=" + std::string(30, '9') + "&k=ab&u=a&c=b&ds=c&dn=d&si=e&sc=1&hi=h&"),
            0);
  EXPECT_STREQ(p().k, "ab");
  ExpectFieldsSound(block_);
}

TEST_F(ParseRequestTest, IconRequestWritesNoField) {
  EXPECT_EQ(Parse("GET /favicon.ico HTTP/1.1\r\nHost: h\r\n\r\n"), -2);
  EXPECT_TRUE(AllFieldsEmpty(p()));
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"Get invalid parameter!"});
}

TEST_F(ParseRequestTest, IconNameAnywhereInTheLineCountsAsIconRequest) {
  EXPECT_EQ(Parse("GET /?t=1&k=x&u=favicon.ico&c=b&ds=c&dn=d&si=e&sc=1&hi=h HTTP/1.1\r\n"), -2);
  EXPECT_TRUE(AllFieldsEmpty(p()));
}

TEST_F(ParseRequestTest, NoLineIsRefused) {
  EXPECT_EQ(Parse("\n\n"), -1);
  EXPECT_EQ(Parse(std::string("\0t=1&k=x&u=a&c=b&ds=c&dn=d&si=e&sc=1", 36)), -1);
  EXPECT_EQ(Parse(""), -1);
  std::vector<LoggedLine> lines = log_.Taken();
  ASSERT_EQ(lines.size(), 3u);
  for (const LoggedLine& line : lines) {
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.text.rfind("strtok() error,error code:", 0), 0u) << line.text;
  }
  EXPECT_TRUE(AllFieldsEmpty(p()));
}

TEST_F(ParseRequestTest, LeadingLineFeedsAreSkippedAndLaterLinesIgnored) {
  const std::string line = "GET /?t=5&u=a&c=b&ds=c&dn=d&si=e&sc=1 HTTP/1.1\r";
  EXPECT_EQ(Parse("\n\n" + line + "\nCookie: k=fromheader&\r\n\r\n"), -1);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"Get k Error! String is " + Shown(line)});
  EXPECT_STREQ(p().t, "5");
  EXPECT_STREQ(p().k, "");
  EXPECT_STREQ(p().UserName, "");
}

TEST_F(ParseRequestTest, LineWithoutLineFeedRunsToTheEndOfTheText) {
  EXPECT_EQ(Parse("\nGET /?t=1&k=x&u=a&c=b&ds=c&dn=d&si=e&sc=1&hi=9.9.9.9"), 0);
  EXPECT_STREQ(p().HttpIP, "9.9.9.9");
}

// Each mandatory key missing gives its own message and stops parsing there.
// "c=" is left out here: without it the parser still finds it inside "sc=".
TEST(ParseRequestMissingKey, EachMandatoryKeyHasItsMessage) {
  const char* keys[] = {"t=", "k=", "u=", "ds=", "dn=", "si=", "sc="};
  const char* names[] = {"t", "k", "UserName", "DeviceSn", "DeviceName", "StunIp", "ServiceCenter"};
  for (int i = 0; i < 7; ++i) {
    std::string line = FullLine();
    size_t at = line.find(std::string("&") + keys[i]);
    if (at == std::string::npos)
      at = line.find(std::string("?") + keys[i]);
    ASSERT_NE(at, std::string::npos);
    line[at + std::strlen(keys[i])] = '_';  // "k_" no longer holds the key text
    std::string text = line + "\nHost: h\r\n";
    RequestParams params;
    std::memset(&params, 0, sizeof params);
    LogCapture log;
    EXPECT_EQ(ParseRequest(&text[0], &params), -1) << keys[i];
    EXPECT_EQ(log.Texts(), std::vector<std::string>{std::string("Get ") + names[i] +
                                                    " Error! String is " + Shown(line)})
        << keys[i];
  }
}

TEST(ParseRequestMissingKey, PasswordMissingOnlyWhenServiceCentreIsToo) {
  std::string line = "GET /?t=1&k=x&u=a&ds=c&dn=d&si=e HTTP/1.1\r";
  std::string text = line + "\n";
  RequestParams params;
  std::memset(&params, 0, sizeof params);
  LogCapture log;
  EXPECT_EQ(ParseRequest(&text[0], &params), -1);
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Get PassWd Error! String is " + Shown(line)});
  EXPECT_STREQ(params.UserName, "a");
}

// Random and oversize lines built from key texts, separators and stray bytes:
// whatever the result, every field stays inside its capacity.
TEST_F(ParseRequestTest, RandomLinesNeverOverrunAField) {
  const char* pieces[] = {"t=",  "k=", "u=", "c=", "ds=", "dn=", "si=",        "sc=",
                          "hi=", "&",  "\n", "\r", " ",   "=",   "favicon.ico"};
  std::mt19937 random(20240611);
  for (int round = 0; round < 3000; ++round) {
    SetUp();
    std::string text;
    size_t length = random() % 2 == 0 ? random() % 200 : random() % 2300;
    while (text.size() < length) {
      if (random() % 3 == 0) {
        text += pieces[random() % (sizeof pieces / sizeof pieces[0])];
      } else {
        text.append(random() % 300, static_cast<char>(1 + random() % 255));
      }
    }
    int result = Parse(text);
    ASSERT_TRUE(result == 0 || result == -1 || result == -2) << result;
    ExpectFieldsSound(block_);
    if (result == -2) {
      ASSERT_TRUE(AllFieldsEmpty(p()));
    }
  }
}

}  // namespace
