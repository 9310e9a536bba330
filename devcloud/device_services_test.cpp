// The device services' answers that do not need a connection.
#include "devcloud/device_services.h"

#include <gtest/gtest.h>

#include "devcloud/media_port.h"

namespace {

const devcloud::DeviceInfo kDevice{"DEMO-0002", "Warehouse", "admin", "k"};

TEST(MediaPort, OnlyAnHttpRequestLineAsksForTheLiveView) {
  EXPECT_TRUE(devcloud::IsHttpRequestLine("GET / HTTP/1.1"));
  EXPECT_TRUE(devcloud::IsHttpRequestLine("HEAD /x?y=1 HTTP/1.0"));
  EXPECT_FALSE(devcloud::IsHttpRequestLine("pattern"));
  EXPECT_FALSE(devcloud::IsHttpRequestLine(""));
  EXPECT_FALSE(devcloud::IsHttpRequestLine("GET / RTSP/1.0"));
  EXPECT_FALSE(devcloud::IsHttpRequestLine("get / HTTP/1.1"));
  EXPECT_FALSE(devcloud::IsHttpRequestLine("GET  HTTP/1.1"));
  EXPECT_FALSE(devcloud::IsHttpRequestLine("GET / HTTP/1.1 "));
}

TEST(MediaPort, LiveViewIsAGetOfTheRootAndAnythingElseIsRefusedWithItsLength) {
  EXPECT_EQ(devcloud::LiveViewRefusal("GET / HTTP/1.1"), "");
  EXPECT_EQ(devcloud::LiveViewRefusal("GET /?user=admin&t=3 HTTP/1.1"), "");
  std::string missing = devcloud::LiveViewRefusal("GET /favicon.ico HTTP/1.1");
  std::string method = devcloud::LiveViewRefusal("POST / HTTP/1.1");
  EXPECT_EQ(missing.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << missing;
  EXPECT_EQ(method.rfind("HTTP/1.1 405 Method Not Allowed\r\nAllow: GET\r\n", 0), 0u) << method;
  for (const std::string& answer : {missing, method}) {
    std::size_t body = answer.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_NE(answer.find("Content-Length: " + std::to_string(answer.size() - body - 4) + "\r\n"),
              std::string::npos)
        << answer;
  }
}

TEST(ServiceGreeting, NamesTheServiceAndTheDevice) {
  EXPECT_EQ(devcloud::ServiceGreeting("HttpMapPort", kDevice),
            "HttpMapPort service of DEMO-0002 (Warehouse)\r\n");
  EXPECT_EQ(devcloud::CameraTitle(kDevice), "Warehouse, camera 1");
}

}  // namespace
