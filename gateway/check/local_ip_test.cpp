// GetLocalIp over an injected resolver answer: which address of the list wins
// and what a failed lookup logs.
#include "gateway/check/local_ip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gateway/testing/log_capture.h"
#include "platform/net.h"
#include "platform/resolver.h"

namespace {

// WSAHOST_NOT_FOUND; any code the resolver leaves is logged as it is.
constexpr int kHostNotFound = 11001;
std::vector<std::string> Answer;
bool AnswerFails = false;
std::string AskedName;

int FixedResolver(const char* name, char (*out)[16], int max) {
  AskedName = name;
  if (AnswerFails) {
    platform::SetLastSocketError(kHostNotFound);
    return -1;
  }
  int count = 0;
  for (const std::string& address : Answer) {
    if (count == max)
      break;
    std::snprintf(out[count++], 16, "%s", address.c_str());
  }
  return count;
}

class GetLocalIpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AnswerFails = false;
    platform::SetResolverHook(&FixedResolver);
    std::memset(local_ip_, 0, sizeof local_ip_);
  }
  void TearDown() override { platform::SetResolverHook(nullptr); }

  int Lookup(std::vector<std::string> answer) {
    Answer = std::move(answer);
    std::memset(local_ip_, 0, sizeof local_ip_);
    return GetLocalIp(local_ip_);
  }

  char local_ip_[kLocalIpCapacity];
  LogCapture log_;
};

TEST_F(GetLocalIpTest, SkipsTheLoopbackAddress) {
  EXPECT_EQ(Lookup({"127.0.0.1", "192.168.1.20"}), 0);
  EXPECT_STREQ(local_ip_, "192.168.1.20");
  EXPECT_TRUE(log_.Texts().empty());
}

TEST_F(GetLocalIpTest, FirstOtherAddressInResolverOrderWins) {
  EXPECT_EQ(Lookup({"10.1.2.3", "192.168.1.20"}), 0);
  EXPECT_STREQ(local_ip_, "10.1.2.3");
  EXPECT_EQ(Lookup({"127.0.0.1", "172.16.0.9", "10.1.2.3"}), 0);
  EXPECT_STREQ(local_ip_, "172.16.0.9");
}

TEST_F(GetLocalIpTest, OnlyTheExactLoopbackTextIsSkipped) {
  EXPECT_EQ(Lookup({"127.0.1.1", "192.168.1.20"}), 0);
  EXPECT_STREQ(local_ip_, "127.0.1.1");
  EXPECT_EQ(Lookup({"127.0.0.10", "192.168.1.20"}), 0);
  EXPECT_STREQ(local_ip_, "127.0.0.10");
}

TEST_F(GetLocalIpTest, LongestAddressFitsTerminated) {
  EXPECT_EQ(Lookup({"255.255.255.255"}), 0);
  EXPECT_STREQ(local_ip_, "255.255.255.255");
}

TEST_F(GetLocalIpTest, NoOtherAddressFailsSilently) {
  EXPECT_EQ(Lookup({"127.0.0.1"}), -1);
  EXPECT_EQ(Lookup({"127.0.0.1", "127.0.0.1"}), -1);
  EXPECT_EQ(Lookup({}), -1);
  EXPECT_STREQ(local_ip_, "");
  EXPECT_TRUE(log_.Texts().empty());
}

TEST_F(GetLocalIpTest, ResolvesThisComputersName) {
  char host[100] = {};
  ASSERT_EQ(platform::HostName(host, sizeof host), 0);
  EXPECT_EQ(Lookup({"192.168.1.20"}), 0);
  EXPECT_EQ(AskedName, host);
}

TEST_F(GetLocalIpTest, UnresolvableNameIsLogged) {
  AnswerFails = true;
  EXPECT_EQ(Lookup({"192.168.1.20"}), -1);
  std::vector<LoggedLine> lines = log_.Taken();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].text, "gethostbyname error:" + std::to_string(kHostNotFound));
}

}  // namespace
