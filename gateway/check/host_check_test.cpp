#include "gateway/check/host_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/resolver.h"

namespace {

int OwnAddresses(const char*, char (*out)[16], int max) {
  if (max < 2)
    return -1;
  std::strcpy(out[0], "127.0.1.1");
  std::strcpy(out[1], "192.168.7.20");
  return 2;
}

class HostCheckTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetResolverHook(OwnAddresses); }
  void TearDown() override { platform::SetResolverHook(nullptr); }
};

TEST_F(HostCheckTest, FindsTheHeaderAfterTheRequestLineOnly) {
  char host[kHostCapacity];
  EXPECT_EQ(FindHostHeader("GET /?host:x HTTP/1.1\r\nAccept: */*\r\nHOST:  evil.test:9999 \r\n\r\n",
                           host),
            1);
  EXPECT_STREQ(host, "evil.test:9999");
  EXPECT_EQ(FindHostHeader("GET /?Host: a HTTP/1.1\r\nX-Host: b\r\n\r\n", host), 0);
  std::string long_host = "GET / HTTP/1.1\r\nHost: " + std::string(300, 'a') + "\r\n";
  EXPECT_EQ(FindHostHeader(long_host.c_str(), host), -1);
}

TEST_F(HostCheckTest, LoopbackAndOwnAddressesOnly) {
  for (const char* own : {"localhost", "LocalHost:9999", "localhost.", "127.0.0.1:9999",
                          "127.9.8.7", "[::1]:9999", "192.168.7.20", "192.168.7.20:9999"}) {
    EXPECT_TRUE(IsOwnHost(own)) << own;
  }
  for (const char* foreign :
       {"evil.test", "evil.test:9999", "localhost.evil.test", "127.0.0.1.evil.test", "192.168.7.2",
        "1270.0.0.1", "[::1", "", ":9999", "10.0.0.1"}) {
    EXPECT_FALSE(IsOwnHost(foreign)) << foreign;
  }
}

}  // namespace
